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


# The entry rule: each pandas column type and what a data object holds for it,
# written once, so that every pandas line must give the same.
PANDAS2 = int(pd.__version__.split(".")[0]) >= 2
NAN, UTC = float("nan"), pd.Timestamp("2020-01-02", tz="UTC")
ENTRY_RULE = {
    "Int64": (lambda: pd.array([1, 2], "Int64"), "int64", [1, 2]),
    "UInt8 gap": (lambda: pd.array([1, None], "UInt8"), "float64", [1.0, NAN]),
    "Int64 beyond 2**53": (lambda: pd.array([2**53 + 1, None], "Int64"), "object",
                           [2**53 + 1, None]),
    "Float32 gap": (lambda: pd.array([1.5, None], "Float32"), "float32", [1.5, NAN]),
    "boolean": (lambda: pd.array([True, False], "boolean"), "bool", [True, False]),
    "boolean gap": (lambda: pd.array([True, None], "boolean"), "object", [True, None]),
    "string": (lambda: pd.array(["a", None], "string"), "object", ["a", None]),
    "object NA": (lambda: np.array([pd.NA, "x"], dtype=object), "object", [None, "x"]),
    "category int gap": (lambda: pd.Categorical([3, None]), "float64", [3.0, NAN]),
    "category text": (lambda: pd.Categorical(["x", None]), "object", ["x", None]),
    "sparse int": (lambda: pd.arrays.SparseArray([0, 5]), "int64", [0, 5]),
    "sparse bool": (lambda: pd.arrays.SparseArray([False, True]), "bool", [False, True]),
    "tz-aware": (lambda: pd.Series([UTC, None]).array, "object", [UTC, pd.NaT]),
    "timedelta64[s]": (lambda: np.array([5, "NaT"], "m8[s]"), "m8[s]" if PANDAS2 else "m8[ns]",
                       [pd.Timedelta(5, "s"), pd.NaT]),
}
try:
    import pyarrow  # noqa: F401
    ENTRY_RULE.update({
        "int64[pyarrow] gap": (lambda: pd.array([2, None], "int64[pyarrow]"), "float64",
                               [2.0, NAN]),
        "int64[pyarrow] beyond 2**53": (lambda: pd.array([-2**60, None], "int64[pyarrow]"),
                                        "object", [-2**60, None]),
        "double[pyarrow]": (lambda: pd.array([0.5, None], "double[pyarrow]"), "float64",
                            [0.5, NAN]),
        "bool[pyarrow]": (lambda: pd.array([True, False], "bool[pyarrow]"), "bool",
                          [True, False]),
        "string[pyarrow]": (lambda: pd.array(["a", None], "string[pyarrow]"), "object",
                            ["a", None]),
        "timestamp[ms][pyarrow]": (
            lambda: pd.Series([UTC.tz_localize(None), None]).astype("timestamp[ms][pyarrow]").array,
            "M8[ms]", [UTC.tz_localize(None), pd.NaT]),
        "timestamp tz[pyarrow]": (
            lambda: pd.Series([UTC, None]).astype("timestamp[us, tz=UTC][pyarrow]").array,
            "object", [UTC, pd.NaT]),
    })
except ImportError:
    pass


def sameValues(got, expected, sameType=True):
    def same(a, b):
        if b is None or b is pd.NaT:
            return a is b
        if isinstance(b, float) and np.isnan(b):
            return isinstance(a, float) and np.isnan(a)
        return (type(a) is type(b) or not sameType) and a == b
    return len(got) == len(expected) and all(map(same, got, expected))


ENTRY_ROUTES = {
    "constructor": lambda make, table: make(table),
    "constructor reusing the table": lambda make, table: make(table, reuseData=True),
    "kestro.data": lambda make, table: kestro.data(table),
    "kestro.data as Matrix": lambda make, table: kestro.data(table, returnType="Matrix"),
    "kestro.data as List": lambda make, table: kestro.data(table, returnType="List"),
}


@pytest.mark.parametrize("route", ENTRY_ROUTES.values(), ids=ENTRY_ROUTES.keys())
@pytest.mark.parametrize("column, dtype, expected", ENTRY_RULE.values(), ids=ENTRY_RULE.keys())
def test_entry_rule(make, route, column, dtype, expected):
    obj = route(make, pd.DataFrame({0: column(), 1: [1, 0]}))
    obj.checkInvariants(2)
    assert obj.containsZero()
    if obj.getTypeString() == "DataFrame":
        assert obj._data.dtypes[0] == np.dtype(dtype)
        assert sameValues(obj._data[0].tolist(), expected)
        assert (obj == obj).shape == obj.shape
    elif np.dtype(dtype).kind not in "Mm" and expected[1] is not pd.NaT:
        # the storage's one element type may widen (bool next to int)
        assert sameValues([row[0] for row in obj.copy("pythonlist")], expected, sameType=False)


@pytest.mark.parametrize("column", [pd.period_range("2020", periods=2, freq="D").array,
                                    pd.arrays.IntervalArray.from_breaks([0, 1, 2])])
def test_entry_rule_refuses_types_without_numpy_form(make, column):
    with pytest.raises(InvalidArgumentType) as info:
        make(pd.DataFrame({0: [1, 2], 1: column}))
    assert str(info.value) == (
        f"feature 1 has the type {column.dtype}, which a data object cannot hold; convert it "
        "to numbers, text or dates first (for example with astype(str))")
