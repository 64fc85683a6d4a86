"""Per-feature element types, the dense array export and element access."""
import datetime
import sys

import numpy as np
import pandas as pd
import pytest

from kestro.exceptions import InvalidArgumentValue

COUNT_MESSAGE = "A dtype must be specified for each feature"

COLUMNS = {
    "int": np.array([1, 2, 3], dtype=np.int64),
    "float": np.array([1.5, np.nan, -2.0]),
    "bool": np.array([True, False, True]),
    "object": np.array(["a", None, 3], dtype=object),
    "datetime": np.array(["2020-01-01", "2021-06-30", "NaT"], dtype="datetime64[ns]"),
    "int32": np.array([7, 8, 9], dtype=np.int32),
    "float32": np.array([0.5, 1.5, 2.5], dtype=np.float32),
}


def table(*kinds):
    return pd.DataFrame({i: COLUMNS[k] for i, k in enumerate(kinds)})


class SubclassedTable(pd.DataFrame):
    """A pandas table of a subclass: element types are read through the
    public `dtypes`, not through pandas' blocks."""

    @property
    def _constructor(self):
        return SubclassedTable


# ---- _asNumpyArray ------------------------------------------------------------

@pytest.mark.parametrize("kinds, plain, numeric", [
    (("int",), np.int64, np.int64),
    (("int", "int"), np.int64, np.int64),
    (("float", "float"), np.float64, np.float64),
    (("bool",), np.bool_, np.bool_),
    (("int", "float"), np.float64, np.float64),      # pandas' common type
    (("bool", "int"), object, np.float64),            # pandas' common type is object
    (("bool", "float"), object, np.float64),
    (("int32",), object, np.float64),                 # not the platform int
    (("float32",), object, np.float64),
    (("int", "int32"), object, np.float64),
    (("datetime",), object, np.float64),              # pandas' nanosecond counts
    (("object",), object, None),
    (("int", "object"), object, None),
])
@pytest.mark.parametrize("holder", [pd.DataFrame, SubclassedTable])
def test_as_numpy_array_dtypes(make, kinds, plain, numeric, holder):
    obj = make(holder(table(*kinds)))
    before = obj._data.copy()
    values = obj._asNumpyArray()
    assert values.dtype == np.dtype(plain)
    assert values.shape == (3, len(kinds))
    if "datetime" in kinds:  # Timestamps, never integer nanoseconds
        assert type(values[0, kinds.index("datetime")]) is pd.Timestamp
    if numeric is None:
        with pytest.raises((TypeError, ValueError)):
            obj._asNumpyArray(numericRequired=True)
    else:
        assert obj._asNumpyArray(True).dtype == np.dtype(numeric)
    pd.testing.assert_frame_equal(obj._data, before)


def test_as_numpy_array_all_int_is_the_platform_int(make):
    obj = make(table("int", "int"))
    assert obj._asNumpyArray().dtype == np.dtype(int)
    assert obj._asNumpyArray(numericRequired=True).dtype == np.dtype(int)


def test_as_numpy_array_object_column_keeps_scalar_types(make):
    obj = make(table("int", "object", "float"))
    values = obj._asNumpyArray()
    assert values.dtype == object
    assert type(values[0, 0]) in (int, np.int64)
    assert values[0, 1] == "a" and values[1, 1] is None and values[2, 1] == 3
    assert np.isnan(values[1, 2])
    assert values.tolist()[0] == [1, "a", 1.5]


@pytest.mark.parametrize("points", [0, 4])
def test_as_numpy_array_without_features(make, points):
    obj = make(pd.DataFrame(index=pd.RangeIndex(points)))
    plain = obj._asNumpyArray()
    assert plain.dtype == object and plain.shape == (points, 0)
    numeric = obj._asNumpyArray(numericRequired=True)
    assert numeric.dtype == np.float64 and numeric.shape == (points, 0)


def test_as_numpy_array_numeric_conversion_error_passes_through(make):
    obj = make(pd.DataFrame({0: ["x", "y"]}))
    with pytest.raises(ValueError):
        obj._asNumpyArray(numericRequired=True)


def test_as_numpy_array_keyword_and_arity(make):
    obj = make(table("int"))
    assert obj._asNumpyArray(numericRequired=False).dtype == np.int64
    with pytest.raises(TypeError) as info:
        obj._asNumpyArray(True, False)
    assert str(info.value) == "_asNumpyArray() takes at most 2 positional arguments (3 given)"


# ---- _setDtypes ---------------------------------------------------------------

