"""Element-wise transform and calculate against the per-element pandas walk.

Run: python benchmarks/bench_transform.py [--quick]

Prints the median of several repeats for each contender, side by side, and
the peak memory traced while the native transform runs.
"""
import itertools
import numbers
import pathlib
import statistics
import sys
import time
import tracemalloc
import warnings

# Prefer an in-place build (tools/devbuild) over the installed package.
SRC = pathlib.Path(__file__).resolve().parents[1] / "src"
if any((SRC / "kestro" / "core" / "data").glob("dataframe*.so")):
    sys.path.insert(0, str(SRC))

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

from kestro.core.data.dataframe import DataFrame  # noqa: E402

QUICK = "--quick" in sys.argv
REPEATS = 3 if QUICK else 7


def element_walk(obj, toTransform, points, features):
    """The per-element baseline: `iat` to read, `iloc` to write."""
    for i, j in itertools.product(range(len(obj.points)), range(len(obj.features))):
        currVal = obj._data.iat[i, j]
        if points is not None and i not in points:
            continue
        if features is not None and j not in features:
            continue
        currRet = toTransform(currVal) if toTransform.oneArg else toTransform(currVal, i, j)
        if obj._data.dtypes.iloc[j].type == np.datetime64 and isinstance(
                currRet, (numbers.Number, str)):
            obj._data[j] = obj._data[j].astype(object)
        obj._data.iloc[i, j] = currRet


def median_time(run, setup, repeats):
    times = []
    for _ in range(repeats):
        state = setup()
        start = time.perf_counter()
        run(state)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def float_table(n, m):
    return pd.DataFrame(np.random.default_rng(0).random((n, m)))


def mixed_table(n, m):
    rng = np.random.default_rng(1)
    makers = [
        lambda: rng.integers(-1000, 1000, n),
        lambda: rng.random(n),
        lambda: pd.Series([f"s{k}" for k in rng.integers(0, 100, n)], dtype=object),
        lambda: pd.date_range("2000-01-01", periods=n, freq="h"),
        lambda: rng.random(n) < 0.5,
    ]
    return pd.DataFrame({j: makers[j % len(makers)]() for j in range(m)})


def keep_type(v):
    if isinstance(v, str):
        return v + "!"
    if isinstance(v, pd.Timestamp):
        return v + pd.Timedelta(hours=1)
    if isinstance(v, np.bool_):
        return not v
    return v * 2


def oneArg(function):
    function.oneArg = True
    return function


def row(label, seconds, reference=None):
    ratio = "" if reference is None else f"{reference / seconds:10.1f}x"
    print(f"  {label:<44}{seconds * 1e3:12.2f} ms{ratio}")


def transform_case(title, table, function, walk_table):
    print(f"\n{title}: {table.shape[0]} x {table.shape[1]}")
    walk_repeats = 1 if QUICK else 3
    native = median_time(lambda o: o._transform_implementation(function, None, None),
                         lambda: DataFrame(table), REPEATS)
    # The same values the walk hands to the function, in the same order.
    values = [table.iat[i, j] for i in range(table.shape[0]) for j in range(table.shape[1])]

    def bare(vals):
        for v in vals:
            function(v)

    floor = median_time(bare, lambda: values, REPEATS)
    # The walk is slow: time it on `walk_table` rows and scale to the table.
    scale = table.shape[0] / walk_table.shape[0]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        walk = median_time(lambda o: element_walk(o, function, None, None),
                           lambda: DataFrame(walk_table), walk_repeats) * scale
    row("per-element iat/iloc walk" + (f" (scaled x{scale:g})" if scale != 1 else ""), walk)
    row("bare Python loop over the same values", floor)
    row("native transform (speed-up vs walk)", native, walk)
    print(f"  native / bare loop: {native / floor:.2f}")
    obj = DataFrame(table)
    tracemalloc.start()
    obj._transform_implementation(function, None, None)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    column = table.memory_usage(index=False, deep=False).max()
    print(f"  peak traced memory during transform: {peak / 1024:.1f} KiB "
          f"(one column: {column / 1024:.1f} KiB, table: {table.memory_usage().sum() / 1024:.1f} KiB)")


