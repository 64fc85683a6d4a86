"""The long leak run: every method of the native classes, 10,000 calls each
(4,000 for the few cases that take milliseconds a call).

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
import scipy.sparse

from kestro.core.data import DataFrame, DataFrameView
from kestro.core.data._dataHelpers import createDataNoValidation
from kestro.exceptions import InvalidArgumentType, InvalidArgumentValue
from leakcheck import assert_no_growth

CALLS = int(os.environ.get("KESTRO_LEAK_CALLS", "10000"))
# Cases of several milliseconds a call under tracing; a leak of one object
# per call (16 bytes or more) still passes MAX_BYTES within these calls.
FEWER_CALLS = min(CALLS, 4000)
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


def everyType():
    """int64, float64, object strings, bool, int32 and datetime features."""
    return pd.DataFrame({
        0: np.arange(4, dtype=np.int64),
        1: np.arange(4) * 0.5,
        2: np.array(["s0", "s1", "s2", "s3"], dtype=object),
        3: np.arange(4) % 2 == 0,
        4: np.arange(4, dtype=np.int32),
        5: np.datetime64("2020-01-01") + np.arange(4).astype("timedelta64[D]"),
    })


class Boom(Exception):
    pass


def oneArg(function, oneArg=True):
    """The function as the host hands it to the transform hook."""
    class Prepared:
        def __call__(self, *args):
            return function(*args)
    prepared = Prepared()
    prepared.oneArg = oneArg
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
    """``expect``: each call raises that; ``max_bytes``: a larger budget where
    pandas' own caches keep filling for thousands of calls."""
    def __init__(self, name, call, *watch, expect=None, max_bytes=MAX_BYTES, calls=CALLS):
        self.name, self.call, self.watch = name, call, watch
        self.expect, self.max_bytes, self.calls = expect, max_bytes, calls

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
             num, other, calls=FEWER_CALLS),
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
    ] + other_paths(tmp)


