"""Overwriting a rectangle of points and features."""
import datetime
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from kestro.exceptions import InvalidArgumentValue

I64, F64, OBJ, BOOL = (np.dtype(t) for t in ("int64", "float64", "object", "bool"))


# pandas must not warn (fragmented frames, incompatible dtype writes)
pytestmark = pytest.mark.filterwarnings("error")


def ints(make):
    return make(np.arange(9).reshape(3, 3))


def test_float32_feature_keeps_its_type_for_fitting_integers(make):
    obj = make(np.ones((2, 2), dtype=np.float32))
    obj._replaceRectangle_implementation(7, 0, 0, 0, 1)
    assert list(obj._data.dtypes) == [np.dtype(np.float32)] * 2
    obj._replaceRectangle_implementation(2**40 + 1, 1, 0, 1, 0)
    assert list(obj._data.dtypes) == [np.dtype(np.float64), np.dtype(np.float32)]
    assert obj._data.iat[1, 0] == 2**40 + 1


@pytest.mark.parametrize("value, types, expected", [
    (7, [I64, I64, I64], [[0, 7, 7], [3, 7, 7], [6, 7, 8]]),
    (2.5, [I64, F64, F64], [[0, 2.5, 2.5], [3, 2.5, 2.5], [6, 7.0, 8.0]]),
    (True, [I64, I64, I64], [[0, 1, 1], [3, 1, 1], [6, 7, 8]]),
    # neither int64 nor float32 holds the other: the feature keeps its type
    # while the values fit it, and takes their common type rather than
    # truncating them
    (np.float32(2.0), [I64, I64, I64], [[0, 2, 2], [3, 2, 2], [6, 7, 8]]),
    (np.float32(0.5), [I64, F64, F64], [[0, 0.5, 0.5], [3, 0.5, 0.5], [6, 7, 8]]),
    (np.uint64(2**63), [I64, F64, F64], [[0, 2.0**63, 2.0**63], [3, 2.0**63, 2.0**63], [6, 7, 8]]),
    (1 + 2j, [I64, np.dtype(complex), np.dtype(complex)],
     [[0, 1 + 2j, 1 + 2j], [3, 1 + 2j, 1 + 2j], [6, 7, 8]]),
])
def test_numeric_scalar(make, value, types, expected):
    obj = ints(make)
    table = obj._data
    assert obj._replaceRectangle_implementation(value, 0, 1, 1, 2) is None
    assert obj._data is table  # changed in place
    assert list(obj._data.dtypes) == types
    assert obj._data.values.tolist() == expected


@pytest.mark.parametrize("value", ["x", None, datetime.date(2020, 1, 2),
                                   np.datetime64("2020-01-02"), np.str_("s")])
def test_non_numeric_scalar_fills_as_itself(make, value):
    obj = ints(make)
    obj._replaceRectangle_implementation(value, 1, 0, 2, 1)
    assert list(obj._data.dtypes) == [OBJ, OBJ, I64]
    block = obj._data.iloc[1:, :2].to_numpy().ravel()
    assert all(cell is value or cell == value for cell in block)
    assert obj._data.iloc[0].tolist() == [0, 1, 2]


def test_one_cell(make):
    obj = make(np.arange(9.0).reshape(3, 3))
    obj._replaceRectangle_implementation(-1.0, 2, 1, 2, 1)
    expected = np.arange(9.0).reshape(3, 3)
    expected[2, 1] = -1
    assert obj._data.to_numpy().tolist() == expected.tolist()


def test_large_integers_keep_every_digit(make):
    obj = make(np.zeros((2, 2), dtype=np.int64))
    obj._replaceRectangle_implementation(2**60 + 1, 0, 0, 1, 1)
    assert obj._data.to_numpy().tolist() == [[2**60 + 1] * 2] * 2


def test_data_object_replacement_widens_per_feature(make):
    obj = make(pd.DataFrame({0: [1, 2, 3], 1: [1.0, 2.0, 3.0], 2: [True, False, True]}))
    other = make(pd.DataFrame({0: [0.5, 1.5], 1: [7, 8]}))
    obj._replaceRectangle_implementation(other, 1, 0, 2, 1)
    assert list(obj._data.dtypes) == [F64, F64, BOOL]
    assert obj._data.values.tolist() == [[1.0, 1.0, True], [0.5, 7.0, False], [1.5, 8.0, True]]


def test_mixed_replacement_into_narrower_features(make):
    obj = make(pd.DataFrame({0: [1, 2], 1: [True, False], 2: ["a", "b"]}))
    other = make(pd.DataFrame({0: [9], 1: [3], 2: [4.5]}))
    obj._replaceRectangle_implementation(other, 0, 0, 0, 2)
    assert list(obj._data.dtypes) == [I64, I64, OBJ]
    assert obj._data.values.tolist() == [[9, 3, 4.5], [2, 0, "b"]]


@pytest.mark.parametrize("value, error", [
    (2**1100, OverflowError),
])
def test_failure_leaves_the_object_untouched(make, value, error):
    obj = ints(make)
    before = obj._data.copy()
    with pytest.raises(error):
        obj._replaceRectangle_implementation(value, 0, 0, 1, 1)
    pd.testing.assert_frame_equal(obj._data, before)


