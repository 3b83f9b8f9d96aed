# Every target runs with the project's Python 3.14 toolchain: python3.14 from
# PATH when it has headers, otherwise the Debian sid root of tools/sysroot.
RUN := tools/in-sysroot
PY  := python3.14
BUILD_DIR := build/release

.PHONY: all build test demo bench check-debug check-asan clean previews

all: build

build:
	$(RUN) sh -c 'cmake -S . -B $(BUILD_DIR) $$(command -v ninja >/dev/null && echo -G Ninja) -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$$(command -v $(PY)) >/dev/null && cmake --build $(BUILD_DIR)'

test: build
	$(RUN) env PYTHONPATH=src:tools:bench $(PY) -m pytest -q -p no:cacheprovider tests bench/test_harness.py
	$(MAKE) --no-print-directory test-celery

# The Celery example's tests, a session of their own: the example is a
# project with its own conftest.py, and imports its mailqueue package from
# its folder (and the tests their fleet helper from theirs).
CELERY_TESTS := examples/celery/tests
# Under the debug interpreter, the sanitizers and 3.15: the retry policy with
# its worker runs.  The fleet's fault scenarios (minutes of waiting on
# processes, not on the extension) run once, in make test.
CELERY_POLICY_TESTS := examples/celery/tests/test_celery_policy.py
.PHONY: test-celery
test-celery: build
	$(RUN) env PYTHONPATH=src:examples/celery $(PY) -m pytest -q -p no:cacheprovider $(CELERY_TESTS)

demo: build
	$(RUN) env PYTHONPATH=src:tools $(PY) demo/demo.py

bench: build
	$(RUN) env PYTHONPATH=src:tools $(PY) bench/bench.py $(BENCH_ARGS)

.PHONY: typecheck
typecheck:
	$(RUN) $(PY) -m mypy
	$(RUN) sh -c 'cd examples/celery && $(PY) -m mypy --config-file ../../pyproject.toml mailqueue enqueue_batch.py tests/mailfleet.py'

# The template tests under one Jinja2 release from the package index, in a
# venv of the toolchain root that sees its other packages: the host's pip
# downloads the wheels into build/wheels/.  check-jinja-min runs the lowest
# release pyproject.toml accepts, check-jinja-newest the newest on the index.
JINJA_MIN := 3.1.6
PIP ?= pip
.PHONY: check-jinja check-jinja-min check-jinja-newest
check-jinja-min:
	$(MAKE) check-jinja JINJA=$(JINJA_MIN)

check-jinja-newest:
	$(MAKE) check-jinja JINJA=$$($(PIP) index versions jinja2 2>/dev/null | sed -n 's/^jinja2 (\(.*\))$$/\1/p')

check-jinja: build
	@test -n "$(JINJA)" || { echo "check-jinja: no Jinja2 version (JINJA=...)"; exit 1; }
	mkdir -p build/wheels/jinja2-$(JINJA)
	$(PIP) download -q --no-deps --only-binary=:all: --python-version 3.14 --platform manylinux2014_x86_64 \
	  -d build/wheels/jinja2-$(JINJA) jinja2==$(JINJA) markupsafe
	$(RUN) sh -c 'venv=build/venv-jinja2-$(JINJA) && rm -rf $$venv && $(PY) -m venv --system-site-packages $$venv \
	  && $$venv/bin/python -m pip install -q --no-index --no-deps build/wheels/jinja2-$(JINJA)/*.whl \
	  && $$venv/bin/python -c "import importlib.metadata as m; v = m.version(\"jinja2\"); print(\"check-jinja: Jinja2\", v, \"MarkupSafe\", m.version(\"markupsafe\")); assert v == \"$(JINJA)\"" \
	  && env PYTHONPATH=src:tools $$venv/bin/python -m pytest -q -p no:cacheprovider tests/test_template.py'

check-debug:
	$(RUN) tools/check-debug
	$(RUN) tools/check-debug $(CELERY_POLICY_TESTS)

check-asan:
	$(RUN) tools/check-asan
	$(RUN) tools/check-asan $(CELERY_POLICY_TESTS)

# Mutation testing: mutmut over the package's Python modules and the Celery
# example's policy, and the C++ mutants of tools/cxx-mutants.txt; report in
# build/mutants/report.md.  MUTANTS="file.py mutant-name ..." picks targets.
.PHONY: mutants
mutants: build
	tools/mutants $(MUTANTS)

# Screenshots and gallery of the built-in templates (needs Chromium).
previews:
	$(RUN) env PYTHONPATH=src $(PY) tools/previews.py docs/previews

clean:
	rm -rf build dist src/corvenda/*.so

# The user's-eye suite: the built wheel installed with [testing] in a fresh
# venv runs the project in tests/user_project (tools/user-suite).
.PHONY: user-suite
user-suite:
	$(RUN) tools/user-suite

# Release files in dist/: the sdist and manylinux_2_17 wheels for CPython 3.14
# and 3.15, compiled by Zig's clang for glibc 2.17 (tools/build-dist).
.PHONY: dist check-dist
dist:
	tools/build-dist

# The release check: the cp314 wheel installed where no compiler exists runs
# the tests and the user's-eye suite; the sdist installs with pip (tools/check-dist).
check-dist: dist
	tools/check-dist

# The suite on Python 3.15, the module built next to the 3.14 one (the
# warnings of other packages it ignores are named in pyproject.toml).
.PHONY: check-py315
check-py315:
	$(RUN) sh -c 'cmake -S . -B build/py315 $$(command -v ninja >/dev/null && echo -G Ninja) -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$$(command -v python3.15) >/dev/null && cmake --build build/py315'
	$(RUN) env PYTHONPATH=src:tools python3.15 -m pytest -q -p no:cacheprovider tests
	$(RUN) env PYTHONPATH=src:examples/celery python3.15 -m pytest -q -p no:cacheprovider $(CELERY_POLICY_TESTS)
