"""Element-wise arithmetic and comparison between DataFrame objects, other
storage types and scalars: result element types, the route taken, the
exceptions absorbed, and the caller's handled-exception state."""
import ctypes
import decimal
import sys
import warnings

import numpy as np
import pandas as pd
import pytest

from kestro.core.data._dataHelpers import createDataNoValidation
from kestro.core.data.dataframe import DataFrame
from kestro.exceptions import InvalidArgumentType, InvalidArgumentValue

I64, I32, F64, F32, B, O = (np.dtype(t) for t in (np.int64, np.int32, np.float64, np.float32,
                                                  bool, object))
C128 = np.dtype(np.complex128)
U8, I8, U16 = (np.dtype(t) for t in (np.uint8, np.int8, np.uint16))


def table(*columns):
    """A pandas table whose column j holds columns[j] = (values, dtype)."""
    return pd.DataFrame({j: np.asarray(values, dtype=dtype)
                         for j, (values, dtype) in enumerate(columns)})


def obj(*columns):
    return DataFrame(table(*columns))


def dtypes(result):
    return list(result._data.dtypes)


def run(left, opName, right):
    return left._binaryOperations_implementation(opName, right)


# Result element types ------------------------------------------------------

SCALAR_CASES = [
    # self columns, opName, scalar, result dtypes, result values
    ([([1, 2], I64)], "__add__", 3, [I64], [[4], [5]]),
    ([([1, 2], I64)], "__truediv__", 2, [F64], [[0.5], [1.0]]),
    ([([1, 2], I64)], "__rtruediv__", 2, [F64], [[2.0], [1.0]]),
    ([([1, 2], I64)], "__add__", 1.5, [F64], [[2.5], [3.5]]),
    ([([1, 2], I64)], "__mul__", True, [I64], [[1], [2]]),
    ([([0.5, 1.5], F32)], "__add__", 1.5, [F64], [[2.0], [3.0]]),
    ([([0.5, 1.5], F32)], "__add__", 2, [F32], [[2.5], [3.5]]),
    ([([0.5, 1.5], F32)], "__truediv__", 2, [F64], [[0.25], [0.75]]),
    ([([1, 2], I32)], "__add__", 1, [I64], [[2], [3]]),
    ([([1, 2], I32)], "__truediv__", 1, [F64], [[1.0], [2.0]]),
    ([([True, False], B)], "__add__", True, [B], [[True], [True]]),
    ([([True, False], B)], "__mul__", 2, [I64], [[2], [0]]),
    ([([1, 2], I64), ([0.5, 1.5], F64)], "__sub__", 1, [I64, F64], [[0, -0.5], [1, 0.5]]),
    ([([1, 2], I64)], "__pow__", 2, [I64], [[1], [4]]),
    ([([7, 8], I64)], "__mod__", 3, [I64], [[1], [2]]),
    ([([7, 8], I64)], "__floordiv__", 3, [I64], [[2], [2]]),
    ([([7, 8], I64)], "__rsub__", 10, [I64], [[3], [2]]),
    # small integer types are computed in the listed result type, never wrapped
    ([([1, 255], U8), ([1.0, 2.0], F64)], "__mul__", 2, [I64, F64], [[2, 2.0], [510, 4.0]]),
    ([([1, 255], U8)], "__mul__", -1, [I64], [[-1], [-255]]),
    ([([2, 100], I8)], "__pow__", 3, [I64], [[8], [1000000]]),
    ([([0, 7], U16), ([1.0, 2.0], F64)], "__rsub__", 3, [I64, F64], [[3, 2.0], [-4, 1.0]]),
    # a complex scalar does not cast safely to float: object enters the comparison
    ([([1, 2], I64)], "__mul__", 1j, [O], [[1j], [2j]]),
]


@pytest.mark.parametrize("columns, opName, scalar, expectedTypes, expectedValues", SCALAR_CASES)
def test_scalar_result_types(columns, opName, scalar, expectedTypes, expectedValues):
    left = obj(*columns)
    result = run(left, opName, scalar)
    assert type(result) is DataFrame
    assert dtypes(result) == expectedTypes
    assert result._data.values.tolist() == expectedValues


