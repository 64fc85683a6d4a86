"""Reshaping hooks against the numpy / pandas calls they are made of.

Run: PYTHONPATH=src python benchmarks/bench_reshape.py

Each hook runs on a DataFrame data object; its "plain" counterpart runs the
same numpy / pandas calls written out in Python on the same object (type
list read, array export, reshape, table construction, re-typing).  Both are
timed in this process, median of repeats, side by side.  The second table
compares flattening a mixed 300 x 100 table (30,000 features) with the
column-by-column re-typing route.
"""
import statistics
import time
import warnings

import numpy as np
import pandas as pd

from kestro.core.data.dataframe import DataFrame

ROWS, COLS = 2000, 200
WIDE_ROWS, WIDE_COLS = 300, 100


def median(call, setup=lambda: None, repeat=15):
    times = []
    for _ in range(repeat):
        setup()
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def mixedTable(rows, cols):
    makers = [
        lambda n: np.arange(n, dtype=np.int64),
        lambda n: np.arange(n) * 0.5,
        lambda n: np.array([f"s{i}" for i in range(n)], dtype=object),
        lambda n: np.arange(n) % 2 == 0,
    ]
    return pd.DataFrame({j: makers[j % 4](rows) for j in range(cols)})


def byColumn(values, types):
    """A table from the array, then each feature re-typed on its own."""
    new = pd.DataFrame(values)
    for (label, column), dtype in zip(list(new.items()), types):
        if column.dtype != dtype:
            new[label] = column.astype(dtype)
    return new


def plainFlatten(obj, order):
    points = obj._data.shape[0]
    dtypes = obj._data.dtypes
    types = tuple(np.tile(dtypes, points) if order == "point" else np.repeat(dtypes, points))
    flat = obj._asNumpyArray().reshape((1, obj._data.size), order="C" if order == "point" else "F")
    obj._data = pd.DataFrame(flat)
    obj._setDtypes(types)


def plainUnflatten(obj, shape, order):
    dtypes = tuple(obj._data.dtypes)
    rows, cols = shape
    if order == "point":
        types = tuple(max(dtypes[i::cols]) for i in range(cols))
    else:
        types = tuple(max(dtypes[s:s + rows]) for s in range(0, rows * cols, rows))
    values = obj._asNumpyArray().reshape(shape, order="C" if order == "point" else "F")
    obj._data = pd.DataFrame(values)
    obj._setDtypes(types)


def plainRectangle(obj, value, ps, fs, pe, fe):
    dtypes = obj._data.dtypes
    for i in range(fs, fe + 1):
        if np.dtype(type(value)) > dtypes.iloc[i]:
            dtypes.iloc[i] = np.dtype(type(value))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        obj._data.iloc[ps:pe + 1, fs:fe + 1] = value * np.ones((pe - ps + 1, fe - fs + 1))
        obj._setDtypes(dtypes)


def plainBinary(obj, mapping):
    """One float feature per key of `mapping`, 1.0 where the single feature holds it."""
    rows = obj._data.shape[0]
    found = pd.Index(list(mapping), dtype=object).get_indexer(obj._data[0].astype(object))
    out = np.zeros((rows, len(mapping)))
    out[np.arange(rows), np.array(list(mapping.values()))[found]] = 1.0
    obj._data = pd.DataFrame(out)


def plainMerge(left, right, names, rightNames):
    """Left / union merge by point name, `right` holding the points `rightNames`."""
    rows = len(names)
    keys = pd.factorize(np.concatenate([np.array(names, dtype=object),
                                        np.array(rightNames, dtype=object)]))[0]
    matched = pd.merge(pd.DataFrame({"key": keys[:rows], "l": np.arange(rows)}),
                       pd.DataFrame({"key": keys[rows:], "r": np.arange(len(rightNames))}),
                       on="key", how="left", sort=False)
    rpos = matched["r"].fillna(-1).to_numpy(dtype=np.intp)
    left._data = pd.concat([left._data.reindex(matched["l"].to_numpy()),
                            right._data.reindex(rpos).set_axis(pd.RangeIndex(rows))], axis=1)


