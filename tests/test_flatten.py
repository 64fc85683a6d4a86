"""Flattening into one point and restoring the table, with element types."""
import warnings

import numpy as np
import pandas as pd
import pytest

from kestro.exceptions import InvalidArgumentValue

I64, F64, OBJ = np.dtype("int64"), np.dtype("float64"), np.dtype("object")


# pandas must not warn (fragmented frames, incompatible dtype writes)
pytestmark = pytest.mark.filterwarnings("error")


def abc(make):
    return make(pd.DataFrame({0: [1, 4], 1: [2, 5], 2: [3.0, 6.0]}))


def mixed(rows, cols):
    """A table cycling through int64, float64, object, bool, int32 and datetime features."""
    makers = [
        lambda n: np.arange(n, dtype=np.int64),
        lambda n: np.arange(n) * 0.5,
        lambda n: pd.Series([f"s{i}" for i in range(n)], dtype=object),
        lambda n: np.arange(n) % 2 == 0,
        lambda n: np.arange(n, dtype=np.int32),
        lambda n: np.datetime64("2020-01-01") + np.arange(n).astype("timedelta64[D]"),
    ]
    return pd.DataFrame({j: makers[j % len(makers)](rows) for j in range(cols)})


def unflattenTo(obj, shape, order):
    obj._unflatten_implementation(shape, order)


@pytest.mark.parametrize("order, values, types", [
    ("point", [1, 2, 3.0, 4, 5, 6.0], [I64, I64, F64, I64, I64, F64]),
    ("feature", [1, 4, 2, 5, 3.0, 6.0], [I64, I64, I64, I64, F64, F64]),
])
def test_flatten_orders(make, order, values, types):
    obj = abc(make)
    assert obj._flatten_implementation(order) is None
    assert obj._data.values.tolist() == [values]
    assert list(obj._data.dtypes) == types
    assert isinstance(obj._data.columns, pd.RangeIndex)


@pytest.mark.parametrize("order", ["point", "feature"])
@pytest.mark.parametrize("table", [
    pd.DataFrame({0: [1, 4], 1: [2, 5], 2: [3.0, 6.0]}),
    mixed(3, 7),
    mixed(1, 6),
    mixed(5, 1),
    pd.DataFrame({0: [1.5]}),
])
def test_round_trip(make, order, table):
    obj = make(table)
    old = obj._data
    obj._flatten_implementation(order)
    assert obj._data.shape == (1, table.size)
    obj._unflatten_implementation(table.shape, order)
    pd.testing.assert_frame_equal(obj._data, table, check_exact=True)
    assert old is not obj._data
    assert isinstance(obj._data.index, pd.RangeIndex)


def test_feature_order_gathers_consecutive_positions(make):
    obj = abc(make)
    obj._flatten_implementation("feature")  # int, int, int, int, float, float
    obj._unflatten_implementation((3, 2), "feature")
    assert list(obj._data.dtypes) == [I64, F64]
    assert obj._data.values.tolist() == [[1, 5], [4, 3], [2, 6]]


def test_point_order_restored_feature_takes_the_largest_type(make):
    obj = make(pd.DataFrame({0: [1], 1: [2.5], 2: ["x"], 3: [4]}))
    obj._unflatten_implementation((2, 2), "point")
    assert list(obj._data.dtypes) == [OBJ, F64]
    assert obj._data.values.tolist() == [[1, 2.5], ["x", 4.0]]


def test_incomparable_types_keep_the_first(make):
    obj = make(pd.DataFrame({0: np.array([1], dtype=np.int64), 1: np.array([2], dtype=np.uint64)}))
    obj._unflatten_implementation((2, 1), "point")
    assert list(obj._data.dtypes) == [I64]


@pytest.mark.parametrize("order", ["point", "feature"])
def test_single_feature_unflattens_to_its_type(make, order):
    obj = make(pd.DataFrame({0: np.arange(6)}))
    obj._unflatten_implementation((2, 3), order)
    assert list(obj._data.dtypes) == [I64] * 3
    expected = np.arange(6).reshape((2, 3), order="C" if order == "point" else "F")
    assert obj._data.values.tolist() == expected.tolist()


def test_one_by_one_flattens_to_itself(make):
    obj = make([[7]])
    obj._flatten_implementation("point")
    pd.testing.assert_frame_equal(obj._data, pd.DataFrame([[7]]))


@pytest.mark.parametrize("shape, order, error", [
    ((4, 2), "point", ValueError),       # six elements do not fill 4 x 2
    ((3, 3), "feature", ValueError),
    ((0, 3), "feature", ValueError),
    ((2**62, 4), "point", InvalidArgumentValue),     # the product overflows
    ((4, 2**62), "feature", InvalidArgumentValue),
    ((2**70, 1), "point", InvalidArgumentValue),
    ((2**31, 2**31), "feature", ValueError),         # fits, but is not six elements
])
def test_bad_shapes_leave_the_object_untouched(make, shape, order, error):
    obj = abc(make)
    obj._flatten_implementation("point")
    before = obj._data
    with pytest.raises(error):
        obj._unflatten_implementation(shape, order)
    assert obj._data is before