@pytest.mark.parametrize("bounds", [(0, 0, 3, 0), (0, 0, 0, 3), (2, 0, 1, 0), (-1, 0, 0, 0),
                                    # sizes computed from these would overflow
                                    (0, 0, 2**63 - 1, 0), (0, 0, 0, 2**63 - 1),
                                    (-2**63, 0, 1, 0), (0, -2**63, 0, 1),
                                    (0, 0, 2**64, 0), (-2**63, -2**63, 2**63 - 1, 2**63 - 1)])
def test_rectangle_outside_the_data(make, bounds):
    obj = ints(make)
    before = obj._data.copy()
    with pytest.raises(InvalidArgumentValue, match="outside the data"):
        obj._replaceRectangle_implementation(1, *bounds)
    pd.testing.assert_frame_equal(obj._data, before)


@pytest.mark.parametrize("odd", [[[1, 2]], np.ones((3, 3)), np.ones(4), "text"])
def test_replacement_whose_array_has_the_wrong_shape(make, DataFrame, odd):
    class Odd(DataFrame):
        def _asNumpyArray(self, numericRequired=False):
            return odd

    obj = ints(make)
    before = obj._data.copy()
    with pytest.raises(InvalidArgumentValue, match="shape of the rectangle"):
        obj._replaceRectangle_implementation(Odd(np.ones((2, 2))), 0, 0, 1, 1)
    pd.testing.assert_frame_equal(obj._data, before)


def reference(table, value, ps, fs, pe, fe):
    """The plain route: multiply into a float block, write it, re-type."""
    dtypes = table.dtypes.copy()
    for i in range(fs, fe + 1):
        rdt = np.dtype(type(value))
        if rdt > dtypes.iloc[i]:
            dtypes.iloc[i] = rdt
    # each touched column takes its widened type before the write, so that
    # it holds the written values on every pandas version
    for (label, column), dtype in zip(list(table.items()), dtypes):
        if column.dtype != dtype:
            table[label] = column.astype(dtype)
    block = value * np.ones((pe - ps + 1, fe - fs + 1))
    for k, j in enumerate(range(fs, fe + 1)):
        table.iloc[ps:pe + 1, j] = block[:, k].astype(table.dtypes.iloc[j])
    return table


column_kinds = st.sampled_from(["int64", "float64", "bool"])
values = st.one_of(st.integers(-2**40, 2**40), st.floats(-1e6, 1e6), st.booleans())


@settings(max_examples=60, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(kinds=st.lists(column_kinds, min_size=1, max_size=4), rows=st.integers(1, 4),
       value=values, data=st.data())
def test_matches_the_plain_route(make, kinds, rows, value, data):
    table = pd.DataFrame({j: np.arange(rows).astype(kind) for j, kind in enumerate(kinds)})
    ps = data.draw(st.integers(0, rows - 1))
    pe = data.draw(st.integers(ps, rows - 1))
    fs = data.draw(st.integers(0, len(kinds) - 1))
    fe = data.draw(st.integers(fs, len(kinds) - 1))
    obj = make(table)
    obj._replaceRectangle_implementation(value, ps, fs, pe, fe)
    pd.testing.assert_frame_equal(obj._data, reference(table.copy(), value, ps, fs, pe, fe))


@pytest.mark.parametrize("replaceWith, expected", [
    (7, [I64, I64, I64]),
    (2.5, [I64, F64, F64]),
])
def test_setDtypes_gets_the_updated_dtype_series(make, DataFrame, monkeypatch, replaceWith,
                                                 expected):
    calls = []
    original = DataFrame._setDtypes

    def recording(self, dtypes):
        calls.append(dtypes)
        return original(self, dtypes)

    monkeypatch.setattr(DataFrame, "_setDtypes", recording)
    obj = ints(make)
    obj._replaceRectangle_implementation(replaceWith, 0, 1, 1, 2)
    assert len(calls) == 1
    assert isinstance(calls[0], pd.Series)
    assert calls[0].tolist() == expected
    assert list(obj._data.dtypes) == expected


@pytest.mark.parametrize("column, value, expectedType, expectedValue", [
    (np.zeros(2), 2**63, F64, 9.223372036854775808e18),
    (np.zeros(2), 2**70, F64, 2.0**70),
    (np.zeros(2, dtype=np.int64), 2**63, F64, 9.223372036854775808e18),
    (np.zeros(2, dtype=np.int64), -2**63 - 1, F64, -9.223372036854775808e18),
    (np.zeros(2, dtype=np.uint64), 2**63, np.dtype(np.uint64), 2**63),
    (np.zeros(2, dtype=object), 2**70, OBJ, 2.0**70),
])
def test_integers_beyond_int64_are_not_wrapped(make, column, value, expectedType, expectedValue):
    obj = make(pd.DataFrame({0: column, 1: column}))
    obj._replaceRectangle_implementation(value, 0, 0, 0, 0)
    assert obj._data.dtypes[0] == expectedType
    assert obj._data.iat[0, 0] == expectedValue
    assert obj._data.iat[1, 0] == 0
    assert obj._data.dtypes[1] == column.dtype