OBJECT_CASES = [
    # self columns, other columns, opName, result dtypes
    ([([1, 2], I64)], [([3, 4], I64)], "__add__", [I64]),
    ([([1, 2], I64)], [([3, 4], I64)], "__truediv__", [F64]),
    ([([1, 2], I64)], [([3, 4], F64)], "__add__", [F64]),
    ([([1.0, 2.0], F64)], [([3, 4], I64)], "__add__", [F64]),
    # neither of int64 and float32 casts safely to the other: self's type stays
    ([([1, 2], I64)], [([3.0, 4.0], F32)], "__add__", [I64]),
    ([([1.0, 2.0], F32)], [([3, 4], I64)], "__add__", [F32]),
    ([([1.0, 2.0], F32)], [([3.0, 4.0], F64)], "__mul__", [F64]),
    ([([True, False], B)], [([3, 4], I64)], "__mul__", [I64]),
    ([([1, 2], I32)], [([3, 4], I64)], "__sub__", [I64]),
    ([([1, 2], I64), ([1.5, 2.5], F64)], [([1, 1], I64), ([1, 1], I64)], "__sub__", [I64, F64]),
    # a one-feature operand is broadcast across the other's features
    ([([1, 2], I64)], [([1, 2], I64), ([0.5, 0.5], F64), ([True, False], B)], "__add__",
     [I64, F64, I64]),
    ([([1, 2], I64), ([0.5, 0.5], F64), ([True, False], B)], [([1.0, 2.0], F64)], "__mul__",
     [F64, F64, F64]),
    # zero divisors and comparisons against a one-type table, as pandas answers them
    ([([1.0, 0.0], F64)], [([0.0, 0.0], F64)], "__truediv__", [F64]),
    ([([1.0, -1.0], F64), ([0.0, 2.0], F64)], [([0, 0], I64), ([0, 3], I64)], "__floordiv__",
     [F64, F64]),
    ([([1.5, -1.0], F64), ([2, 3], I64)], [([0.0, 4.0], F64), ([1.0, 3.0], F64)], "__mod__",
     [F64, F64]),
    ([([1, 2], I64), ([0.5, 2.5], F64)], [([1, 3], I64), ([1, 2], I64)], "__lt__", [B, B]),
]


@pytest.mark.parametrize("selfColumns, otherColumns, opName, expectedTypes", OBJECT_CASES)
def test_object_result_types(selfColumns, otherColumns, opName, expectedTypes):
    left, right = obj(*selfColumns), obj(*otherColumns)
    leftBefore, rightBefore = left._data.copy(), right._data.copy()
    result = run(left, opName, right)
    assert dtypes(result) == expectedTypes
    with np.errstate(all="ignore"):
        expected = getattr(left._data.to_numpy(dtype=float), opName)(right._data.to_numpy(float))
    np.testing.assert_allclose(result._data.to_numpy(dtype=float), expected)
    pd.testing.assert_frame_equal(left._data, leftBefore)
    pd.testing.assert_frame_equal(right._data, rightBefore)


@pytest.mark.parametrize("opName", ["__eq__", "__ne__", "__lt__", "__le__", "__gt__", "__ge__"])
@pytest.mark.parametrize("right", [
    2,
    1.5,
    True,
    pytest.param(obj(([2, 2], I64), ([0.5, 4.0], F64)), id="DataFrame"),
    pytest.param(obj(([2.0, 2.0], F32), ([1, 0], I64)), id="DataFrame-narrow"),
])
def test_comparisons_give_boolean_features(opName, right):
    left = obj(([1, 2], I64), ([1.5, 3.0], F64))
    result = run(left, opName, right)
    assert dtypes(result) == [B, B]
    otherValues = right._data.to_numpy(float) if hasattr(right, "_data") else right
    expected = getattr(left._data.to_numpy(float), opName)(otherValues)
    assert result._data.values.tolist() == expected.tolist()


def test_comparison_of_booleans_with_integers_stays_boolean():
    left = obj(([True, False], B))
    result = run(left, "__eq__", obj(([1, 1], I64)))
    assert dtypes(result) == [B]
    assert result._data[0].tolist() == [True, False]