def stepByStep(obj, values, types):
    """The plain route: a table from the array, then each feature re-typed."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        obj._data = pd.DataFrame(values)
        obj._setDtypes(types)
    return obj._data


@pytest.mark.parametrize("order", ["point", "feature"])
def test_wide_result_equals_the_plain_route(make, order):
    table = mixed(40, 25)
    npOrder = "C" if order == "point" else "F"
    obj = make(table)
    obj._flatten_implementation(order)
    types = np.tile(table.dtypes, 40) if order == "point" else np.repeat(table.dtypes, 40)
    plain = stepByStep(make(table), table.astype(object).to_numpy().reshape(
        (1, 1000), order=npOrder), tuple(types))
    pd.testing.assert_frame_equal(obj._data, plain, check_exact=True)
    assert isinstance(obj._data.columns, pd.RangeIndex)

    flat = obj._data
    obj._unflatten_implementation((40, 25), order)
    plain = stepByStep(make(flat), flat.astype(object).to_numpy().reshape(
        (40, 25), order=npOrder), tuple(table.dtypes))
    pd.testing.assert_frame_equal(obj._data, plain, check_exact=True)
    pd.testing.assert_frame_equal(obj._data, table, check_exact=True)


def recordSetDtypes(monkeypatch, DataFrame):
    """Record each _setDtypes call: its argument and the types the table held then."""
    calls = []
    original = DataFrame._setDtypes

    def recording(self, dtypes):
        calls.append((dtypes, list(self._data.dtypes)))
        return original(self, dtypes)

    monkeypatch.setattr(DataFrame, "_setDtypes", recording)
    return calls


@pytest.mark.parametrize("reshapeTo, expected", [
    (lambda obj: obj._flatten_implementation("point"), (I64, OBJ, I64, OBJ)),
    (lambda obj: obj._flatten_implementation("feature"), (I64, I64, OBJ, OBJ)),
    (lambda obj: obj._unflatten_implementation((4, 1), "point"), (OBJ,)),
    (lambda obj: obj._unflatten_implementation((2, 2), "point"), (I64, OBJ)),
])
def test_new_types_go_through_setDtypes(make, DataFrame, monkeypatch, reshapeTo, expected):
    calls = recordSetDtypes(monkeypatch, DataFrame)
    obj = make(pd.DataFrame({0: [1, 2], 1: np.array(["x", "y"], dtype=object)}))
    reshapeTo(obj)
    # one call, with a tuple of the new types, made on the untyped table
    assert len(calls) == 1
    dtypes, typesBefore = calls[0]
    assert isinstance(dtypes, tuple) and dtypes == expected
    assert typesBefore == [OBJ] * len(expected)
    assert list(obj._data.dtypes) == list(expected)


@pytest.mark.parametrize("shape, reshapeTo, newShape", [
    ((2, 2), lambda obj: obj._flatten_implementation("point"), (1, 4)),
    ((1, 4), lambda obj: obj._unflatten_implementation((2, 2), "feature"), (2, 2)),
])
def test_failing_cast_leaves_the_new_shape_with_the_array_type(make, shape, reshapeTo, newShape):
    obj = make(np.arange(4).reshape(shape))
    letters = np.array(list("abcd"), dtype=object).reshape(shape)
    obj._asNumpyArray = lambda: letters
    with pytest.raises(ValueError):
        reshapeTo(obj)
    assert obj._data.shape == newShape
    assert list(obj._data.dtypes) == [OBJ] * newShape[1]


def test_unflatten_negative_size_is_left_to_numpy(make):
    obj = make(pd.DataFrame([[1, 2.5, 3]]))
    obj._unflatten_implementation((-1, 3), "point")
    assert obj._data.values.tolist() == [[1, 2.5, 3]]
    assert list(obj._data.dtypes) == [I64, F64, I64]


@pytest.mark.parametrize("values", [[[2**63 - 1, 0.5], [-2**63, 1.5]],
                                    [[2**53 + 1, 0.5], [2**53 + 3, 1.5]]])
@pytest.mark.parametrize("order", ["point", "feature"])
def test_integers_next_to_floats_stay_exact(make, values, order):
    table = pd.DataFrame({0: [values[0][0], values[1][0]], 1: [values[0][1], values[1][1]]})
    obj = make(table)
    obj.flatten(order)
    flat = [obj._data.iat[0, j] for j in range(4)]
    integers = [int(v) for v, t in zip(flat, obj._data.dtypes) if t == I64]
    assert sorted(integers) == sorted(table[0].tolist())
    obj.unflatten([2, 2], order)
    assert list(obj._data.dtypes) == [I64, F64]
    assert obj._data[0].tolist() == table[0].tolist()


@pytest.mark.parametrize("table, shape", [
    (np.ones((2, 2)), [2**62, 4]),         # the element count overflows
    (np.empty((0, 0)), [2**40, 0]),        # would loop over 2**40 points
    (np.ones((2, 2)), [2, 3]),
])
def test_flatten_refuses_a_recorded_shape_the_table_does_not_have(DataFrame, table, shape):
    obj = DataFrame(table, shape=shape)
    before = obj._data
    with pytest.raises(InvalidArgumentValue, match="recorded shape"):
        obj._flatten_implementation("point")
    assert obj._data is before
