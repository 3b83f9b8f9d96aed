"""The benchmark harness: the interval of a median ratio, and its child server processes.

    tools/in-sysroot env PYTHONPATH=src:bench python3.14 -m pytest -q -p no:cacheprovider bench/test_harness.py

(make test runs it with the package's tests.)
"""

import sys

import pytest

from harness import HERE, ServerProcess, paired_ratio


@pytest.mark.parametrize("n, low_rank, high_rank", [
    (5, 1, 5),     # too few rounds for anything narrower than the whole range
    (9, 2, 8),
    (10, 2, 9),
    (20, 6, 15),
    (30, 10, 21),
])
def test_median_interval_is_the_order_statistics_of_the_binomial_table(n, low_rank, high_rank):
    # Reference rounds all 1.0, corvenda's n..1: the ratios are 1..n, unsorted.
    samples = {"corvenda": [float(x) for x in range(n, 0, -1)], "floor": [1.0] * n}
    ratio, (low, high) = paired_ratio(samples, "corvenda", "floor")
    assert (ratio, low, high) == ((n + 1) / 2, low_rank, high_rank)
    # Rates: the ratio is the reference's sample over corvenda's.
    ratio, _ = paired_ratio({"corvenda": [2.0] * n, "floor": [1.0] * n}, "corvenda", "floor", invert=True)
    assert ratio == 0.5


def child(body):
    """A ServerProcess whose child runs `body` after importing the harness."""
    code = f"import sys; sys.path.insert(0, {HERE!r}); import harness\n{body}"
    return ServerProcess([sys.executable, "-c", code])


def test_server_process_answers_and_ends_with_its_stdin():
    with child("harness.serve({'port': 7}, {'ping': lambda: ['pong']}, 60)") as server:
        assert server.info == {"port": 7}
        assert [server.ask("ping"), server.ask("ping")] == [["pong"], ["pong"]]
        proc = server.proc
    assert proc.returncode == 0


def test_server_process_failures_are_errors_not_hangs():
    with pytest.raises(RuntimeError, match="did not start"):
        child("sys.exit(1)")
    # A child that stops answering: the next request fails at once.
    with child("harness.serve({}, {'quit': lambda: sys.exit(2)}, 60)") as server:
        with pytest.raises(RuntimeError, match="ended"):
            server.ask("quit")
    # A child whose parent never closes its stdin ends after its lifetime.
    server = child("harness.serve({}, {}, 0.5)")
    try:
        assert server.proc.wait(timeout=30) == 3
    finally:
        server.close()
