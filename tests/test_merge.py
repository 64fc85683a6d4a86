"""Merging two objects: points by name or key feature, four keep modes per axis."""
import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings, strategies as st

from kestro.core.data._dataHelpers import createDataNoValidation
from kestro.exceptions import InvalidArgumentValue

nan = np.nan


@pytest.fixture
def pair(make):
    """Points a, b, c against d, b; feature 1 is shared (this 1 = other 1)."""
    def build():
        left = make(pd.DataFrame({0: [1, 2, 3], 1: [10.0, 20.0, 30.0]}), pointNames=["a", "b", "c"])
        right = make(pd.DataFrame({0: [5, 6], 1: [40.0, 20.0]}), pointNames=["d", "b"])
        return left, right
    return build


# Hand-computed: rows are points, columns features of the result.
@pytest.mark.parametrize("point, feature, expected", [
    ("left", "left", [[1, 10.0], [2, 20.0], [3, 30.0]]),
    ("left", "union", [[1, 10.0, nan], [2, 20.0, 6.0], [3, 30.0, nan]]),
    ("left", "intersection", [[10.0], [20.0], [30.0]]),
    ("union", "left", [[1, 10.0], [2, 20.0], [3, 30.0], [nan, 40.0]]),
    ("union", "union", [[1, 10.0, nan], [2, 20.0, 6], [3, 30.0, nan], [nan, 40.0, 5]]),
    ("union", "intersection", [[10.0], [20.0], [30.0], [40.0]]),
    ("intersection", "left", [[2, 20.0]]),
    ("intersection", "union", [[2, 20.0, 6]]),
    ("intersection", "intersection", [[20.0]]),
])
def test_modes_by_point_name(pair, point, feature, expected):
    left, right = pair()
    assert left._merge_implementation(right, point, feature, None, [[1], [1]]) is None
    np.testing.assert_array_equal(left._data.to_numpy(dtype=float), np.array(expected, dtype=float))
    assert isinstance(left._data.index, pd.RangeIndex)
    assert isinstance(left._data.columns, pd.RangeIndex)


def test_types_survive_where_nothing_is_missing(pair):
    left, right = pair()
    left._merge_implementation(right, "intersection", "union", None, [[1], [1]])
    assert list(left._data.dtypes) == [np.dtype("int64"), np.dtype("float64"), np.dtype("int64")]


def test_key_feature_with_other_point_order(make):
    left = make(pd.DataFrame({0: ["k1", "k2"], 1: [1, 2]}))
    right = make(pd.DataFrame({0: [7.5, 8.5, 9.5], 1: ["k2", "k3", "k1"]}))
    left._merge_implementation(right, "union", "union", 0, [[0], [1]])
    assert left._data.astype(object).where(left._data.notna(), None).values.tolist() == [
        ["k1", 1.0, 9.5], ["k2", 2.0, 7.5], ["k3", None, 8.5]]


def test_strict_points_align_by_name(make):
    left = make(pd.DataFrame({0: [1, 2]}), pointNames=["a", "b"])
    right = make(pd.DataFrame({0: ["x", "y"]}), pointNames=["b", "a"])
    left._merge_implementation(right, "strict", "union", None, [[], []])
    assert left._data.values.tolist() == [[1, "y"], [2, "x"]]


def test_missing_values_agree_with_missing_values(make):
    left = make(pd.DataFrame({0: [nan, 1.0]}), pointNames=["a", "b"])
    right = make(pd.DataFrame({0: [nan, 1.0]}), pointNames=["a", "b"])
    left._merge_implementation(right, "strict", "strict", None, [[0], [0]])
    np.testing.assert_array_equal(left._data.to_numpy(), [[nan], [1.0]])


@pytest.mark.parametrize("point, feature, matching, message", [
    ("union", "union", [[1], [1]], "different values for the same"),
    ("strict", "union", [[1], [1]], "point='strict'"),
    ("left", "strict", [[1], [1]], "feature='strict'"),
    ("left", "left", [[1, 0], [1]], "exactly one other"),
    ("left", "left", [[1, 1], [0, 1]], "exactly one other"),
    ("left", "left", [[5], [1]], "outside the data"),
    ("left", "left", [[1]], "two sequences"),
    ("every", "left", [[1], [1]], "point must be one of"),
    ("left", "all", [[1], [1]], "feature must be one of"),
])
def test_refusals_leave_the_object_untouched(make, point, feature, matching, message):
    left = make(pd.DataFrame({0: [1, 2, 3], 1: [10.0, 21.0, 30.0]}), pointNames=["a", "b", "c"])
    right = make(pd.DataFrame({0: [5, 6], 1: [40.0, 20.0]}), pointNames=["d", "b"])
    before = left._data
    with pytest.raises(InvalidArgumentValue, match=message):
        left._merge_implementation(right, point, feature, None, matching)
    assert left._data is before