class RecordingTable(pd.DataFrame):
    """A pandas table that records column assignments."""

    _metadata = ["assigned"]

    @property
    def _constructor(self):
        return RecordingTable

    def __setitem__(self, key, value):
        self.assigned.append(key)
        super().__setitem__(key, value)


def recording(data):
    frame = RecordingTable(data)
    frame.assigned = []
    return frame


def test_set_dtypes_same_types_touches_nothing(make):
    obj = make(recording(table("int", "float", "object")), reuseData=True)
    obj._setDtypes([np.dtype(np.int64), np.dtype(np.float64), np.dtype(object)])
    obj._setDtypes(tuple(obj._data.dtypes))
    assert obj._data.assigned == []


def test_set_dtypes_replaces_only_differing_columns(make):
    obj = make(recording(table("int", "float", "int")), reuseData=True)
    obj._setDtypes([np.int64, np.float32, "float64"])
    assert obj._data.assigned == [1, 2]
    assert list(obj._data.dtypes) == [np.int64, np.float32, np.float64]
    assert obj._data[2].tolist() == [1.0, 2.0, 3.0]


@pytest.mark.parametrize("dtypes", [
    [np.int64, np.float64],                       # one too few, prefix matches
    [np.int64, np.float64, object, np.int64],     # one too many
    [],
])
def test_set_dtypes_count_mismatch(make, dtypes):
    obj = make(table("int", "float", "object"))
    before = obj._data.copy()
    with pytest.raises(InvalidArgumentValue) as info:
        obj._setDtypes(dtypes)
    assert str(info.value) == COUNT_MESSAGE
    pd.testing.assert_frame_equal(obj._data, before)


def test_set_dtypes_zero_features(make):
    obj = make(pd.DataFrame(index=pd.RangeIndex(3)))
    assert obj._setDtypes([]) is None
    with pytest.raises(InvalidArgumentValue):
        obj._setDtypes([np.int64])


def test_set_dtypes_failure_keeps_earlier_conversions(make):
    obj = make(pd.DataFrame({0: [1, 2], 1: ["x", "y"], 2: [3, 4]}))
    with pytest.raises(ValueError):
        obj._setDtypes([np.float64, np.float64, np.float64])
    assert list(obj._data.dtypes) == [np.float64, object, np.int64]


def test_set_dtypes_accepts_a_series_of_dtypes(make):
    obj = make(table("int", "int"))
    wanted = make(table("float", "bool"))._data.dtypes
    obj._setDtypes(wanted)
    assert list(obj._data.dtypes) == [np.float64, np.bool_]


class LoggedTypes:
    """A sequence of dtypes that logs how it is iterated."""

    def __init__(self, dtypes, log):
        self.dtypes, self.log = list(dtypes), log

    def __len__(self):
        return len(self.dtypes)

    def __iter__(self):
        self.log.append("iter types")

        def types():
            for dtype in self.dtypes:
                self.log.append("type")
                yield dtype
        return types()


def test_set_dtypes_walks_columns_and_types_like_zip(make, monkeypatch):
    log = []
    items = pd.DataFrame.items

    def loggedItems(frame):
        log.append("items")

        def columns():
            for pair in items(frame):
                log.append("column")
                yield pair
        return columns()

    obj = make(table("int", "int"))
    monkeypatch.setattr(pd.DataFrame, "items", loggedItems)
    obj._setDtypes(LoggedTypes([np.float64, np.int64], log))
    # tuple(dtypes) for the checks, then zip(items(), dtypes)
    assert log == ["iter types", "type", "type",
                   "items", "iter types", "column", "type", "column", "type"]
    assert list(obj._data.dtypes) == [np.float64, np.int64]


def test_set_dtypes_to_object_keeps_values(make):
    obj = make(table("int", "datetime"))
    obj._setDtypes([object, object])
    assert list(obj._data.dtypes) == [object, object]
    assert obj._data.iat[0, 0] == 1


# ---- _convertToNumericTypes_implementation --------------------------------------

USABLE = [np.dtype(bool), np.dtype(np.int64), np.dtype(np.float64)]


MIXED_OBJECT = pd.DataFrame({0: [1, 2, 3], 1: np.array([1, "2", 3.5], dtype=object)})


