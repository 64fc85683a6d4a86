"""The benchmark report: every hook is in it and every case runs.

Run from the repository root: `python -m pytest benchmarks`."""
import math

import pytest

from kestro.core.data import DataFrame

report = pytest.importorskip("benchmarks.__main__")

# hooks the report leaves out: constant-time name and type look-ups, and the
# nested-object helper, which only objects of more than two dimensions reach
NOT_BENCHMARKED = {"_getTypeString_implementation", "_createNestedObject"}


def measured(kind, size=200):
    results = report.run_all([size], repeats=1, walkRepeats=1, budget=0, walkElements=50,
                             report=lambda result: None, kinds=(kind,))
    return {r.hook: r for r in results}


@pytest.fixture(scope="module")
def results():
    return {kind: measured(kind) for kind in report.KINDS}


def test_every_hook_is_benchmarked(results):
    hooks = {name for name in vars(DataFrame)
             if name.endswith("_implementation") or name in ("_asNumpyArray", "_setDtypes",
                                                              "_createNestedObject")}
    covered = {hook.split("(")[0] for byKind in results.values() for hook in byKind}
    assert hooks - NOT_BENCHMARKED <= covered


@pytest.mark.parametrize("kind", ["float64", "mixed"])
def test_every_case_runs_and_times_both_sides(results, kind):
    # pandas names the first block it cannot convert: a TypeError for the
    # datetime block, a ValueError for the text block, by block order
    expected_failures = {"mixed": {"_convertToNumericTypes_implementation": (
        "raises TypeError", "raises ValueError")}}
    for hook, result in results[kind].items():
        notes = expected_failures.get(kind, {}).get(hook, ("",))
        note = result.note
        assert note in notes, hook
        if not note:
            assert result.hookTime > 0 and result.floorTime > 0, hook


@pytest.mark.parametrize("kind, hooks", [
    ("float64", {"_transform_implementation"}),
    ("mixed", {"_transform_implementation", "_checkInvariants_implementation(2)"})])
def test_walks_are_scaled_from_a_subsample(results, kind, hooks):
    walked = {hook: r for hook, r in results[kind].items() if not math.isnan(r.walkTime)}
    assert set(walked) == hooks
    # 200 elements in 20 points, walks limited to 50 elements: the first 5 points
    assert all(r.walkScale == 4 for r in walked.values())
    assert all("(x4)" in report.cells(r)[report.HEADER.index("walk ms")] for r in walked.values())