# No value is lost to the type list -----------------------------------------

@pytest.mark.parametrize("selfColumns, otherColumns, opName, expectedTypes, expectedValues", [
    # int64 against float32 lists int64, but 1 + 0.5 needs the float
    ([([1, 2], I64)], [([0.5, 2.0], F32)], "__add__", [F64], [[1.5], [4.0]]),
    # the same pair with values that fit: the listed type wins
    ([([1, 2], I64)], [([1.0, 2.0], F32)], "__add__", [I64], [[2], [4]]),
    # integer tables with a negative exponent: the generic path gives 0.5
    ([([2, 4], I64)], [([-1, 1], I64)], "__pow__", [F64], [[0.5], [4.0]]),
    # only the feature whose values do not fit keeps the computed type
    ([([2, 4], I64), ([3, 9], I64)], [([-1, 1], I64), ([2, 0], I64)], "__pow__",
     [F64, I64], [[0.5, 9], [4.0, 1]]),
    # uint8 against int64 is computed in int64
    ([([255, 2], U8), ([0.5, 1.0], F64)], [([2, 2], I64), ([1.0, 1.0], F64)], "__mul__",
     [I64, F64], [[510, 0.5], [4, 1.0]]),
])
def test_listed_type_never_truncates(selfColumns, otherColumns, opName, expectedTypes,
                                     expectedValues):
    result = run(obj(*selfColumns), opName, obj(*otherColumns))
    assert dtypes(result) == expectedTypes
    assert result._data.values.tolist() == expectedValues


def test_missing_values_keep_float_instead_of_failing_the_cast():
    # NaN cannot be an int64; the computed float feature is kept
    result = run(obj(([1, 2], I64)), "__add__", obj(([np.nan, 1.0], F32)))
    assert dtypes(result) == [F64]
    assert np.isnan(result._data.iat[0, 0]) and result._data.iat[1, 0] == 3.0


def test_large_integers_are_not_rounded_through_float():
    big = 2 ** 62 + 1
    result = run(obj(([big, 1], I64)), "__add__", obj(([0, 0], I64)))
    assert dtypes(result) == [I64]
    assert result._data[0].tolist() == [big, 1]


@pytest.mark.parametrize("opName", ["__sub__", "__rsub__"])
def test_an_operation_numpy_declines_on_a_whole_table_gives_the_generic_error(opName):
    # a scalar takes the generic route, whose refusal is the package's own
    with pytest.raises(InvalidArgumentType, match="cannot be applied to these values"):
        run(obj(([True, False], np.dtype(bool))), opName, True)


# Route table ---------------------------------------------------------------

class Recorded(DataFrame):
    """Records the dtype list each result receives."""
    received = []

    def _setDtypes(self, dtypes):
        Recorded.received.append(list(dtypes))
        return super()._setDtypes(dtypes)


class Spy(DataFrame):
    """Counts the fast path's array export and the generic implementation."""
    log = []
    failWith = None

    inGeneric = False

    def _asNumpyArray(self, numericRequired=False):
        if not Spy.inGeneric:
            Spy.log.append(("array", numericRequired))
            if Spy.failWith is not None:
                raise Spy.failWith
        return super()._asNumpyArray(numericRequired)

    def _defaultBinaryOperations_implementation(self, opName, other):
        Spy.log.append(("generic", opName))
        Spy.inGeneric = True
        try:
            result = super()._defaultBinaryOperations_implementation(opName, other)
        finally:
            Spy.inGeneric = False
        return Recorded(result._data)


@pytest.fixture
def spy():
    Spy.log, Spy.failWith, Recorded.received = [], None, []
    yield Spy(table(([1.0, 3.0], F64), ([2.0, 4.0], F64)))
    Spy.failWith = None


def other_of(kind):
    values = np.array([[1.0, 2.0], [3.0, 4.0]])
    if kind == "DataFrame":
        return DataFrame(pd.DataFrame(values))
    if kind == "DataFrameView":
        return DataFrame(pd.DataFrame(values)).view()
    if kind == "Sparse":
        import scipy.sparse
        return createDataNoValidation("Sparse", scipy.sparse.coo_matrix(values), None, None)
    if kind == "Matrix":
        return createDataNoValidation("Matrix", values, None, None)
    if kind == "List":
        return createDataNoValidation("List", values.tolist(), None, None)
    return 2.0