@pytest.mark.parametrize("source, after", [
    (table("int", "bool", "float"), None),
    (pd.DataFrame(index=pd.RangeIndex(3)), None),
    (MIXED_OBJECT, [np.float64, np.float64]),
    (table("int32", "int"), [np.float64, np.float64]),
    (table("bool", "float32"), [np.float64, np.float64]),
])
def test_convert_to_numeric_types(make, source, after):
    obj = make(source)
    original = obj._data
    assert obj._convertToNumericTypes_implementation(USABLE) is None
    if after is None:
        assert obj._data is original
        assert list(obj._data.dtypes) == list(source.dtypes)
    else:
        assert list(obj._data.dtypes) == after
        assert obj._data.values.tolist() == source.astype(float).values.tolist()


def test_convert_to_numeric_types_failure_leaves_table(make):
    obj = make(pd.DataFrame({0: [1, 2], 1: ["x", "y"]}))
    original = obj._data
    with pytest.raises(ValueError):
        obj._convertToNumericTypes_implementation(USABLE)
    assert obj._data is original
    assert list(original.dtypes) == [np.int64, object]


def test_convert_to_numeric_types_uses_in_operator(make):
    class Everything:
        def __contains__(self, item):
            return True

    obj = make(table("object", "int32"))
    obj._convertToNumericTypes_implementation(Everything())
    assert list(obj._data.dtypes) == [object, np.int32]


def test_convert_to_numeric_types_through_base(make):
    obj = make(table("int", "object"))
    obj._data[1] = np.array([1, 2, 3], dtype=object)
    obj.convertToNumericTypes()
    assert list(obj._data.dtypes) == [np.float64, np.float64]


# ---- _getitem_implementation ------------------------------------------------------

def test_getitem_single_element(make):
    assert make([[42]])._getitem_implementation(0, 0) == 42


@pytest.mark.parametrize("kind, scalar", [
    ("int", np.int64), ("float", np.float64), ("bool", np.bool_),
    ("int32", np.int32), ("float32", np.float32), ("datetime", pd.Timestamp),
])
def test_getitem_yields_the_positional_scalar(make, kind, scalar):
    obj = make(table(kind))
    value = obj._getitem_implementation(0, 0)
    assert type(value) is scalar
    assert type(value) is type(obj._data.iat[0, 0])


def test_getitem_object_column_returns_the_stored_object(make):
    stored = ["not", "copied"]
    source = pd.DataFrame({0: np.array([stored, "text", None], dtype=object)})
    obj = make(source, reuseData=True)
    assert obj._getitem_implementation(0, 0) is stored
    assert obj._getitem_implementation(1, 0) == "text"
    assert obj._getitem_implementation(2, 0) is None


def test_getitem_nan_stays_a_numpy_nan(make):
    value = make(table("float"))._getitem_implementation(1, 0)
    assert isinstance(value, np.float64) and np.isnan(value)


def test_getitem_negative_positions_count_from_the_end(make):
    obj = make([[1, 2, 3], [4, 5, 6]])
    assert obj._getitem_implementation(-1, -1) == 6
    assert obj._getitem_implementation(x=-2, y=1) == 2


@pytest.mark.parametrize("x, y, error", [
    (2, 0, IndexError), (0, 3, IndexError), (-3, 0, IndexError),
    (0.5, 0, ValueError), ("a", 0, ValueError),
])
def test_getitem_bad_positions_raise_and_change_nothing(make, x, y, error):
    obj = make([[1, 2, 3], [4, 5, 6]])
    before = obj._data.copy()
    with pytest.raises(error):
        obj._getitem_implementation(x, y)
    pd.testing.assert_frame_equal(obj._data, before)


def test_getitem_on_a_view_counts_from_the_view(make):
    obj = make(np.arange(20).reshape(4, 5))
    view = obj.view(1, 3, 2, 5)
    assert view._getitem_implementation(0, 0) == obj._getitem_implementation(1, 2) == 7
    assert view[1, 2] == 14
    with pytest.raises(IndexError):
        view._getitem_implementation(2, 0)


def test_getitem_by_names_through_base(make):
    obj = make([[1.5, "x"], [2.5, "y"]], pointNames=["a", "b"], featureNames=["num", "txt"])
    assert obj["b", "num"] == 2.5 and isinstance(obj["b", "num"], np.float64)
    assert obj["a", "txt"] == "x"


def test_getitem_arity(make):
    obj = make([[1]])
    with pytest.raises(TypeError) as info:
        obj._getitem_implementation(0)
    assert str(info.value) == ("_getitem_implementation() takes exactly 3 positional "
                               "arguments (2 given)")


def test_getitem_when_data_is_not_a_table(make):
    obj = make([[1]])
    obj._data = np.array([[1]])
    with pytest.raises(AttributeError):
        obj._getitem_implementation(0, 0)
