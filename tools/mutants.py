"""Mutation testing: does the suite notice a fault planted in the code?

    tools/mutants [TARGET...]        (make mutants; TARGET: a Python file or a C++ mutant's name)

Python: mutmut (from build/mutvenv, which tools/mutants sets up) mutates one
source file at a time, in a scratch copy of the project under
build/mutants/<file>/, and runs each mutant against the tests of TESTS that
cover the function it changed (mutmut records which test calls which
function).  C++: each line of tools/cxx-mutants.txt is one fault planted by
text substitution in a copy of the tree (build/mutants/cxx/tree); the copy
is built and the line's tests run, with the release interpreter, the debug
interpreter (tools/check-debug: reference counts) or the sanitizers
(tools/check-asan).

Writes build/mutants/report.md: caught / survived / timed out per file, and
each survivor with its diff.  The report covers every target run so far
(results are kept in build/mutants/results/), so one file can be run again
after its tests change.  Exit status 0 whatever survived: survivors are
for a person to judge (see the report), not a build failure.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import time
from collections import Counter
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
WORK = REPO / "build" / "mutants"
VENV_PYTHON = REPO / "build" / "mutvenv" / "bin" / "python"
CXX_TABLE = REPO / "tools" / "cxx-mutants.txt"
RESULTS = WORK / "results"

# Each Python file mutated, and the tests that may cover it (mutmut then picks,
# per mutant, those that call the function it changed).
TESTS: dict[str, list[str]] = {
    "src/corvenda/template/_plaintext.py": ["tests/test_template.py"],
    "src/corvenda/preview/__init__.py": ["tests/test_preview.py"],
    "src/corvenda/preview/__main__.py": ["tests/test_preview.py"],
    "src/corvenda/preview/_chromium.py": ["tests/test_preview.py"],
    "src/corvenda/template/__init__.py": ["tests/test_template.py", "tests/test_send.py"],
    "src/corvenda/testing/_authority.py": ["tests/test_testing.py", "tests/test_devserver_faults.py"],
    "src/corvenda/testing/_records.py": ["tests/test_testing.py", "tests/test_outbox.py", "tests/test_delivery.py"],
    "src/corvenda/testing/_protocol.py": ["tests/test_testing.py", "tests/test_devserver_faults.py",
                                          "tests/test_delivery.py"],
    "src/corvenda/testing/_server.py": ["tests/test_testing.py", "tests/test_devserver_faults.py",
                                        "tests/test_outbox.py", "tests/test_delivery.py"],
    "src/corvenda/testing/_devserver.py": ["tests/test_devserver_faults.py"],
    "src/corvenda/testing/_devprocess.py": ["tests/test_devserver_faults.py"],
    "src/corvenda/testing/plugin.py": ["tests/test_testing.py"],
    "src/corvenda/_pytest_plugin.py": ["tests/test_testing.py"],
    "src/corvenda/bulk.py": ["tests/test_bulk.py"],
    "src/corvenda/_process.py": ["tests/test_testing.py", "tests/test_preview.py"],
    "examples/celery/mailqueue/retry.py": ["examples/celery/tests/test_celery_policy.py"],
}
# Where the Celery example's package sits in the scratch copy: at its root, so
# mutmut names its modules as the tests import them (mailqueue.retry).
EXAMPLE_PACKAGE = "examples/celery/mailqueue"

COPIED = ["src", "tests", "tools", "examples", "CMakeLists.txt", "pyproject.toml", "README.md"]
CAUGHT = {"killed", "caught by type check", "segfault", "suspicious"}

# Loaded into every test run of a mutant: a client waiting on a server that a
# mutant silenced gives up, instead of waiting for mutmut's time limit.
GUARD = '''import socket

socket.setdefaulttimeout(30)
'''


def run_python_target(path: str, jobs: int, again: bool = False) -> dict:
    """Mutate ``path`` with mutmut in a scratch copy; return its counts and survivors.

    ``again``: run only the mutants that survived or timed out last time,
    against the tests as they are now (the scratch copy is kept).
    """
    slug = path.replace("/", "_").removesuffix(".py")
    scratch = WORK / slug
    if again:
        return run_again(path, scratch, jobs)
    shutil.rmtree(scratch, ignore_errors=True)
    scratch.mkdir(parents=True)
    for name in COPIED:
        source = REPO / name
        if source.is_dir():
            shutil.copytree(source, scratch / name, ignore=shutil.ignore_patterns("__pycache__", "*.pyc"),
                            symlinks=True)
        else:
            shutil.copy2(source, scratch / name)
    mutated, source_path = path, "src"
    if path.startswith(EXAMPLE_PACKAGE + "/"):
        shutil.move(scratch / EXAMPLE_PACKAGE, scratch / "mailqueue")
        mutated, source_path = path.removeprefix("examples/celery/"), "mailqueue"
    (scratch / "mutmut_guard.py").write_text(GUARD)
    tests = [t for t in TESTS[path] if (REPO / t).exists()]
    config = {
        "source_paths": [source_path],
        "only_mutate": [mutated],
        "also_copy": ["tools", "examples", "mutmut_guard.py"] + (["src"] if source_path != "src" else []),
        "pytest_add_cli_args": ["-p", "no:cacheprovider", "-p", "mutmut_guard"],
        "pytest_add_cli_args_test_selection": tests,
        "use_git_change_detection": False,
    }
    with open(scratch / "pyproject.toml", "a", encoding="utf-8") as file:
        file.write("\n[tool.mutmut]\n")
        for key, value in config.items():
            file.write(f"{key} = {json.dumps(value)}\n")
    # On the import path from the start: the interpreter skips folders missing when it starts.
    for folder in ("mutants/src", "mutants/tools"):
        (scratch / folder).mkdir(parents=True)
    env = scratch_env(scratch)
    return run_mutmut(path, scratch, jobs, env, [])


def scratch_env(scratch: Path) -> dict[str, str]:
    return os.environ | {
        "PYTHONPATH": os.pathsep.join([str(scratch / "mutants" / "src"), str(scratch / "mutants"),
                                       str(scratch / "mutants" / "tools")]),
        "PYTHONDONTWRITEBYTECODE": "1",
    }


def run_again(path: str, scratch: Path, jobs: int) -> dict:
    """Run the survivors (and mutants not reached) of the last run of ``path`` again, with the tests copied anew."""
    from mutmut.stats import status_by_exit_code  # the venv's mutmut

    metas = list((scratch / "mutants").rglob("*.meta"))
    if not metas:
        raise SystemExit(f"mutants: --again: {path} has not been run yet")
    saved = RESULTS / f"{scratch.name}.json"
    seconds = json.loads(saved.read_text())["seconds"] if saved.exists() else 0.0
    names = [name for meta in metas for name, code in json.loads(meta.read_text())["exit_code_by_key"].items()
             if status_by_exit_code[code] in ("survived", "timeout", "not checked")]
    for folder in sorted({"tests", *(str(Path(test).parent) for test in TESTS[path])}):
        for copy in (scratch / folder, scratch / "mutants" / folder):
            shutil.rmtree(copy, ignore_errors=True)
            shutil.copytree(REPO / folder, copy, ignore=shutil.ignore_patterns("__pycache__", "*.pyc"))
    result = run_mutmut(path, scratch, jobs, scratch_env(scratch), names)
    result["seconds"] += seconds
    return result


def run_mutmut(path: str, scratch: Path, jobs: int, env: dict[str, str], names: list[str]) -> dict:
    started = time.monotonic()
    with open(scratch / "mutmut.log", "ab" if names else "wb") as log:
        done = subprocess.run([str(VENV_PYTHON), "-m", "mutmut", "run", "--max-children", str(jobs), *names],
                              cwd=scratch, env=env, stdout=log, stderr=subprocess.STDOUT)
    seconds = time.monotonic() - started
    slug = scratch.name
    counts: Counter[str] = Counter()
    survivors = []
    from mutmut.stats import status_by_exit_code  # the venv's mutmut

    for meta in (scratch / "mutants").rglob("*.meta"):
        source = meta.relative_to(scratch / "mutants").with_suffix("")
        for name, code in json.loads(meta.read_text())["exit_code_by_key"].items():
            status = status_by_exit_code[code]
            counts[status] += 1
            if status in ("survived", "no tests", "timeout"):
                survivors.append((status, name, f"# {name}: {status}\n{mutant_diff(scratch, source, name)}"))
    note = ""
    if not counts:
        text = (scratch / "mutmut.log").read_text(errors="replace")
        # mutmut leaves decorated functions (pytest fixtures among them) unmutated.
        note = ("no test calls a function mutmut mutates" if "could not find any test case" in text
                else f"mutmut failed (exit {done.returncode}, see the log)")
    result = {"file": path, "counts": dict(counts), "survivors": sorted(survivors), "seconds": seconds,
              "log": str((scratch / "mutmut.log").relative_to(REPO)), "note": note}
    RESULTS.mkdir(parents=True, exist_ok=True)
    (RESULTS / f"{slug}.json").write_text(json.dumps(result, indent=1))
    return result


def mutant_diff(scratch: Path, source: Path, name: str) -> str:
    """What ``mutmut show`` prints of a mutant, without a process each."""
    from mutmut.configuration import reset_config
    from mutmut.mutation.diff_apply import get_diff_for_mutant

    here = os.getcwd()
    os.chdir(scratch)
    try:
        reset_config()
        return get_diff_for_mutant(name, path=source).strip()
    finally:
        os.chdir(here)


# -- C++ ----------------------------------------------------------------------


def unescape(text: str) -> str:
    return text.replace("\\n", "\n").replace("\\t", "\t")


def read_cxx_table() -> list[dict]:
    """The C++ mutants: name, file, check, tests, then the text to find and its replacement, tab-separated."""
    mutants = []
    for number, line in enumerate(CXX_TABLE.read_text(encoding="utf-8").splitlines(), 1):
        if not line.strip() or line.startswith("#"):
            continue
        fields = line.split("\t")
        if len(fields) != 6:
            raise SystemExit(f"{CXX_TABLE.name}:{number}: expected 6 tab-separated fields, got {len(fields)}")
        name, file, check, tests, find, replace = fields
        if check not in ("release", "debug", "asan"):
            raise SystemExit(f"{CXX_TABLE.name}:{number}: check must be release, debug or asan, not {check!r}")
        mutants.append({"name": name, "file": file, "check": check, "tests": tests.split(),
                        "find": unescape(find), "replace": unescape(replace)})
    return mutants


def cxx_command(tree: Path, check: str, tests: list[str]) -> list[str]:
    if check == "debug":
        return ["tools/check-debug", "-x", *tests]
    if check == "asan":
        return ["tools/check-asan", "-x", *tests]
    build = "cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$(command -v python3.14) >/dev/null && cmake --build build/release >/dev/null"
    return ["sh", "-c", f'{build} && PYTHONPATH=src:tools python3.14 -m pytest -x -q -p no:cacheprovider "$@"', "sh", *tests]


def run_cxx(names: list[str] | None, timeout: float) -> dict:
    """Plant each C++ mutant in a copy of the tree, build, run its tests."""
    mutants = [m for m in read_cxx_table() if not names or m["name"] in names]
    tree = WORK / "cxx" / "tree"
    tree.mkdir(parents=True, exist_ok=True)
    for name in COPIED:
        source = REPO / name
        if source.is_dir():
            shutil.rmtree(tree / name, ignore_errors=True)
            # New times: the copy's builds must see every file as changed since they last ran.
            shutil.copytree(source, tree / name, ignore=shutil.ignore_patterns("__pycache__", "*.pyc", "*.so"),
                            copy_function=shutil.copy)
        else:
            shutil.copy(source, tree / name)
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"} | {"PYTHONDONTWRITEBYTECODE": "1"}
    log = open(WORK / "cxx" / "run.log", "w", encoding="utf-8")
    results = []
    started = time.monotonic()
    # Each check's tests must pass on the unchanged tree, or a failure would mean nothing.
    for check in sorted({m["check"] for m in mutants}):
        tests = sorted({t for m in mutants if m["check"] == check for t in m["tests"]})
        log.write(f"== baseline {check}: {' '.join(tests)}\n")
        log.flush()
        base = subprocess.run(cxx_command(tree, check, tests), cwd=tree, env=env, stdout=log,
                              stderr=subprocess.STDOUT)
        if base.returncode != 0:
            raise SystemExit(f"mutants: the unchanged tree fails its {check} tests (see {log.name})")
    for mutant in mutants:
        path = tree / mutant["file"]
        original = path.read_text(encoding="utf-8")
        found = original.count(mutant["find"])
        if found != 1:
            results.append(mutant | {"status": f"text found {found} times"})
            continue
        path.write_text(original.replace(mutant["find"], mutant["replace"]), encoding="utf-8")
        log.write(f"== {mutant['name']} ({mutant['check']}): {mutant['find']!r} -> {mutant['replace']!r}\n")
        log.flush()
        try:
            done = subprocess.run(cxx_command(tree, mutant["check"], mutant["tests"]), cwd=tree, env=env,
                                  stdout=log, stderr=subprocess.STDOUT, timeout=timeout, start_new_session=True)
            status = "survived" if done.returncode == 0 else "killed"
        except subprocess.TimeoutExpired:
            status = "timeout"
        finally:
            path.write_text(original, encoding="utf-8")
        log.write(f"== {mutant['name']}: {status}\n")
        results.append(mutant | {"status": status})
    log.close()
    # Merged with the results of mutants not run this time.
    saved = RESULTS / "cxx.json"
    earlier = json.loads(saved.read_text()) if saved.exists() else {"results": [], "seconds": 0}
    ran = {r["name"] for r in results}
    # The table is read again: a row edited or removed during the run is left out, not a crash.
    order = [m["name"] for m in read_cxx_table()]
    merged = [r for r in earlier["results"] if r["name"] not in ran] + results
    merged = sorted((r for r in merged if r["name"] in order), key=lambda r: order.index(r["name"]))
    outcome = {"results": merged, "seconds": time.monotonic() - started}
    RESULTS.mkdir(parents=True, exist_ok=True)
    saved.write_text(json.dumps(outcome, indent=1))
    return outcome


# -- report -------------------------------------------------------------------


def report(python: list[dict], cxx: dict | None, seconds: float) -> str:
    lines = ["# Mutants", "", f"This run: {seconds / 60:.1f} min", "",
             "| file | mutants | caught | survived | timed out | no test | time |", "|---|---|---|---|---|---|---|"]
    total = Counter()
    rows = [(r["file"] + (f" ({r['note']})" if r.get("note") else ""), Counter(r["counts"]), r["seconds"])
            for r in python]
    if cxx:
        by_file: dict[str, Counter] = {}
        for r in cxx["results"]:
            status = r["status"] if r["status"] in ("killed", "survived", "timeout") else "broken"
            by_file.setdefault(f"src/mailer/{r['file'].removeprefix('src/mailer/')} (C++)", Counter())[status] += 1
        rows += [(f, c, None) for f, c in sorted(by_file.items())]
    for file, counts, secs in rows:
        caught = sum(n for s, n in counts.items() if s in CAUGHT)
        # "not checked": mutmut stopped early, as no test reaches the file.
        row = [sum(counts.values()), caught, counts["survived"], counts["timeout"],
               counts["no tests"] + counts["not checked"]]
        total.update(dict(zip(["all", "caught", "survived", "timeout", "none"], row)))
        when = f"{secs / 60:.1f} min" if secs is not None else ""
        lines.append(f"| {file} | " + " | ".join(map(str, row)) + f" | {when} |")
    share = 100 * total["caught"] / max(1, total["all"] - total["none"])
    lines += [f"| **all** | {total['all']} | {total['caught']} | {total['survived']} | {total['timeout']} "
              f"| {total['none']} | |", "", f"Caught: {share:.1f} % of the mutants some test runs.", ""]
    for r in python:
        if r["survivors"]:
            lines += [f"## {r['file']} (log: {r['log']})", ""]
            for status, name, diff in r["survivors"]:
                lines += [f"### {status}: {name}", "", "```diff", diff, "```", ""]
    if cxx:
        lines += ["## C++ mutants (tools/cxx-mutants.txt)", "", "| mutant | check | result |", "|---|---|---|"]
        lines += [f"| {r['name']} | {r['check']} | {r['status']} |" for r in cxx["results"]]
        lines.append(f"\nC++ time: {cxx['seconds'] / 60:.1f} min")
    return "\n".join(lines) + "\n"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("targets", nargs="*", help="Python files (of TESTS) and C++ mutant names; default: all")
    parser.add_argument("--jobs", type=int, default=int(os.environ.get("MUTANTS_JOBS", "2")),
                        help="mutants tested at once (default 2, or MUTANTS_JOBS)")
    parser.add_argument("--cxx-timeout", type=float, default=600, help="seconds for one C++ mutant")
    parser.add_argument("--report", action="store_true", help="only write the report of the results kept")
    parser.add_argument("--again", action="store_true",
                        help="for the Python files named: run only last run's survivors, against the tests as they are now")
    args = parser.parse_args()
    cxx_names = {m["name"] for m in read_cxx_table()}
    unknown = [t for t in args.targets if t not in TESTS and t not in cxx_names]
    if unknown:
        parser.error(f"unknown targets {unknown}; Python files: {sorted(TESTS)}; C++ mutants: tools/cxx-mutants.txt")
    files = [t for t in args.targets if t in TESTS] or ([] if args.targets or args.report else list(TESTS))
    cxx_wanted = [t for t in args.targets if t in cxx_names]
    started = time.monotonic()
    WORK.mkdir(parents=True, exist_ok=True)
    python = []
    for path in files:
        print(f"mutants: {path}", flush=True)
        python.append(run_python_target(path, args.jobs, args.again))
        counts = python[-1]["counts"]
        print(f"mutants: {path}: {dict(counts)} in {python[-1]['seconds']:.0f} s", flush=True)
    cxx = None
    if cxx_wanted or not (args.targets or args.report):
        print("mutants: C++ (tools/cxx-mutants.txt)", flush=True)
        cxx = run_cxx(cxx_wanted or None, args.cxx_timeout)
    # Every target run so far, in the order of TESTS.
    saved = {json.loads(f.read_text())["file"]: json.loads(f.read_text()) for f in RESULTS.glob("*.json")
             if f.name != "cxx.json"}
    python = [saved[path] for path in TESTS if path in saved]
    if cxx is None and (RESULTS / "cxx.json").exists():
        cxx = json.loads((RESULTS / "cxx.json").read_text())
    text = report(python, cxx, time.monotonic() - started)
    (WORK / "report.md").write_text(text, encoding="utf-8")
    print(text.split("\n## ")[0])
    print(f"mutants: report in {(WORK / 'report.md').relative_to(REPO)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
