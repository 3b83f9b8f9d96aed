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
	$(RUN) env PYTHONPATH=src:tools $(PY) -m pytest -q -p no:cacheprovider tests

demo: build
	$(RUN) env PYTHONPATH=src:tools $(PY) demo/demo.py

bench: build
	$(RUN) env PYTHONPATH=src:tools $(PY) bench/bench.py $(BENCH_ARGS)

.PHONY: typecheck
typecheck:
	$(RUN) $(PY) -m mypy
	$(RUN) sh -c 'cd examples/celery && $(PY) -m mypy --config-file ../../pyproject.toml mailqueue enqueue_batch.py'

check-debug:
	$(RUN) tools/check-debug

check-asan:
	$(RUN) tools/check-asan

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
	rm -rf build src/corvenda/*.so

# The user's-eye suite: the built wheel installed with [testing] in a fresh
# venv runs the project in tests/user_project (tools/user-suite).
.PHONY: user-suite
user-suite:
	$(RUN) tools/user-suite