@pytest.mark.parametrize("kind, opName, route", [
    ("DataFrame", "__pow__", ["generic"]),
    ("DataFrame", "__rpow__", ["generic"]),
    ("DataFrameView", "__pow__", ["generic"]),
    ("DataFrame", "__add__", ["array"]),
    ("DataFrame", "__rsub__", ["array"]),
    ("DataFrameView", "__mul__", ["array"]),
    ("Sparse", "__radd__", ["generic"]),
    ("Sparse", "__rtruediv__", ["generic"]),
    # an array method cannot take a sparse matrix: generic in both directions
    ("Sparse", "__add__", ["generic"]),
    ("Sparse", "__mul__", ["generic"]),
    ("Matrix", "__sub__", ["array"]),
    ("Matrix", "__pow__", ["array"]),
    ("Matrix", "__radd__", ["array"]),
    ("List", "__mul__", ["array"]),
    # a table of one real type with a real scalar: numpy on the whole block, no export
    ("scalar", "__add__", []),
    ("scalar", "__pow__", ["generic"]),
])
def test_route_table(spy, kind, opName, route):
    other = other_of(kind)
    result = run(spy, opName, other)
    assert [step for step, _ in Spy.log] == route
    if "array" in route:
        assert Spy.log[0] == ("array", True)
    expected = getattr(np.array([[1.0, 2.0], [3.0, 4.0]]), opName)(
        other if kind == "scalar" else np.array([[1.0, 2.0], [3.0, 4.0]]))
    np.testing.assert_allclose(result._data.to_numpy(float), expected)
    # a List object reports object features, and object wins the comparison
    assert dtypes(result) == ([O, O] if kind == "List" else [F64, F64])


@pytest.mark.parametrize("opName", ["__add__", "__sub__", "__mul__", "__truediv__"])
def test_sparse_operand_gives_the_element_wise_result(spy, opName):
    values = np.array([[1.0, 2.0], [3.0, 4.0]])
    result = run(spy, opName, other_of("Sparse"))
    assert [step for step, _ in Spy.log] == ["generic"]
    np.testing.assert_allclose(result._data.to_numpy(float), getattr(values, opName)(values))
    assert dtypes(result) == [F64, F64]


@pytest.mark.parametrize("error", [
    AttributeError("no attribute"),
    InvalidArgumentType("declined"),
    ValueError("shape"),
    pd.errors.IntCastingNaNError("subclass of ValueError"),
    np.exceptions.AxisError(2) if hasattr(np, "exceptions") else np.AxisError(2),
])
def test_absorbed_errors_fall_back_to_generic(spy, error):
    Spy.failWith = error
    result = run(spy, "__add__", other_of("DataFrame"))
    assert [step for step, _ in Spy.log] == ["array", "generic"]
    assert result._data.values.tolist() == [[2.0, 4.0], [6.0, 8.0]]
    assert Recorded.received == [[F64, F64]]


@pytest.mark.parametrize("error", [
    TypeError("wrong type"),
    KeyError("missing"),
    RuntimeError("broken"),
    InvalidArgumentValue("bad value"),
    ZeroDivisionError("zero"),
])
def test_other_errors_propagate_from_fast_path(spy, error):
    Spy.failWith = error
    with pytest.raises(type(error)) as info:
        run(spy, "__add__", other_of("DataFrame"))
    assert info.value is error
    assert [step for step, _ in Spy.log] == ["array"]


def test_generic_result_gets_the_type_list(spy):
    run(spy, "__pow__", 4)  # a power with a scalar takes the generic route
    assert Recorded.received == [[F64, F64]]


def test_type_list_stops_at_the_shorter_operand():
    # neither side has one feature: the list is as long as the shorter one,
    # and the generic implementation reports the shape mismatch
    left = Spy(table(([1, 2], I64), ([1, 2], I64)))
    Spy.log, Recorded.received = [], []

    class Generic(Spy):
        def _defaultBinaryOperations_implementation(self, opName, other):
            return Recorded(pd.DataFrame([[0, 0]]))

    left = Generic(left._data)
    right = obj(([1, 2], F64), ([1, 2], F64), ([1, 2], F64))
    result = run(left, "__add__", right)
    assert Recorded.received == [[F64, F64]]
    assert dtypes(result) == [F64, F64]


