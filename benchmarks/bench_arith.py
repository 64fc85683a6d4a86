"""Arithmetic hooks against the numpy / pandas calls they are made of.

Run with `python benchmarks/bench_arith.py` (PYTHONPATH=src, module built in
place).  Prints the median of several repeats for each hook beside its
reference, on a 2,000 x 200 table, and the ratio hook / reference; then the
fixed costs of small operations (CPU time, hook and pandas call in turn).
"""
import pathlib
import statistics
import sys
import time
import timeit

import numpy as np
import pandas as pd

# Prefer an in-place build (tools/devbuild) over the installed package.
SRC = pathlib.Path(__file__).resolve().parents[1] / "src"
if any((SRC / "kestro" / "core" / "data").glob("dataframe*.so")):
    sys.path.insert(0, str(SRC))

from kestro.core.data._dataHelpers import createDataNoValidation  # noqa: E402
from kestro.core.data.dataframe import DataFrame  # noqa: E402

POINTS, FEATURES = 2000, 200
REPEATS, NUMBER = 15, 10


def median_ms(call):
    call()
    times = timeit.repeat(call, number=NUMBER, repeat=REPEATS)
    return statistics.median(times) / NUMBER * 1e3


def main():
    rng = np.random.default_rng(7)
    floats = rng.random((POINTS, FEATURES))
    others = rng.random((POINTS, FEATURES)) + 1.0
    ints = rng.integers(1, 100, (POINTS, FEATURES))
    left = DataFrame(pd.DataFrame(floats))
    right = DataFrame(pd.DataFrame(others))
    leftInt = DataFrame(pd.DataFrame(ints))
    rightInt = DataFrame(pd.DataFrame(ints + 1))
    matrix = createDataNoValidation("Matrix", others.copy(), None, None)
    square = DataFrame(pd.DataFrame(rng.random((FEATURES, FEATURES))))
    leftTable, rightTable = left._data, right._data

    def op(obj, name, other):
        return lambda: obj._binaryOperations_implementation(name, other)

    cases = [
        ("__add__ DataFrame (float)", op(left, "__add__", right),
         lambda: DataFrame(leftTable.to_numpy() + rightTable.to_numpy())),
        ("__mul__ DataFrame (int)", op(leftInt, "__mul__", rightInt),
         lambda: DataFrame(leftInt._data.to_numpy() * rightInt._data.to_numpy())),
        ("__truediv__ DataFrame (int)", op(leftInt, "__truediv__", rightInt),
         lambda: DataFrame(leftInt._data.to_numpy() / rightInt._data.to_numpy())),
        ("__lt__ DataFrame", op(left, "__lt__", right),
         lambda: DataFrame(leftTable.to_numpy() < rightTable.to_numpy())),
        ("__sub__ Matrix", op(left, "__sub__", matrix),
         lambda: DataFrame(leftTable.to_numpy() - others)),
        ("__add__ scalar (generic path)", op(left, "__add__", 2.5),
         lambda: DataFrame(leftTable.to_numpy() + 2.5)),
        ("__pow__ DataFrame (generic path)", op(left, "__pow__", right),
         lambda: DataFrame(leftTable.to_numpy() ** rightTable.to_numpy())),
        ("matmul 2000x200 @ 200x200", lambda: left._matmul__implementation(square),
         lambda: DataFrame(leftTable.to_numpy() @ square._data.to_numpy())),
    ]

    print(f"{POINTS} x {FEATURES} table, median of {REPEATS} x {NUMBER} calls")
    print(f"{'operation':34} {'hook ms':>9} {'reference ms':>13} {'ratio':>7}")
    for label, hook, reference in cases:
        hookTime = median_ms(hook)
        referenceTime = median_ms(reference)
        print(f"{label:34} {hookTime:9.3f} {referenceTime:13.3f} {hookTime / referenceTime:7.2f}")


def alternating_us(hook, floor, number, repeats=11):
    """Median CPU time per call of hook and floor (us), the two run in turn."""
    hookTimes, floorTimes = [], []
    for _ in range(repeats):
        for call, times in ((hook, hookTimes), (floor, floorTimes)):
            start = time.process_time()
            for _ in range(number):
                call()
            times.append((time.process_time() - start) / number * 1e6)
    return statistics.median(hookTimes), statistics.median(floorTimes)


def small_operations():
    """The fixed costs: a scalar operation on 1,000 elements, and one view
    per point or feature of an iteration, each beside the pandas call it
    stands for."""
    import kestro

    floats = pd.DataFrame(np.random.default_rng(1).random((100, 10)))
    obj = DataFrame(floats)
    mixed = kestro.data(pd.DataFrame({"a": np.arange(1000), "b": np.linspace(0, 1, 1000),
                                      "c": ["x"] * 1000}))
    table = mixed._data

    def points():
        for _ in mixed.points:
            pass

    def pandasPoints():
        for i in range(1000):
            table.iloc[i:i + 1]

    def features():
        for _ in mixed.features:
            pass

    def pandasFeatures():
        for j in range(3):
            table.iloc[:, j:j + 1]

    rows = [
        ("__add__ 2.5, 100 x 10 float64", "table + 2.5",
         alternating_us(lambda: obj._binaryOperations_implementation("__add__", 2.5),
                        lambda: floats + 2.5, 2000), 1),
        ("for p in obj.points, 1000 x 3 mixed", "iloc[i:i + 1]",
         alternating_us(points, pandasPoints, 1), 1000),
        ("for f in obj.features, 1000 x 3 mixed", "iloc[:, j:j + 1]",
         alternating_us(features, pandasFeatures, 100), 3),
    ]
    print(f"\n{'operation (us per call or view)':40} {'hook':>8} {'pandas':>8}  pandas call")
    for label, reference, (hookTime, floorTime), per in rows:
        print(f"{label:40} {hookTime / per:8.1f} {floorTime / per:8.1f}  {reference}")


if __name__ == "__main__":
    main()
    small_operations()