def calculate_case(title, table, function, points, features):
    print(f"\n{title}: {table.shape[0]} x {table.shape[1]}")
    obj = DataFrame(table)
    name = "map" if hasattr(pd.DataFrame, "map") else "applymap"
    rows = slice(None) if points is None else points
    cols = slice(None) if features is None else features

    def pandas_map(_):
        getattr(obj._data.iloc[rows, cols], name)(function)

    plain = median_time(pandas_map, lambda: None, REPEATS)
    native = median_time(lambda _: obj._calculate_implementation(function, points, features, False),
                         lambda: None, REPEATS)
    row(f"DataFrame.{name} on the selection", plain)
    row("native calculate (speed-up vs pandas)", native, plain)


def ratio_row(label, table, function, runs=None):
    """Native transform over the bare loop of the same function on the
    values `iat` gives (the floor); `runs` replaces the hook call."""
    values = [table.iat[i, j] for i in range(table.shape[0]) for j in range(table.shape[1])]

    def bare(vals):
        for v in vals:
            function(v)

    run = runs or (lambda o: o._transform_implementation(function, None, None))
    native = median_time(run, lambda: DataFrame(table), REPEATS)
    floor = median_time(bare, lambda: values, REPEATS)
    print(f"  {label:<44}{native * 1e3:10.2f} ms{floor * 1e3:10.2f} ms{native / floor:8.2f}")


def shapes():
    print("\ntransform by shape: native ms, bare loop ms, native / bare loop")
    double = oneArg(lambda v: v * 2)
    same = oneArg(lambda v: v)
    for n, m in ((30000, 1), (300, 100), (100, 300)):
        ratio_row(f"float64 {n} x {m}, v * 2", float_table(n, m), double)
    rng = np.random.default_rng(2)
    makers = [lambda: rng.integers(-1000, 1000, 300), lambda: rng.random(300),
              lambda: np.array([f"s{k}" for k in rng.integers(0, 100, 300)], dtype=object)]
    plain = pd.DataFrame({j: makers[j % 3]() for j in range(100)})
    ratio_row("int/float/object 300 x 100, identity", plain, same)
    ratio_row("mixed 300 x 100, identity", mixed_table(300, 100), same)
    ratio_row("mixed 300 x 100, type-keeping", mixed_table(300, 100), oneArg(keep_type))


def selections():
    """A full list of positions against no selection, through the public
    transform (names resolved by the host)."""
    import kestro

    print("\ntransform with every point selected by a list: selected ms, unselected ms, ratio")
    for n in (10000, 100000):
        table = float_table(n, 10)
        positions = list(range(n))
        double = lambda v: v * 2  # noqa: E731
        selected = median_time(lambda o: o.transform(double, points=positions),
                               lambda: kestro.data(table), REPEATS)
        unselected = median_time(lambda o: o.transform(double), lambda: kestro.data(table), REPEATS)
        print(f"  {n:,} x 10{'':<33}{selected * 1e3:10.2f} ms{unselected * 1e3:10.2f} ms"
              f"{selected / unselected:8.2f}")


def main():
    n, m = (1000, 100)
    walk_rows = 20 if QUICK else 100
    print(f"pandas {pd.__version__}, numpy {np.__version__}; median of {REPEATS} repeats")
    double = oneArg(lambda v: v * 2)
    transform_case("transform float64, lambda v: v * 2", float_table(n, m), double,
                   float_table(walk_rows, m))
    transform_case("transform mixed int/float/object/datetime/bool, type-keeping",
                   mixed_table(n, m), oneArg(keep_type), mixed_table(walk_rows, m))
    shapes()
    selections()
    calculate_case("calculate float64, whole table", float_table(n, m), lambda v: v * 2, None, None)
    calculate_case("calculate mixed, half the points and features", mixed_table(n, m), keep_type,
                   list(range(0, n, 2)), list(range(0, m, 2)))


if __name__ == "__main__":
    main()