def other_paths(tmp):
    """Refusals, raising user functions and the other argument kinds."""
    obj = DataFrame(mixed())
    num = DataFrame(numeric())
    text = DataFrame([["text"]])
    source = [[1, 2], [3, 4]]
    badDtypes = [object] * 2  # one short of the three features
    dated = DataFrame(pd.DataFrame({0: pd.to_datetime(["2020-01-02 00:00:00", "2021-03-04 05:06:07"]),
                                    1: [1.5, 2.5]}))
    allObject = DataFrame(pd.DataFrame(np.array([["stored"] * 3] * 4, dtype=object)))
    broken = DataFrame(pd.DataFrame({0: np.array(["stored", {}], dtype=object)}))
    kinds = DataFrame(everyType())
    token = "".join(["to", "ken"])  # an object of its own
    answers = {0: np.int64(3), 1: 0.5, 2: token, 3: np.True_, 4: np.int32(1),
               5: pd.Timestamp("2001")}
    perElement = oneArg(lambda v, i, j: answers[j], oneArg=False)
    raising = oneArg(raise_at_1_1, oneArg=False)
    constant = lambda v: token  # noqa: E731
    ints = DataFrame(pd.DataFrame(np.arange(20).reshape(4, 5)))
    bigInt, word = int("1000000000003"), "text".encode().decode()
    matrix = createDataNoValidation("Matrix", np.array([[1.0, 2.0, 3.0]] * 2), None, None)
    sparse = createDataNoValidation("Sparse", scipy.sparse.coo_matrix(np.ones((2, 3))),
                                    None, None)
    sparseSquare = createDataNoValidation("Sparse", scipy.sparse.coo_matrix(np.eye(3)),
                                          None, None)
    negative, wide = DataFrame(pd.DataFrame({0: [-1, 1]})), DataFrame(np.ones((2, 4)))
    named = DataFrame(pd.DataFrame({0: [1, 2, 3], 1: [10.0, 20.0, 30.0]}),
                      pointNames=["a", "b", "c"])
    namedOther = DataFrame(pd.DataFrame({0: [5, 6], 1: [40.0, 20.0]}), pointNames=["d", "b"])
    strings = pd.DataFrame({0: ["a", "b", "c", "a"]})
    stringIdx = {"a": 0, "b": 1, "c": 2}
    csv, mtx = os.path.join(tmp, "named.csv"), os.path.join(tmp, "named.mtx")
    copies = [Case(f"_copy_implementation {to}", lambda to=to: num._copy_implementation(to), num)
              for to in ("pythonlist", "numpymatrix", "scipycoo", "scipycsc", "pandasdataframe")]
    return copies + [
        Case("__init__ list", lambda: DataFrame(source), source),
        Case("__init__ refused", lambda: DataFrame(5), expect=InvalidArgumentType),
        # numpy's and pandas' Timestamp caches creep up for tens of thousands of calls
        Case("_copy_implementation datetime", lambda: dated._copy_implementation("numpyarray"),
             dated, max_bytes=256 * 1024),
        Case("_copy_implementation refused", lambda: text._copy_implementation("scipycsr"),
             text, expect=ValueError),
        Case("_copy_implementation two positionals", lambda: num._copy_implementation("a", "b"),
             num, expect=TypeError),
        Case("_copy_implementation unknown keyword",
             lambda: num._copy_implementation("a", bogus=1), num, expect=TypeError),
        Case("_setDtypes refused", lambda: obj._setDtypes(badDtypes), obj, badDtypes,
             expect=InvalidArgumentValue),
        Case("_getitem_implementation out of range", lambda: obj._getitem_implementation(5, 0),
             obj, expect=IndexError),
        Case("_checkInvariants_implementation object",
             lambda: allObject._checkInvariants_implementation(2), allObject),
        Case("_checkInvariants_implementation level 1",
             lambda: obj._checkInvariants_implementation(1), obj),
        Case("_checkInvariants_implementation refused",
             lambda: broken._checkInvariants_implementation(2), broken, expect=AssertionError),
        Case("_isIdentical_implementation other kind", lambda: obj._isIdentical_implementation(5),
             obj),
        Case("_countUnique_implementation features",
             lambda: obj._countUnique_implementation(None, [2]), obj),
        # pandas keeps a self-pruning list of weak references per block that
        # every column access appends to; it ramps up for thousands of calls
        Case("_transform_implementation per element",
             restoring(kinds, lambda o: o._transform_implementation(perElement, None, None)),
             kinds, perElement, token, answers[0], answers[5], max_bytes=1024 * 1024),
        Case("_transform_implementation raising",
             restoring(num, lambda o: o._transform_implementation(raising, None, None)),
             num, raising, expect=Boom),
        Case("_calculate_implementation points",
             lambda: obj._calculate_implementation(constant, [0, 1], None, False),
             obj, constant, token),
        Case("_binaryOperations_implementation Matrix",
             lambda: num._binaryOperations_implementation("__lt__", matrix), num, matrix),
        Case("_binaryOperations_implementation Sparse",
             lambda: num._binaryOperations_implementation("__radd__", sparse), num, sparse),
        Case("_binaryOperations_implementation mended", lambda: pow_while_handling(negative),
             negative),
        Case("_binaryOperations_implementation refused",
             lambda: num._binaryOperations_implementation("__add__", wide), num, wide,
             expect=Exception),
        Case("_matmul__implementation Sparse",
             lambda: num._matmul__implementation(sparseSquare), num, sparseSquare),
        Case("_merge_implementation union",
             restoring(named, lambda o: o._merge_implementation(
                 namedOther, "union", "union", None, [[1], [1]])), named, namedOther,
             calls=FEWER_CALLS),
        Case("_flatten_implementation every type", lambda: flatten_round_trip(kinds), kinds,
             calls=FEWER_CALLS),
        Case("_replaceRectangle_implementation int",
             restoring(ints, lambda o: o._replaceRectangle_implementation(bigInt, 1, 1, 2, 3)),
             ints, bigInt),
        Case("_replaceRectangle_implementation text",
             restoring(ints, lambda o: o._replaceRectangle_implementation(word, 1, 1, 2, 3)),
             ints, word),
        Case("_replaceFeatureWithBinaryFeatures_implementation text",
             lambda: DataFrame(strings)._replaceFeatureWithBinaryFeatures_implementation(
                 stringIdx), strings, stringIdx),
        Case("_saveCSV_implementation names",
             lambda: named._saveCSV_implementation(csv, True, True), named, csv),
        Case("_saveMTX_implementation names",
             lambda: named._saveMTX_implementation(mtx, True, True), named, mtx),
    ]


def raise_at_1_1(value, i, j):
    if (i, j) == (1, 1):
        raise Boom("again")
    return value


def pow_while_handling(negative):
    """A negative integer power, computed while another exception is handled."""
    try:
        raise KeyError("outer")
    except KeyError:
        return negative._binaryOperations_implementation("__pow__", negative)


def flatten_round_trip(obj):
    obj._flatten_implementation("feature")
    obj._unflatten_implementation((4, 6), "feature")


def test_every_method_is_covered(tmp_path):
    covered = {case.name.split()[0] for case in cases(str(tmp_path))}
    own = {name for name in vars(DataFrame) if callable(vars(DataFrame)[name])}
    assert own <= covered | {"__init_subclass__"}, own - covered
    assert {"_getPoints", "_getFeatures"} <= set(vars(DataFrameView))
    assert len(own) == 28


@pytest.mark.parametrize("name", [case.name for case in cases("")])
def test_no_growth(tmp_path, name):
    case = next(c for c in cases(str(tmp_path)) if c.name == name)
    assert_no_growth(case.call, repeat=case.calls, warmup=WARMUP, watch=case.watch,
                     expect=case.expect, max_bytes=case.max_bytes, max_ref_growth=MAX_REFS,
                     watch_result=True, stretches=4)