def test_clash_message_names_the_first_point_and_feature(pair):
    left, right = pair()
    right._data.iat[1, 1] = 99.0
    left.features.setNames(["x", "y"])
    with pytest.raises(InvalidArgumentValue) as info:
        left._merge_implementation(right, "left", "left", None, [[1], [1]])
    assert str(info.value) == (
        "The objects contain different values for the same point and feature: "
        "point 'b', feature 'y' holds 20.0 here and 99.0 in the other object")


@pytest.mark.parametrize("onFeature, message", [(1, "onFeature"), (None, "point names"),
                                                ("nope", "not the name")])
def test_key_refusals(make, onFeature, message):
    left = make(pd.DataFrame({0: [1], 1: [2]}), featureNames=["a", "b"])
    right = make(pd.DataFrame({0: [1], 1: [2]}), pointNames=["p"])
    with pytest.raises(InvalidArgumentValue, match=message):
        left._merge_implementation(right, "left", "left", onFeature, [[0], [0]])


def test_missing_values_are_filled_from_the_other_side(make):
    left = make(pd.DataFrame({0: [nan, 2.0], 1: [1, 2]}), pointNames=["a", "b"])
    right = make(pd.DataFrame({0: [5.0, nan]}), pointNames=["a", "b"])
    left._merge_implementation(right, "strict", "union", None, [[0], [0]])
    np.testing.assert_array_equal(left._data.to_numpy(dtype=float), [[5.0, 1], [2.0, 2]])


def test_missing_keys_match_nothing(make):
    left = make(pd.DataFrame({0: [nan, 1.0], 1: ["x", "y"]}), featureNames=["k", "v"])
    right = make(pd.DataFrame({0: [nan, 1.0], 1: [7, 8]}), featureNames=["k", "w"])
    left._merge_implementation(right, "union", "union", "k", [[0], [0]])
    assert left._data.shape == (3, 3)
    assert left._data.iloc[:, 1].tolist()[:2] == ["x", "y"]
    np.testing.assert_array_equal(left._data.iloc[:, 2].to_numpy(dtype=float), [nan, 8, 7])


def test_unnamed_points_match_by_position(make):
    left = make(pd.DataFrame({0: [1, 2]}))
    right = make(pd.DataFrame({0: [3, 4]}))
    left._merge_implementation(right, "strict", "union", None, [[], []])
    assert left._data.values.tolist() == [[1, 3], [2, 4]]


BIG = 2**53 + 1


@pytest.mark.parametrize("point, feature, expectedTypes", [
    # the other's point d fills every gap of features x and y
    ("union", "strict", ["int64", "int64"]),
    ("union", "union", ["int64", "int64", "object"]),  # z misses a value
    ("left", "union", ["int64", "int64", "object"]),
])
def test_merged_features_without_gaps_keep_their_type(point, feature, expectedTypes):
    import kestro
    left = kestro.data([[1, BIG], [2, 3]], pointNames=["a", "b"], featureNames=["x", "y"])
    rightValues = [[4, BIG + 2, True], [2, 3, False]] if feature == "union" else \
        [[4, BIG + 2], [2, 3]]
    rightNames = ["x", "y", "z"] if feature == "union" else ["x", "y"]
    right = kestro.data(rightValues, pointNames=["d", "b"], featureNames=rightNames)
    left.merge(right, point=point, feature=feature)
    assert [str(t) for t in left._data.dtypes] == expectedTypes
    assert left._data.iat[0, 1] == BIG
    if point == "union":
        assert left._data.iat[2, 1] == BIG + 2


def test_integer_feature_with_gaps_becomes_float_as_before(pair):
    left, right = pair()
    left._merge_implementation(right, "union", "union", None, [[1], [1]])
    assert list(left._data.dtypes) == [np.dtype("float64")] * 3


def keyed(kind, keys, valueName):
    rows = np.array([[k, float(10 * i)] for i, k in enumerate(keys)], dtype=float).reshape(-1, 2)
    return createDataNoValidation(kind, rows, None, ["k", valueName])


@settings(max_examples=60, deadline=None)
@given(st.lists(st.sampled_from([1.0, 2.0, 3.0, nan]), min_size=1, max_size=6),
       st.lists(st.sampled_from([1.0, 2.0, 4.0, nan]), min_size=1, max_size=6),
       st.sampled_from(["left", "union", "intersection"]))
def test_points_come_in_the_order_of_the_shared_alignment(leftKeys, rightKeys, rule):
    # duplicate keys match every partner, missing keys match nothing; the
    # array storages and this one take their points from the same alignment
    results = []
    for kind in ("DataFrame", "Matrix"):
        left, right = keyed(kind, leftKeys, "v"), keyed(kind, rightKeys, "w")
        left.merge(right, point=rule, feature="union", onFeature="k")
        results.append(np.asarray(left.copy("numpyarray"), dtype=float))
    np.testing.assert_array_equal(results[0], results[1])
    leftPos, rightPos = createDataNoValidation("DataFrame", np.zeros((1, 1)), None, None) \
        ._mergedPointPositions(leftKeys, rightKeys, rule)
    assert len(results[0]) == len(leftPos)