def test_scalar_type_errors_come_before_any_computation(spy):
    class Untyped:
        pass

    # numpy makes an object dtype of an arbitrary class; the generic path
    # decides what the value means, and a scalar goes there straight away
    with pytest.raises(Exception):
        run(spy, "__add__", Untyped())
    assert Spy.log[0] == ("generic", "__add__")


# Scalars of unusual types --------------------------------------------------

def test_string_scalar_gives_object_features():
    left = obj((["a", "b"], O), ([1, 2], I64))
    Recorded.received = []

    class Generic(DataFrame):
        def _defaultBinaryOperations_implementation(self, opName, other):
            return Recorded(pd.DataFrame({0: ["ax", "bx"], 1: ["x", "xx"]}))

    result = run(Generic(left._data), "__add__", "x")
    assert Recorded.received == [[O, O]]
    assert dtypes(result) == [O, O]


@pytest.mark.parametrize("scalar", ["x", 1j, None, decimal.Decimal("1.5")])
def test_unusual_scalars_never_crash(scalar):
    left = obj(([1, 2], I64), ([0.5, 1.5], F64))
    before = left._data.copy()
    try:
        result = run(left, "__mul__", scalar)
    except (TypeError, ValueError, InvalidArgumentType, InvalidArgumentValue):
        pass
    else:
        assert dtypes(result) == [O, O]
    pd.testing.assert_frame_equal(left._data, before)


def test_decimal_scalar_multiplies_as_objects():
    result = run(obj(([1, 2], I64)), "__mul__", decimal.Decimal("1.5"))
    assert dtypes(result) == [O]
    assert result._data[0].tolist() == [decimal.Decimal("1.5"), decimal.Decimal("3.0")]


# Zero division -------------------------------------------------------------

def test_true_division_by_zero_scalar_gives_inf():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        result = run(obj(([1, 0, -1], I64)), "__truediv__", 0)
    assert dtypes(result) == [F64]
    values = result._data[0].tolist()
    assert values[0] == np.inf and np.isnan(values[1]) and values[2] == -np.inf


def test_integer_floor_division_by_zero_table_keeps_its_values():
    # the pandas table as divisor gives inf / nan; the int64 listed type
    # cannot hold them, so the computed float feature is kept
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        result = run(obj(([7, 0, 8], I64)), "__floordiv__", obj(([0, 0, 3], I64)))
    values = result._data[0].tolist()
    if dtypes(result) == [F64]:
        assert values[0] == np.inf and np.isnan(values[1]) and values[2] == 2.0
    else:
        assert dtypes(result) == [I64]
        assert values[2] == 2


def test_modulo_by_zero_float():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        result = run(obj(([1.5, 2.0], F64)), "__mod__", 0.0)
    assert dtypes(result) == [F64]
    assert np.isnan(result._data[0]).all()



def _zeros(rows, cols, zero, storage="DataFrame"):
    import kestro
    return kestro.data([[zero] * cols for _ in range(rows)], returnType=storage)


# every way a zero divisor reaches the hook: all of them answer as numbers do
ZERO_DIVISORS = {
    "scalar": lambda zero: zero,
    "object": lambda zero: _zeros(2, 3, zero),
    "one feature": lambda zero: _zeros(2, 1, zero),
    "one point": lambda zero: _zeros(1, 3, zero),
    "Matrix": lambda zero: _zeros(2, 3, zero, "Matrix"),
}


@pytest.mark.parametrize("route", list(ZERO_DIVISORS))
@pytest.mark.parametrize("zero", [0, False])
@pytest.mark.parametrize("dividend", [[[7, -7, 0], [1, 0, -1]],
                                      [[True, False, True], [False, False, True]]])
