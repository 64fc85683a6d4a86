"""Replacing a one-feature object by one binary feature per value."""
import numpy as np
import pandas as pd
import pytest

from kestro.exceptions import InvalidArgumentValue


@pytest.mark.parametrize("column, uniqueIdx, expected", [
    (["a", "b", "a"], {"a": 0, "b": 1}, [[1, 0], [0, 1], [1, 0]]),
    (["a", "b", "a"], {"b": 0, "a": 1}, [[0, 1], [1, 0], [0, 1]]),
    ([1.0, np.nan, 2.0, np.nan], {1.0: 0, np.nan: 1, 2.0: 2},
     [[1, 0, 0], [0, 1, 0], [0, 0, 1], [0, 1, 0]]),
    ([3, 1, 3], {1: 0, 3.0: 1}, [[0, 1], [1, 0], [0, 1]]),  # 3 == 3.0, as in a dict
    ([True, False], {False: 0, True: 1}, [[0, 1], [1, 0]]),
    # a missing date belongs to the missing value's feature
    (pd.to_datetime(["2020-01-01", None]), {pd.Timestamp("2020-01-01"): 0, np.nan: 1},
     [[1, 0], [0, 1]]),
    (pd.Series(["a", None, np.nan], dtype=object), {"a": 0, None: 1, np.nan: 2},
     [[1, 0, 0], [0, 1, 0], [0, 0, 1]]),
])
def test_one_float_feature_per_value(make, column, uniqueIdx, expected):
    obj = make(pd.DataFrame({0: column}))
    assert obj._replaceFeatureWithBinaryFeatures_implementation(uniqueIdx) is None
    assert obj._data.values.tolist() == expected
    assert set(obj._data.dtypes) == {np.dtype("float64")}
    assert isinstance(obj._data.columns, pd.RangeIndex)


def test_no_points(make):
    obj = make(pd.DataFrame({0: np.array([], dtype=object)}))
    obj._replaceFeatureWithBinaryFeatures_implementation({"a": 0})
    assert obj._data.shape == (0, 1)


@pytest.mark.parametrize("table, uniqueIdx, message", [
    (pd.DataFrame({0: ["a", "b"]}), {"a": 0}, "does not map"),
    (pd.DataFrame({0: ["a", "b"]}), {"a": 0, "b": 2}, "positions 0 to"),
    (pd.DataFrame({0: ["a", "b"]}), {"a": 1, "b": 1}, "positions 0 to"),
    (pd.DataFrame({0: ["a"], 1: ["b"]}), {"a": 0}, "exactly one feature"),
])
def test_refusals_leave_the_object_untouched(make, table, uniqueIdx, message):
    obj = make(table)
    before = obj._data
    with pytest.raises(InvalidArgumentValue, match=message):
        obj._replaceFeatureWithBinaryFeatures_implementation(uniqueIdx)
    assert obj._data is before


DATES = ["2020-01-01 00:00:00", "2021-06-30 12:30:00"]


@pytest.mark.parametrize("unit", ["ns", "us", "s"])
@pytest.mark.parametrize("withMissing", [False, True])
def test_dates_give_the_same_features_on_every_storage(unit, withMissing):
    import kestro
    dates = pd.to_datetime(DATES + ([None] if withMissing else [])).astype(f"datetime64[{unit}]")
    expectedNames = [f"d={date}" for date in DATES] + (["d=nan"] if withMissing else [])
    results = []
    for storage in ["DataFrame", "Matrix", "List"]:
        obj = kestro.data(pd.DataFrame({"d": dates, "n": range(len(dates))}), returnType=storage)
        assert obj.replaceFeatureWithBinaryFeatures("d") == expectedNames
        assert obj.features.getNames() == expectedNames + ["n"]
        results.append(np.asarray(obj.copy("numpyarray"), dtype=float))
    np.testing.assert_array_equal(results[0], results[1])
    np.testing.assert_array_equal(results[0][:, :-1], np.eye(len(expectedNames)))


def test_values_named_alike_are_refused_before_any_change():
    import kestro
    obj = kestro.data(pd.DataFrame({"v": pd.Series([1, "1"], dtype=object), "n": [1, 2]}))
    with pytest.raises(InvalidArgumentValue, match=r"same new feature names \['v=1'\]"):
        obj.replaceFeatureWithBinaryFeatures("v")
    assert obj.features.getNames() == ["v", "n"]
