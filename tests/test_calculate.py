"""Element-wise calculate into a new pandas table."""
import warnings

import numpy as np
import pandas as pd
import pytest



@pytest.fixture
def obj(make):
    return make(pd.DataFrame({0: [0, 1, 2], 1: [0.0, 1.5, -2.0], 2: ["a", "b", "c"]}))


def test_selected_points_in_given_order_relabelled(obj):
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no deprecation warning reaches the user
        ret = obj._calculate_implementation(lambda v: v * 2, [2, 0], None, False)
    assert isinstance(ret, pd.DataFrame)
    assert ret.values.tolist() == [[4, -4.0, "cc"], [0, 0.0, "aa"]]
    pd.testing.assert_index_equal(ret.index, pd.RangeIndex(2))
    pd.testing.assert_index_equal(ret.columns, pd.RangeIndex(3))
    assert list(ret.dtypes) == [np.int64, np.float64, object]


@pytest.mark.parametrize("preserveZeros", [True, False])
def test_every_element_passed_zeros_included(obj, preserveZeros):
    seen = []
    ret = obj._calculate_implementation(lambda v: seen.append(v) or 1, None, None, preserveZeros)
    assert sorted(map(str, seen)) == sorted(["0", "1", "2", "0.0", "1.5", "-2.0", "a", "b", "c"])
    assert ret.shape == (3, 3) and (ret.values == 1).all()


@pytest.mark.parametrize(
    "points, features, shape",
    [(None, [2, 1], (3, 2)), ([1], [0], (1, 1)), ([], None, (0, 3)), (None, [], (3, 0))])
def test_selection_shapes(obj, points, features, shape):
    ret = obj._calculate_implementation(str, points, features, False)
    assert ret.shape == shape
    pd.testing.assert_index_equal(ret.index, pd.RangeIndex(shape[0]))
    pd.testing.assert_index_equal(ret.columns, pd.RangeIndex(shape[1]))


def test_object_without_points(make):
    empty = make(pd.DataFrame(np.zeros((0, 4))))
    ret = empty._calculate_implementation(lambda v: 1 / 0, None, [1, 3], False)
    assert ret.shape == (0, 2)
    assert list(ret.index) == [] and list(ret.columns) == [0, 1]


def test_source_unchanged_and_result_independent(obj):
    before = obj._data.copy()
    ret = obj._calculate_implementation(lambda v: v, None, None, False)
    ret.iloc[0, 0] = 99
    pd.testing.assert_frame_equal(obj._data, before)


@pytest.mark.parametrize("points, features, error", [([5], None, IndexError),
                                                     (None, [3], IndexError)])
def test_pandas_errors_propagate(obj, points, features, error):
    with pytest.raises(error):
        obj._calculate_implementation(str, points, features, False)


def test_function_error_propagates(obj):
    class Stop(Exception):
        pass

    def fail(v):
        raise Stop("no")

    with pytest.raises(Stop, match="^no$"):
        obj._calculate_implementation(fail, None, None, False)


def test_public_calculate_keeps_selected_names():
    import kestro

    obj = kestro.data([[1, 2], [3, 4], [5, 6]], pointNames=["a", "b", "c"],
                      featureNames=["x", "y"])
    ret = obj.calculate(lambda v: v * 10, points=["c", "a"], features=["y"])
    assert ret.getTypeString() == "DataFrame"
    assert ret._data.values.tolist() == [[60], [20]]
    assert ret.points.getNames() == ["c", "a"] and ret.features.getNames() == ["y"]
    assert obj._data.values.tolist() == [[1, 2], [3, 4], [5, 6]]


