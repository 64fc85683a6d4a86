"""Transposing the backing table."""
import numpy as np
import pandas as pd
import pytest



def test_values_move_to_the_mirrored_position(make):
    obj = make([[1, 2, 3], [4, 5, 6]])
    assert obj._transpose_implementation() is None
    assert obj._data.values.tolist() == [[1, 4], [2, 5], [3, 6]]
    assert isinstance(obj._data.index, pd.RangeIndex)
    assert isinstance(obj._data.columns, pd.RangeIndex)


@pytest.mark.parametrize("shape", [(0, 3), (3, 0), (0, 0)])
def test_empty_axes_swap(make, shape):
    obj = make(pd.DataFrame(np.empty(shape)))
    obj._transpose_implementation()
    assert obj._data.shape == shape[::-1]


@pytest.mark.parametrize("columns, expected", [
    ({0: [1, 2], 1: [3, 4]}, "int64"),
    ({0: [1.5, 2.5], 1: [3.5, 4.5]}, "float64"),
    ({0: [1, 2], 1: [3.5, 4.5]}, "float64"),
    ({0: [1, 2], 1: ["a", "b"]}, "object"),
    # a float common type would change the integer: the elements stay objects
    ({0: [2**53 + 1, 2], 1: [3.5, 4.5]}, "object"),
    ({0: [2**63 - 1, 2], 1: [3.5, 4.5]}, "object"),
])
def test_element_types_are_the_pandas_transpose(make, columns, expected):
    obj = make(pd.DataFrame(columns))
    obj._transpose_implementation()
    assert set(obj._data.dtypes) == {np.dtype(expected)}


def test_twice_restores_and_old_table_is_untouched(make, mixed_table):
    obj = make(mixed_table)
    before = obj._data
    obj._transpose_implementation()
    assert obj._data is not before
    pd.testing.assert_frame_equal(before, mixed_table)
    obj._transpose_implementation()
    assert obj._data.astype(object).equals(mixed_table.astype(object))


@pytest.mark.parametrize("big", [2**53 + 1, 2**63 - 1, -2**63])
def test_integers_next_to_floats_survive_twice(make, big):
    obj = make(pd.DataFrame({0: [big, 1], 1: [0.5, 1.5]}))
    obj._transpose_implementation()
    assert obj._data.iat[0, 0] == big and obj._data.iat[1, 1] == 1.5
    obj._transpose_implementation()
    assert obj._data.values.tolist() == [[big, 0.5], [1, 1.5]]


def test_object_features_keep_their_values_on_every_pandas_version(make):
    # no date inference: tz-aware Timestamps stay objects, None stays None next to NaT
    stamp = pd.Timestamp("2020-01-01", tz="UTC")
    obj = make(pd.DataFrame({0: pd.Series([stamp, pd.NaT], dtype=object),
                             1: pd.Series([None, pd.NaT], dtype=object)}))
    obj._transpose_implementation()
    assert list(obj._data.dtypes) == [np.dtype(object)] * 2
    assert obj._data.iat[0, 0] == stamp and obj._data.iat[1, 0] is None
    assert obj._data.iat[0, 1] is pd.NaT and obj._data.iat[1, 1] is pd.NaT
    obj.checkInvariants(2)