@pytest.mark.parametrize("opName", ["__floordiv__", "__mod__", "__truediv__"])
def test_division_by_zero_is_inf_or_nan_on_every_route(route, zero, dividend, opName):
    import kestro
    left = kestro.data(dividend)
    before = left.copy("pythonlist")
    result = getattr(left, opName)(ZERO_DIVISORS[route](zero))
    with np.errstate(all="ignore"):
        expected = getattr(np.array(dividend, dtype=float), opName)(0.0)
    assert dtypes(result) == [F64] * 3
    np.testing.assert_array_equal(result._data.to_numpy(), expected)
    assert left.copy("pythonlist") == before


def test_reflected_floor_division_by_zero_features():
    import kestro
    result = 0 // kestro.data([[7, 0]])
    assert dtypes(result) == [I64, F64]
    assert result._data.iat[0, 0] == 0 and np.isnan(result._data.iat[0, 1])


@pytest.mark.parametrize("opName", ["__truediv__", "__floordiv__", "__mod__"])
def test_boolean_division_gives_what_matrix_storage_gives_where_divisors_are_true(opName):
    import kestro
    values = [[True, False], [True, True]]
    result = getattr(kestro.data(values), opName)(kestro.data([[True, True], [True, True]]))
    matrix = getattr(kestro.data(values, returnType="Matrix"), opName)(
        kestro.data([[True, True], [True, True]], returnType="Matrix"))
    assert result.copy("pythonlist") == matrix.copy("pythonlist")


def test_boolean_true_division_matches_matrix_storage():
    import kestro
    values = [[True, False], [False, True]]
    result = kestro.data(values) / kestro.data(values)
    matrix = kestro.data(values, returnType="Matrix") / kestro.data(values, returnType="Matrix")
    assert dtypes(result) == [F64, F64]
    np.testing.assert_array_equal(result._data.to_numpy(), matrix._data)


# Integers next to float features ---------------------------------------------

BIG = 2 ** 53 + 1


@pytest.mark.parametrize("makeOther, opName, expected", [
    (lambda s: s, "__add__", 2 * BIG),
    (lambda s: 1, "__sub__", BIG - 1),
    (lambda s: s, "__floordiv__", 1),
    (lambda s: s, "__eq__", True),
    (lambda s: DataFrame(pd.DataFrame({"i": [1, 1], "f": [1.0, 1.0]})), "__mul__", BIG),
    # a one-point object repeated over the points
    (lambda s: DataFrame(pd.DataFrame({"i": [1], "f": [0.0]})), "__mul__", BIG),
    (lambda s: createDataNoValidation("Matrix", np.array([[2, 3]]), None, None), "__mul__",
     2 * BIG),
    (lambda s: 2, "__pow__", BIG ** 2 % 2 ** 64 - 2 ** 64 if BIG ** 2 % 2 ** 64 >= 2 ** 63
     else BIG ** 2 % 2 ** 64),
])
def test_integer_feature_next_to_float_feature_stays_exact(makeOther, opName, expected):
    import kestro
    s = kestro.data(pd.DataFrame({"i": [BIG, BIG], "f": [0.5, 1.5]}))
    result = getattr(s, opName)(makeOther(s))
    assert result._data.iat[1, 0] == expected
    assert result._data.iat[1, 0].dtype.kind in "ib"
    assert s._data[0].tolist() == [BIG, BIG]


def test_negative_integer_power_next_to_float_feature():
    import kestro
    s = kestro.data(pd.DataFrame({"i": [2, 4], "f": [0.5, 1.5]}))
    result = s ** -1
    assert dtypes(result) == [F64, F64]
    assert result._data.to_numpy().tolist() == [[0.5, 2.0], [0.25, 1 / 1.5]]


# The caller's handled-exception state -------------------------------------

_incref = ctypes.pythonapi.Py_IncRef
_incref.argtypes = [ctypes.py_object]
_incref.restype = None
_setExcInfo = ctypes.pythonapi.PyErr_SetExcInfo
_setExcInfo.argtypes = [ctypes.py_object] * 3
_setExcInfo.restype = None


def clobber_handled_exception():
    """Replace the thread's handled exception the way C code can: a plain
    Python callee cannot, so this is what the hook must undo."""
    exc = LookupError("clobbered")
    for item in (LookupError, exc, None):
        _incref(item)
    _setExcInfo(LookupError, exc, None)


