"""The long leak run: every method of the native classes, 20,000 calls each.

Not collected by the ordinary test run (the file name does not start with
``test_``); CI runs it once, in the newest environment:

    python -m pytest tests/leak_run.py

Each call works on small objects; an in-place hook gets its original table
back before every call, so each call does the same work.  A case fails when
traced memory grows by more than ``MAX_BYTES`` over the measured calls (every
quarter of them growing, see ``assert_no_growth``), or the
reference count of an argument, of the object itself or of a shared result
moves by more than ``MAX_REFS``.
"""
import os

import numpy as np
import pandas as pd
import pytest

from kestro.core.data import DataFrame, DataFrameView
from leakcheck import assert_no_growth

CALLS = int(os.environ.get("KESTRO_LEAK_CALLS", "20000"))
WARMUP = 500
MAX_BYTES = 96 * 1024
MAX_REFS = 2
USABLE = [np.dtype(bool), np.dtype(np.int64), np.dtype(np.float64)]


def mixed():
    return pd.DataFrame({
        0: np.array([1, 2, 3], dtype=np.int64),
        1: np.array([1.5, np.nan, -2.0]),
        2: np.array(["a", None, "c"], dtype=object),
    })


def numeric():
    return pd.DataFrame(np.arange(6, dtype=np.float64).reshape(2, 3))


def oneArg(function):
    """The function as the host hands it to the transform hook."""
    class Prepared:
        def __call__(self, value):
            return function(value)
    prepared = Prepared()
    prepared.oneArg = True
    return prepared


def restoring(obj, call):
    """``call(obj)`` on the object's original table each time."""
    table, dims = obj._data, list(obj._dims)

    def once():
        obj._data = table
        obj._dims = list(dims)
        return call(obj)
    return once


class Case:
    def __init__(self, name, call, *watch):
        self.name, self.call, self.watch = name, call, watch

    def __repr__(self):
        return self.name


def cases(tmp):
    obj = DataFrame(mixed())
    num = DataFrame(numeric())
    other = DataFrame(numeric())
    square = DataFrame(pd.DataFrame(np.arange(4.0).reshape(2, 2)))
    cube = DataFrame(pd.DataFrame(np.arange(12).reshape(2, 6)), shape=[2, 2, 3])
    view = obj._view_implementation(0, 2, 0, 3, False)
    table = mixed()
    names = ["a", "b", "c"]
    double = lambda v: v if v is None else v * 2  # noqa: E731
    prepared = oneArg(lambda v: v)
    dtypes = list(obj._data.dtypes)
    rect = np.array([[7.0, 8.0]])
    uniqueIdx = {1.0: 0, 2.0: 1}
    binary = pd.DataFrame({0: [1.0, 2.0, 1.0]})
    csv, mtx = os.path.join(tmp, "out.csv"), os.path.join(tmp, "out.mtx")
    return [
        Case("__init__", lambda: DataFrame(table), table),
        Case("__init__ reuseData", lambda: DataFrame(table, reuseData=True), table),
        Case("_getPoints", lambda: obj._getPoints(names), obj, names),
        Case("_getFeatures", lambda: obj._getFeatures(None), obj),
        Case("view _getPoints", lambda: view._getPoints(None), view),
        Case("view _getFeatures", lambda: view._getFeatures(names), view, names),
        Case("_transform_implementation",
             restoring(num, lambda o: o._transform_implementation(prepared, None, [1])),
             num, prepared),
        Case("_calculate_implementation",
             lambda: obj._calculate_implementation(double, None, None, False), obj, double),
        Case("_countUnique_implementation",
             lambda: obj._countUnique_implementation(None, None), obj),
        Case("_transpose_implementation", lambda: square._transpose_implementation(), square),
        Case("_getTypeString_implementation", lambda: obj._getTypeString_implementation(), obj),
        Case("_isIdentical_implementation", lambda: num._isIdentical_implementation(other),
             num, other),
        Case("_saveCSV_implementation",
             lambda: obj._saveCSV_implementation(csv, False, False), obj, csv),
        Case("_saveMTX_implementation",
             lambda: num._saveMTX_implementation(mtx, False, False), num, mtx),
        Case("_copy_implementation numpyarray",
             lambda: obj._copy_implementation("numpyarray"), obj),
        Case("_copy_implementation DataFrame",
             lambda: obj._copy_implementation("DataFrame"), obj),
        Case("_copy_implementation scipycsr",
             lambda: num._copy_implementation("scipycsr"), num),
        Case("_replaceRectangle_implementation",
             restoring(num, lambda o: o._replaceRectangle_implementation(rect, 1, 1, 1, 2)),
             num, rect),
        Case("_flatten_implementation",
             restoring(num, lambda o: o._flatten_implementation("feature")), num),
        Case("_unflatten_implementation",
             restoring(DataFrame(pd.DataFrame(np.arange(6.0).reshape(1, 6))),
                       lambda o: o._unflatten_implementation([2, 3], "point"))),
        Case("_merge_implementation",
             restoring(num, lambda o: o._merge_implementation(
                 other, "strict", "intersection", None, [[0, 1, 2], [0, 1, 2]])),
             num, other),
        Case("_replaceFeatureWithBinaryFeatures_implementation",
             lambda: DataFrame(binary)._replaceFeatureWithBinaryFeatures_implementation(uniqueIdx),
             binary, uniqueIdx),
        Case("_getitem_implementation", lambda: obj._getitem_implementation(0, 2), obj),
        Case("_view_implementation", lambda: obj._view_implementation(1, 3, 0, 2, False), obj),
        Case("_view_implementation dropDimension",
             lambda: cube._view_implementation(1, 2, 0, 6, True), cube),
        Case("_createNestedObject", lambda: cube._createNestedObject(1), cube),
        Case("_checkInvariants_implementation",
             lambda: obj._checkInvariants_implementation(2), obj),
        Case("_containsZero_implementation", lambda: obj._containsZero_implementation(), obj),
        Case("_binaryOperations_implementation object",
             lambda: num._binaryOperations_implementation("__add__", other), num, other),
        Case("_binaryOperations_implementation scalar",
             lambda: num._binaryOperations_implementation("__mul__", 3), num),
        Case("_matmul__implementation", lambda: square._matmul__implementation(square), square),
        Case("_convertToNumericTypes_implementation",
             restoring(DataFrame(pd.DataFrame({0: [True, False], 1: [1, 2]})),
                       lambda o: o._convertToNumericTypes_implementation(USABLE))),
        Case("_iterateElements_implementation",
             lambda: list(obj._iterateElements_implementation("feature", None)), obj),
        Case("_setDtypes", lambda: obj._setDtypes(dtypes), obj, dtypes),
        Case("_asNumpyArray", lambda: obj._asNumpyArray(), obj),
        Case("_asNumpyArray numericRequired", lambda: num._asNumpyArray(True), num),
    ]


def test_every_method_is_covered(tmp_path):
    covered = {case.name.split()[0] for case in cases(str(tmp_path))}
    own = {name for name in vars(DataFrame) if callable(vars(DataFrame)[name])}
    assert own <= covered | {"__init_subclass__"}, own - covered
    assert {"_getPoints", "_getFeatures"} <= set(vars(DataFrameView))
    assert len(own) == 28


@pytest.mark.parametrize("name", [case.name for case in cases("")])
def test_no_growth(tmp_path, name):
    case = next(c for c in cases(str(tmp_path)) if c.name == name)
    assert_no_growth(case.call, repeat=CALLS, warmup=WARMUP, watch=case.watch,
                     max_bytes=MAX_BYTES, max_ref_growth=MAX_REFS, watch_result=True, stretches=4)
