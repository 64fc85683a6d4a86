"""Element types, element access and the invariants check, timed side by side.

    python benchmarks/bench_element_types.py

Prints the median of several repeats for each row.
"""
import itertools
import statistics
import time

import numpy as np
import pandas as pd

import kestro.core.data.dataframe as module
from kestro._utility import isAllowedSingleElement

REPEATS = 7


def median_seconds(call, number=1):
    times = []
    for _ in range(REPEATS):
        start = time.perf_counter()
        for _ in range(number):
            call()
        times.append((time.perf_counter() - start) / number)
    return statistics.median(times)


def alternating_seconds(hook, floor, repeats=15):
    """Median CPU time of hook and floor, the two run in turn (CPU time, so
    that other processes on the machine count less)."""
    hookTimes, floorTimes = [], []
    for _ in range(repeats):
        for call, times in ((hook, hookTimes), (floor, floorTimes)):
            start = time.process_time()
            call()
            times.append(time.process_time() - start)
    return statistics.median(hookTimes), statistics.median(floorTimes)


def object_table(points=1000, features=100, mixed=False):
    rng = np.random.default_rng(0)
    pool = np.array(["text", 1, 2.5, None, True, "x"], dtype=object)
    columns = {}
    for j in range(features):
        if mixed and j % 2:
            columns[j] = rng.random(points)
        else:
            columns[j] = pool[rng.integers(0, len(pool), points)]
    return pd.DataFrame(columns)


def at_walk(table):
    """The element scan of the invariants check, written with `DataFrame.at`."""
    at = table.at
    for pt, ft in itertools.product(range(table.shape[0]), range(table.shape[1])):
        assert isAllowedSingleElement(at[pt, ft])


def bench_invariants(label, table):
    obj = module.DataFrame(table, reuseData=True)
    values = [table.at[pt, ft] for pt, ft in
              itertools.product(range(table.shape[0]), range(table.shape[1]))]

    def floor():
        predicate = isAllowedSingleElement
        for value in values:
            predicate(value)

    native, bare = alternating_seconds(lambda: obj._checkInvariants_implementation(2), floor)
    walk = median_seconds(lambda: at_walk(table))
    print(f"{label:<34}{native * 1e3:>10.2f}{bare * 1e3:>10.2f}{walk * 1e3:>10.2f}"
          f"{native / bare:>10.2f}{walk / native:>10.1f}")


def bench_overhead(label, hook, wrapped, number):
    ours = median_seconds(hook, number)
    theirs = median_seconds(wrapped, number)
    print(f"{label:<34}{ours * 1e6:>10.2f}{theirs * 1e6:>10.2f}{(ours - theirs) * 1e6:>10.2f}")


def main():
    print("invariants check, level 2 (ms)   native  bare loop   at-walk  /floor  at/native")
    bench_invariants("1000 x 100, all object", object_table())
    bench_invariants("1000 x 100, half object half float", object_table(mixed=True))

    print("\nhook overhead (us per call)         hook    pandas     extra")
    numeric = module.DataFrame(pd.DataFrame(np.arange(1000.0).reshape(100, 10)))
    mixed = module.DataFrame(object_table(100, 10, mixed=True))
    nt, mt = numeric._data, mixed._data
    bench_overhead("_getitem_implementation (float)",
                   lambda: numeric._getitem_implementation(5, 3), lambda: nt.iat[5, 3], 20000)
    bench_overhead("_getitem_implementation (object)",
                   lambda: mixed._getitem_implementation(5, 2), lambda: mt.iat[5, 2], 20000)
    # the pandas calls each path makes: the dtypes, then the conversion
    bench_overhead("_asNumpyArray (float64 table)", lambda: numeric._asNumpyArray(),
                   lambda: (nt.dtypes, nt.to_numpy()), 5000)
    bench_overhead("_asNumpyArray (mixed table)", lambda: mixed._asNumpyArray(),
                   lambda: (mt.dtypes, mt.astype(object).to_numpy()), 500)
    floats = module.DataFrame(pd.DataFrame(np.ones((100, 10), dtype=np.float32)))
    ft = floats._data
    bench_overhead("_asNumpyArray(True) (float32 table)", lambda: floats._asNumpyArray(True),
                   lambda: (ft.dtypes, ft.to_numpy(float)), 2000)


if __name__ == "__main__":
    main()