class Clobbering(DataFrame):
    failArray = None    # raised once by the fast path's array export
    failGeneric = None  # raised by the generic implementation

    def _asNumpyArray(self, numericRequired=False):
        clobber_handled_exception()
        error, Clobbering.failArray = Clobbering.failArray, None
        if error is not None:
            raise error
        return super()._asNumpyArray(numericRequired)

    def _defaultBinaryOperations_implementation(self, opName, other):
        clobber_handled_exception()
        if Clobbering.failGeneric is not None:
            raise Clobbering.failGeneric
        return super()._defaultBinaryOperations_implementation(opName, other)


def test_clobbering_is_visible_without_a_guard():
    try:
        raise KeyError("outer")
    except KeyError as outer:
        clobber_handled_exception()
        assert sys.exc_info()[1] is not outer


@pytest.mark.parametrize("opName, other, failArray, failGeneric, raises", [
    ("__add__", "DataFrame", None, None, None),           # fast path succeeds
    ("__add__", "scalar", None, None, None),              # fast path fails, generic
    ("__pow__", "DataFrame", None, None, None),           # straight to generic
    ("__add__", "DataFrame", ValueError("x"), None, None),    # absorbed error
    ("__add__", "DataFrame", KeyError("x"), None, KeyError),  # fast path error propagates
    ("__pow__", "scalar", None, ValueError("x"), ValueError),  # generic error propagates
    ("__sub__", "scalar", None, ValueError("x"), None),  # one real type: no generic
])
def test_handled_exception_state_is_preserved(opName, other, failArray, failGeneric, raises):
    left = Clobbering(table(([1.0, 2.0], F64), ([3.0, 4.0], F64)))
    right = other_of(other)

    def call():
        Clobbering.failArray, Clobbering.failGeneric = failArray, failGeneric
        if raises is None:
            result = run(left, opName, right)
            assert result.shape == (2, 2)
        else:
            with pytest.raises(raises):
                run(left, opName, right)

    try:
        try:
            raise KeyError("outer")
        except KeyError as outer:
            call()
            assert sys.exc_info()[1] is outer
            assert sys.exc_info()[2] is outer.__traceback__
        call()
        assert sys.exc_info() == (None, None, None)
    finally:
        Clobbering.failArray = Clobbering.failGeneric = None


# Reference counts and memory ----------------------------------------------

# Binding -------------------------------------------------------------------

def test_arguments_bind_by_keyword():
    left = obj(([1, 2], I64))
    result = left._binaryOperations_implementation(other=2, opName="__mul__")
    assert result._data[0].tolist() == [2, 4]
    with pytest.raises(TypeError, match=r"takes exactly 3 positional arguments \(2 given\)"):
        left._binaryOperations_implementation("__mul__")


DATES = pd.to_datetime(["2020-01-01", "2021-06-30"])


@pytest.mark.parametrize("columns", [
    {0: [1, 2], 1: DATES}, {0: DATES}, {0: pd.to_timedelta([1, 2], unit="D")},
    {0: np.array([2**60 + 1, 3], dtype=object)}])
def test_dates_and_objects_compare_and_subtract_as_values(columns):
    """Dates never pass through numbers: equal dates compare equal and
    subtract to zero durations; integers held as objects stay exact."""
    left, right = DataFrame(pd.DataFrame(columns)), DataFrame(pd.DataFrame(columns))
    assert run(left, "__eq__", right)._data.to_numpy().all()
    assert not run(left, "__sub__", right)._data.to_numpy().any()
    if left._data.dtypes[0] == object:
        assert run(left, "__add__", right)._data.iat[0, 0] == 2**61 + 2


# Names through the public operators ------------------------------------------

STORAGES = ["DataFrame", "Matrix", "List", "Sparse"]


def named(storage, values, pointNames=None, featureNames=None):
    import kestro
    return kestro.data(values, pointNames=pointNames, featureNames=featureNames,
                       returnType=storage)