@pytest.mark.parametrize("function, dtypes, values", [
    (lambda v: None if v == 1 else "x", [object, object],
     [[None, "x"], ["x", "x"]]),
    (lambda v: "x" if v == 1 else 2.5, [object, np.float64], [["x", 2.5], [2.5, 2.5]]),
], ids=["text with None", "text beside numbers"])
def test_text_results_are_object_features(obj, function, dtypes, values):
    ret = obj._calculate_implementation(function, [1, 0], [0, 1], False)
    assert list(ret.dtypes) == dtypes
    assert ret.values.tolist() == values


@pytest.mark.parametrize("bad, typeName", [(object(), "object"), ([1], "list"),
                                           (b"x", "bytes")])
def test_results_a_data_object_cannot_hold_are_refused(obj, bad, typeName):
    from kestro.exceptions import InvalidArgumentValue
    before = obj._data.copy()
    with pytest.raises(InvalidArgumentValue, match=(
            f"^the function returned a value of type '{typeName}' for point 2, feature 1, "
            "which a data object cannot hold$")):
        obj.calculate(lambda v: bad if v == -2.0 else v)
    pd.testing.assert_frame_equal(obj._data, before)


def test_na_results_are_the_missing_value_of_each_feature(make):
    obj = make(pd.DataFrame({0: [1.5, 2.0], 1: [1, 2], 2: np.array(["a", "b"], dtype=object),
                             3: pd.to_datetime(["2020", "2021"])}))
    ret = obj._calculate_implementation(lambda v: pd.NA if v in (2.0, 2, "b") else v, None, None,
                                        False)
    assert list(ret.dtypes)[:3] == [np.float64, np.float64, object]
    assert ret.iloc[:, :3].values.tolist()[0] == [1.5, 1.0, "a"]
    assert np.isnan(ret.iat[1, 0]) and np.isnan(ret.iat[1, 1]) and ret.iat[1, 2] is None
    assert ret.dtypes[3].kind == "M"


@pytest.mark.skipif(int(pd.__version__.split(".")[0]) < 2, reason="pandas 1.5 has nanoseconds only")
@pytest.mark.parametrize("unit", ["s", "ms", "us"])
def test_date_results_keep_their_unit(make, unit):
    dates = pd.Series(pd.to_datetime(["2020-01-01", "2020-06-01"])).astype(f"datetime64[{unit}]")
    obj = make(pd.DataFrame({0: dates, 1: dates}))
    late = pd.Timestamp("2500-01-01").as_unit(unit)
    ret = obj._calculate_implementation(lambda v: v if v.month == 1 else late, None, None, False)
    assert list(ret.dtypes) == [np.dtype(f"datetime64[{unit}]")] * 2
    assert ret[0].tolist() == [pd.Timestamp("2020-01-01"), late]


@pytest.mark.parametrize("unit, held", [("s", "s"), ("ms", "ms"), ("D", "s"), ("ns", "ns")])
def test_numpy_date_results_keep_their_unit(make, unit, held):
    obj = make(pd.DataFrame({0: [1, 3], 1: [2, 4]}))
    ret = obj._calculate_implementation(
        lambda v: np.datetime64("NaT", unit) if v == 4 else np.datetime64(f"2020-01-0{v}", unit),
        None, None, False)
    held = held if int(pd.__version__.split(".")[0]) >= 2 else "ns"
    assert list(ret.dtypes) == [np.dtype(f"datetime64[{held}]")] * 2
    assert ret[0].tolist() == [pd.Timestamp("2020-01-01"), pd.Timestamp("2020-01-03")]
    assert ret[1].isna().tolist() == [False, True]


def test_results_placed_by_element_whatever_pandas_calls(obj):
    """pandas maps a categorical once per category, in category order."""
    obj._data = pd.DataFrame({0: pd.Categorical(["b", "a"], categories=["a", "b"]),
                              1: pd.Categorical(["y", "x"], categories=["x", "y"])})
    ret = obj._calculate_implementation(lambda v: v + "!", None, None, False)
    assert ret.values.tolist() == [["b!", "y!"], ["a!", "x!"]]
    assert list(ret.dtypes) == [object, object]
