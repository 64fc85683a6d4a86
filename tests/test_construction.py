"""Construction and storage of DataFrame data objects."""
import numpy as np
import pandas as pd
import pytest

import kestro
from kestro.exceptions import InvalidArgumentType, PackageException
from kestro._utility import pd as pdProxy

TYPE_MESSAGE = ("the input data can only be a pandas DataFrame or a two-dimensional list or "
                "numpy array.")


@pytest.mark.parametrize("source", [
    [[1, 2, 3], [4, 5, 6]],
    np.array([[1, 2, 3], [4, 5, 6]]),
    pd.DataFrame([[1, 2, 3], [4, 5, 6]]),
])
def test_inputs_kinds(make, source):
    obj = make(source)
    assert isinstance(obj._data, pd.DataFrame)
    assert obj._data.shape == (2, 3)
    assert obj.shape == (2, 3)
    assert list(obj._data.dtypes) == [np.dtype(np.int64)] * 3
    assert obj._data.values.tolist() == [[1, 2, 3], [4, 5, 6]]


def test_names_reach_the_base(make):
    obj = make([[1, 2]], pointNames=["p"], featureNames=["a", "b"])
    assert obj.points.getNames() == ["p"]
    assert obj.features.getNames() == ["a", "b"]


def test_reuse_data_shares_the_table(make):
    table = pd.DataFrame([[1.0, 2.0]])
    shared = make(table, reuseData=True)
    assert shared._data is table
    copied = make(table)
    assert copied._data is not table
    copied._data.iat[0, 0] = 99.0
    assert table.iat[0, 0] == 1.0


TEXT_SOURCES = {
    "list": lambda: [["a", 1], [None, 2]],
    "array": lambda: np.array([["a", 1], [None, 2]], dtype=object),
    "table": lambda: pd.DataFrame({0: pd.Series(["a", None], dtype=object), 1: [1, 2]}),
    "string dtype": lambda: pd.DataFrame({0: pd.array(["a", None], dtype="string"), 1: [1, 2]}),
}


@pytest.mark.parametrize("reuse", [False, True])
@pytest.mark.parametrize("source", TEXT_SOURCES.values(), ids=TEXT_SOURCES.keys())
def test_text_is_stored_in_object_features(make, source, reuse):
    given = source()
    obj = make(given, reuseData=reuse)
    assert list(obj._data.dtypes) == [object, object if isinstance(given, np.ndarray) else np.int64]
    assert obj._data.iat[0, 0] == "a"
    assert obj._data.iat[1, 0] is None
    # a reused table is converted in place, and kept
    assert (obj._data is given) == (reuse and isinstance(given, pd.DataFrame))


@pytest.mark.parametrize("unit", ["ns", "us", "ms", "s"])
def test_datetime_features_keep_their_unit(make, unit):
    if unit != "ns" and int(pd.__version__.split(".")[0]) < 2:
        pytest.skip("pandas 1.5 holds every datetime in nanoseconds")
    dates = np.array(["2020-01-01T10:00", "NaT"], dtype=f"datetime64[{unit}]")
    obj = make(pd.DataFrame({0: dates, 1: [1.0, 2.0]}))
    assert obj._data.dtypes[0] == np.dtype(f"datetime64[{unit}]")
    assert obj.copy("pandasdataframe").dtypes[0] == np.dtype(f"datetime64[{unit}]")
    assert obj.copy("pythonlist")[0][0] == pd.Timestamp("2020-01-01T10:00").to_pydatetime()


@pytest.mark.parametrize("source", [[[1.0, 2.0]], np.array([[1.0, 2.0]])])
def test_lists_and_arrays_are_copied(make, source):
    obj = make(source, reuseData=True)
    obj._data.iat[0, 0] = 42.0
    assert np.asarray(source)[0, 0] == 1.0


def test_shape_keyword_passed_unchanged(make):
    obj = make(np.arange(24).reshape(2, 12), shape=[2, 3, 4])
    assert obj._dims == [2, 3, 4]
    assert obj.shape == (2, 12)
    assert make([[1, 2]], shape=None).shape == (1, 2)


@pytest.mark.parametrize("bad", [3, "text", {"a": 1}, np.arange(3), None])
def test_unsupported_input(make, bad):
    with pytest.raises(InvalidArgumentType) as info:
        make(bad)
    assert str(info.value) == TYPE_MESSAGE


def test_pandas_check_comes_first(make):
    with pdProxy.forcedUnavailable():
        for data in ([[1]], 3):
            with pytest.raises(PackageException) as info:
                make(data)
            assert str(info.value) == "To use class DataFrame, pandas must be installed."


def test_type_string_and_axes(make, module):
    obj = make([[1, 2], [3, 4]], pointNames=["x", "y"])
    assert obj._getTypeString_implementation() == "DataFrame"
    assert type(obj.points).__name__ == "DataFramePoints"
    assert type(obj.features).__name__ == "DataFrameFeatures"
    view = obj.view()
    assert isinstance(view, module.DataFrameView)
    assert view._getTypeString_implementation() == "DataFrame"
    assert type(view.points).__name__ == "DataFramePointsView"
    assert type(view.features).__name__ == "DataFrameFeaturesView"
    assert isinstance(obj._getPoints(None), module.DataFramePoints)
    assert isinstance(view._getFeatures(None), module.DataFrameFeaturesView)


def test_factory_builds_dataframe(module):
    obj = kestro.data([[1, 2], [3, 4]], pointNames=["a", "b"], featureNames=["c", "d"])
    assert isinstance(obj, module.DataFrame)
    assert obj.points.getNames() == ["a", "b"]