def main():
    rng = np.random.default_rng(0)
    floats = pd.DataFrame(rng.random((ROWS, COLS)))
    ints = pd.DataFrame(rng.integers(0, 100, (ROWS, COLS)))
    obj = DataFrame(floats)
    rows = []

    def reset(table):
        return lambda: setattr(obj, "_data", table.copy())

    def transposePlain():
        obj._data = obj._data.T

    rows.append(("transpose", median(obj._transpose_implementation, reset(floats), repeat=101),
                 median(transposePlain, reset(floats), repeat=101)))

    half = (0, 0, ROWS // 2 - 1, COLS // 2 - 1)
    for label, value in (("int into int", 7), ("float into int", 2.5)):
        rows.append((f"replaceRectangle {label}",
                     median(lambda: obj._replaceRectangle_implementation(value, *half), reset(ints),
                            repeat=31),
                     median(lambda: plainRectangle(obj, value, *half), reset(ints), repeat=31)))

    for order, npOrder in (("point", "C"), ("feature", "F")):
        flat = pd.DataFrame(floats.to_numpy().reshape((1, -1), order=npOrder))
        rows.append((f"flatten {order}",
                     median(lambda: obj._flatten_implementation(order), reset(floats)),
                     median(lambda: plainFlatten(obj, order), reset(floats))))
        rows.append((f"unflatten {order}",
                     median(lambda: obj._unflatten_implementation((ROWS, COLS), order), reset(flat)),
                     median(lambda: plainUnflatten(obj, (ROWS, COLS), order), reset(flat))))

    column = pd.DataFrame({0: rng.integers(0, 20, ROWS).astype(str).astype(object)})
    mapping = {str(v): i for i, v in enumerate(range(20))}

    rows.append(("binary features (20 values)",
                 median(lambda: obj._replaceFeatureWithBinaryFeatures_implementation(mapping),
                        reset(column), repeat=101),
                 median(lambda: plainBinary(obj, mapping), reset(column), repeat=101)))

    names = [f"p{i}" for i in range(ROWS)]
    right = DataFrame(floats.iloc[::2].reset_index(drop=True), pointNames=names[::2])
    left = DataFrame(floats, pointNames=names)

    def setLeft():
        left._data = floats

    rows.append(("merge by name, left / union",
                 median(lambda: left._merge_implementation(right, "left", "union", None, [[], []]),
                        setLeft, repeat=9),
                 median(lambda: plainMerge(left, right, names, names[::2]), setLeft, repeat=9)))

    print(f"{'2,000 x 200':32} {'hook ms':>9} {'plain ms':>9} {'ratio':>6}")
    for name, hook, plain in rows:
        print(f"{name:32} {hook * 1e3:9.2f} {plain * 1e3:9.2f} {hook / plain:6.2f}")

    wide = mixedTable(WIDE_ROWS, WIDE_COLS)
    wideObj = DataFrame(wide)
    size = WIDE_ROWS * WIDE_COLS
    print(f"\n{'mixed 300 x 100, 30,000 features':32} {'hook ms':>9} {'by column':>9} {'speedup':>7}")
    for order, npOrder in (("point", "C"), ("feature", "F")):
        types = tuple(np.tile(wide.dtypes, WIDE_ROWS) if order == "point"
                      else np.repeat(wide.dtypes, WIDE_ROWS))
        values = wide.astype(object).to_numpy().reshape((1, size), order=npOrder)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            plain = median(lambda: byColumn(values, types), repeat=3)
        with warnings.catch_warnings():
            warnings.simplefilter("error")  # no PerformanceWarning on the hook's route
            hook = median(lambda: wideObj._flatten_implementation(order),
                          lambda: setattr(wideObj, "_data", wide), repeat=5)
        print(f"{'flatten ' + order:32} {hook * 1e3:9.1f} {plain * 1e3:9.1f} {plain / hook:6.1f}x")

        wideObj._data = wide
        wideObj._flatten_implementation(order)
        flatTable = wideObj._data
        back = flatTable.astype(object).to_numpy().reshape((WIDE_ROWS, WIDE_COLS), order=npOrder)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            plain = median(lambda: byColumn(back, tuple(wide.dtypes)), repeat=5)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            hook = median(lambda: wideObj._unflatten_implementation((WIDE_ROWS, WIDE_COLS), order),
                          lambda: setattr(wideObj, "_data", flatTable), repeat=5)
        print(f"{'unflatten ' + order:32} {hook * 1e3:9.1f} {plain * 1e3:9.1f} {plain / hook:6.1f}x")
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            plain = median(lambda: plainUnflatten(wideObj, (WIDE_ROWS, WIDE_COLS), order),
                           lambda: setattr(wideObj, "_data", flatTable), repeat=5)
        print(f"{'  (whole plain route)':32} {hook * 1e3:9.1f} {plain * 1e3:9.1f} {plain / hook:6.1f}x")
        half = (2, size // 2)
        values = flatTable.astype(object).to_numpy().reshape(half, order=npOrder)
        halfTypes = (tuple(max(flatTable.dtypes.iloc[i::half[1]]) for i in range(half[1]))
                     if order == "point" else
                     tuple(max(flatTable.dtypes.iloc[s:s + 2]) for s in range(0, size, 2)))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            plain = median(lambda: byColumn(values, halfTypes), repeat=3)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            hook = median(lambda: wideObj._unflatten_implementation(half, order),
                          lambda: setattr(wideObj, "_data", flatTable), repeat=5)
        print(f"{'unflatten ' + order + ' to 2 x 15,000':32} {hook * 1e3:9.1f} {plain * 1e3:9.1f} "
              f"{plain / hook:6.1f}x")


if __name__ == "__main__":
    main()