@pytest.mark.parametrize("storage", STORAGES)
@pytest.mark.parametrize("leftNames, rightNames, message", [
    ((None, ["a", "b"]), (None, ["b", "a"]), "feature names differ at position 0: 'a' against 'b'"),
    ((["p", "q"], None), (["q", "p"], None), "point names differ at position 0: 'p' against 'q'"),
    ((None, ["a", "b"]), (None, ["x", "y"]), "feature names differ at position 0: 'a' against 'x'"),
    ((None, ["a", None]), (None, [None, "a"]), "position 0: 'a' is at position 1 in the other"),
    ((None, [None, "b"]), (None, ["b", None]), "position 0: 'b' of the other operand is at "
                                               "position 1 here"),
])
def test_operands_named_differently_are_refused(storage, leftNames, rightNames, message):
    left = named(storage, [[1, 2], [3, 4]], *leftNames)
    right = named(storage, [[10, 20], [30, 40]], *rightNames)
    with pytest.raises(InvalidArgumentValue, match=message):
        left + right


@pytest.mark.parametrize("storage", STORAGES)
def test_names_of_both_operands_are_kept_where_they_agree(storage):
    left = named(storage, [[1, 2], [3, 4]], ["p", None], ["a", None])
    right = named(storage, [[10, 20], [30, 40]], None, [None, "b"])
    result = left * right
    assert result.points._getNamesNoGeneration() == ["p", None]
    assert result.features.getNames() == ["a", "b"]
    assert (right - left).features.getNames() == ["a", "b"]
    # a broadcast operand's single name is not the result's
    row = named(storage, [[1, 1]], ["only"], ["a", "b"])
    assert (left + row).points._getNamesNoGeneration() == ["p", None]


# None, the missing marker of object features ----------------------------------

@pytest.mark.parametrize("opName, other, expected", [
    ("__add__", "self", [["aa", 2.0], [None, 4.0]]),
    ("__mul__", 2, [["aa", 2.0], [None, 4.0]]),
    ("__eq__", "self", [[True, True], [False, True]]),
    ("__ne__", "self", [[False, False], [True, False]]),
    ("__lt__", "self", [[False, False], [False, False]]),
    ("__ge__", "self", [[True, True], [False, True]]),
])
def test_missing_text_stays_missing(opName, other, expected):
    left = DataFrame(pd.DataFrame({0: pd.Series(["a", None], dtype=object), 1: [1.0, 2.0]}))
    result = getattr(left, opName)(left if other == "self" else other)
    assert result._data.values.tolist() == expected
    assert list(result._data.dtypes) == ([O, F64] if expected[0][0] == "aa" else [B, B])
    result.checkInvariants(2)


# Unary operators ----------------------------------------------------------------

@pytest.mark.parametrize("storage", STORAGES)
def test_unary_operators_keep_names_and_follow_the_multiplication_types(storage):
    left = named(storage, [[1, -2], [-3, 4]], ["p", "q"], ["a", "b"])
    for result, expected in ((-left, [[-1, 2], [3, -4]]), (+left, [[1, -2], [-3, 4]]),
                             (abs(left), [[1, 2], [3, 4]]),
                             (np.negative(left), [[-1, 2], [3, -4]])):
        assert result.getTypeString() == storage
        assert result.copy("numpyarray").tolist() == expected
        assert result.features.getNames() == ["a", "b"] and result.points.getNames() == ["p", "q"]


def test_unary_operators_per_feature_type():
    left = DataFrame(table(([True, False], B), ([1, -2], np.int32), ([-0.0, 1.0], F32),
                           ([-1, None], O), ([255, 0], U8)))
    for result, expected in ((-left, [[-1, -1, 0.0, 1, -255], [0, 2, -1.0, None, 0]]),
                             (abs(left), [[1, 1, 0.0, 1, 255], [0, 2, 1.0, None, 0]])):
        assert dtypes(result) == [I64, I64, F32, O, I64]
        assert result._data.values.tolist() == expected
    assert np.signbit(abs(left)._data.iat[0, 2]) == False  # noqa: E712
    with pytest.raises(InvalidArgumentValue, match=r"- needs numeric data.*_DEFAULT_#0"):
        -DataFrame(table((["a", "b"], O), ([1, 2], I64)))
