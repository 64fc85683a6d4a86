"""Copies of a DataFrame data object into every other format."""
import datetime
import re

import numpy as np
import pandas as pd
import pytest
import scipy.sparse
from hypothesis import given, settings, strategies as st
from hypothesis.extra import numpy as hnp

import kestro.core.data
from kestro._utility import scipy as scipyProxy
from kestro.exceptions import PackageException

RAW_TARGETS = ["pythonlist", "numpyarray", "numpymatrix", "scipycoo", "scipycsc", "scipycsr",
               "pandasdataframe"]


@pytest.fixture
def numeric(make):
    return make([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]], pointNames=["p0", "p1"],
                featureNames=["a", "b", "c"])


@pytest.fixture
def dated(make):
    table = pd.DataFrame({0: pd.to_datetime(["2020-01-02 00:00:00", "2021-03-04 05:06:07"]),
                          1: [1.5, 2.5]})
    return make(table, featureNames=["when", "x"])


@pytest.fixture
def cube(make):
    """Three dimensions (2, 3, 4), stored as 2 points x 12 features."""
    return make(np.arange(24.0).reshape(2, 12), shape=[2, 3, 4])


@pytest.fixture
def spyCreate(module, monkeypatch):
    calls = []

    def spy(*args, **kwds):
        calls.append((args, kwds))
        return "made"

    monkeypatch.setattr(module, "createDataNoValidation", spy)
    return calls


def mutate(result):
    """Change the first value of a copy in place, whatever its format."""
    if isinstance(result, list):
        result[0][0] = -99
    elif isinstance(result, (np.ndarray, np.matrix)):
        result[0, 0] = -99
    elif scipy.sparse.issparse(result):
        result.data[:] = -99
    elif isinstance(result, pd.DataFrame):
        result.iloc[0, 0] = -99
    else:  # a data object
        data = result._data
        if isinstance(data, pd.DataFrame):
            data.iloc[0, 0] = -99
        elif scipy.sparse.issparse(data):
            data.data[:] = -99
        elif isinstance(data, np.ndarray):
            data[0, 0] = -99
        else:
            data[0][0] = -99


# storage types ---------------------------------------------------------------

def test_storage_targets_go_to_the_host(numeric, spyCreate):
    assert numeric._copy_implementation("Matrix") == "made"
    (args, kwds), = spyCreate
    assert args[0] == "Matrix"
    assert args[1] == [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]]
    assert args[2:] == (["p0", "p1"], ["a", "b", "c"])
    assert kwds == {"reuseData": True}


def test_dataframe_target_gets_a_table_copy(numeric, spyCreate):
    numeric._copy_implementation(to="DataFrame")
    data = spyCreate[0][0][1]
    assert isinstance(data, pd.DataFrame) and data is not numeric._data
    data.iloc[0, 0] = -1.0
    assert numeric._data.iloc[0, 0] == 1.0


@pytest.mark.parametrize("shape", [(0, 3), (3, 0)])
def test_empty_objects_pass_the_array(make, spyCreate, shape):
    make(np.empty(shape))._copy_implementation("List")
    data = spyCreate[0][0][1]
    assert isinstance(data, np.ndarray) and data.shape == shape


def test_names_without_defaults(make, spyCreate):
    make([[1, 2]], featureNames=["a", "b"])._copy_implementation("Sparse")
    assert spyCreate[0][0][2:] == (None, ["a", "b"])


def test_storage_names_are_tested_first(numeric, spyCreate, monkeypatch):
    monkeypatch.setattr(kestro.core.data, "available", ["numpyarray"])
    assert numeric._copy_implementation("numpyarray") == "made"


@pytest.mark.parametrize("to", ["List", "Matrix", "Sparse", "DataFrame"])
def test_storage_copies_through_the_host(numeric, to):
    copied = numeric._copy_implementation(to)
    assert copied.getTypeString() == to
    assert copied.points.getNames() == ["p0", "p1"]
    assert copied.features.getNames() == ["a", "b", "c"]
    assert np.array_equal(copied._asNumpyArray(), numeric._asNumpyArray())
    mutate(copied)
    assert numeric._data.iloc[0, 0] == 1.0


# raw formats -----------------------------------------------------------------

def test_pythonlist_and_numpyarray(make, mixed_table):
    obj = make(mixed_table)
    listed = obj._copy_implementation("pythonlist")
    assert listed[0] == [1, 1.5, "a", True]
    assert listed[1][2] is None
    arr = obj._copy_implementation("numpyarray")
    assert arr.dtype == object and arr.shape == (3, 4)
    numbers = make([[1, 2], [3, 4]])._copy_implementation("numpyarray")
    assert numbers.dtype == np.int64 and numbers.tolist() == [[1, 2], [3, 4]]


def test_numpymatrix(numeric):
    result = numeric._copy_implementation("numpymatrix")
    assert type(result) is np.matrix and result.dtype == np.float64
    assert result.tolist() == [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]]


@pytest.mark.parametrize("to, kind", [("scipycoo", "coo"), ("scipycsc", "csc"),
                                      ("scipycsr", "csr")])
def test_scipy_kinds(numeric, to, kind):
    result = numeric._copy_implementation(to)
    assert scipy.sparse.issparse(result) and result.format == kind
    assert result.dtype == np.float64
    assert result.toarray().tolist() == [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]]


def test_pandasdataframe_carries_names(numeric, make):
    result = numeric._copy_implementation("pandasdataframe")
    assert list(result.index) == ["p0", "p1"] and list(result.columns) == ["a", "b", "c"]
    assert list(result.dtypes) == [np.dtype(float)] * 3
    unnamed = make([[1, "x"]], featureNames=["n", "s"])._copy_implementation("pandasdataframe")
    assert isinstance(unnamed.index, pd.RangeIndex)
    assert list(unnamed.columns) == ["n", "s"]
    assert list(unnamed.dtypes) == [np.dtype(np.int64), np.dtype(object)]


# an unknown target falls through to the pandas frame, built from a copy
@pytest.mark.parametrize("to", ["List", "Matrix", "Sparse", "DataFrame"] + RAW_TARGETS + ["bogus"])
def test_every_copy_is_independent(numeric, to):
    before = numeric._data.copy()
    result = numeric._copy_implementation(to)
    mutate(result)
    pd.testing.assert_frame_equal(numeric._data, before)
    assert isinstance(numeric._data.index, pd.RangeIndex)
    assert isinstance(numeric._data.columns, pd.RangeIndex)


# datetime features -----------------------------------------------------------

def test_datetime_to_pythonlist(dated):
    listed = dated._copy_implementation("pythonlist")
    assert listed == [[datetime.datetime(2020, 1, 2), 1.5],
                      [datetime.datetime(2021, 3, 4, 5, 6, 7), 2.5]]
    assert type(listed[0][0]) is datetime.datetime


def test_datetime_to_numpyarray_keeps_dates(dated):
    arr = dated._copy_implementation("numpyarray")
    assert arr.dtype == object
    assert type(arr[0, 0]) is np.datetime64
    assert arr[1, 0] == np.datetime64("2021-03-04T05:06:07")
    assert arr[:, 1].tolist() == [1.5, 2.5]
    # the source keeps its element types
    assert dated._data.dtypes[0].kind == "M"


@pytest.mark.parametrize("to, expected", [("pythonlist", []), ("numpyarray", (0, 2))])
def test_datetime_feature_without_points(make, to, expected):
    table = pd.DataFrame({0: pd.to_datetime([]), 1: np.array([], dtype=float)})
    result = make(table)._copy_implementation(to)
    assert (result if to == "pythonlist" else result.shape) == expected


def test_missing_datetime(make):
    table = pd.DataFrame({0: pd.to_datetime(["2020-01-01", None])})
    obj = make(table)
    assert obj._copy_implementation("pythonlist")[1][0] is pd.NaT
    assert np.isnat(obj._copy_implementation("numpyarray")[1, 0])


@pytest.mark.parametrize("unit", ["ns", "us", "s"])
@pytest.mark.parametrize("to", ["pythonlist", "numpyarray"])
def test_dates_convert_as_each_timestamp_does(make, unit, to):
    dates = pd.Series(pd.to_datetime(["2020-01-02 03:04:05.123456", None, "1999-12-31 00:00:00.0"]))
    if unit != "ns":
        if not hasattr(dates.dt, "as_unit"):
            pytest.skip("pandas 1.5 holds every datetime in nanoseconds")
        dates = dates.dt.as_unit(unit)
    table = pd.DataFrame({0: dates, 1: [1.5, 2.5, 3.5]})
    column = [row[0] for row in make(table)._copy_implementation(to)]
    expected = [ts.to_pydatetime() if to == "pythonlist" else ts.to_numpy() for ts in table[0]]
    assert [(type(v), repr(v), getattr(v, "dtype", None)) for v in column] == \
        [(type(v), repr(v), getattr(v, "dtype", None)) for v in expected]


def test_nanoseconds_dropped_for_a_list_warn_as_pandas_does(make):
    table = pd.DataFrame({0: pd.to_datetime(["2020-01-02 03:04:05.123456789"])})
    with pytest.warns(UserWarning, match="nanoseconds"):
        listed = make(table)._copy_implementation("pythonlist")
    assert listed == [[datetime.datetime(2020, 1, 2, 3, 4, 5, 123456)]]


def test_only_datetime_features(make):
    table = pd.DataFrame({0: pd.to_datetime(["2020-01-01"]), 1: pd.to_datetime(["2020-01-02"])})
    arr = make(table)._copy_implementation("numpyarray")
    assert arr.tolist() == [[np.datetime64("2020-01-01", "ns"), np.datetime64("2020-01-02", "ns")]]


# more than two dimensions ----------------------------------------------------

def test_cube_numpyarray(cube):
    arr = cube._copy_implementation("numpyarray")
    assert arr.shape == (2, 3, 4)
    assert arr.tolist() == np.arange(24.0).reshape(2, 3, 4).tolist()
    arr[0, 0, 0] = -1.0
    assert cube._data.iat[0, 0] == 0.0


def test_cube_pythonlist(cube):
    assert cube._copy_implementation("pythonlist") == np.arange(24.0).reshape(2, 3, 4).tolist()


@pytest.mark.parametrize("to", ["numpymatrix", "pandasdataframe"])
def test_cube_nested_rows(cube, to):
    result = cube._copy_implementation(to)
    assert result.shape == (2, 3)
    cell = result[1, 2] if to == "numpymatrix" else result.iat[1, 2]
    assert cell == [20.0, 21.0, 22.0, 23.0]


# Object data goes to scipy's coo_matrix as it is (nested rows and text
# alike): scipy 1.11 and later refuse it themselves, unchained; older
# releases build an object matrix.
SCIPY_REFUSES_OBJECTS = r"^scipy.sparse does not support dtype object\. "
try:
    scipy.sparse.coo_matrix(np.array([["x"]], dtype=object))
    SCIPY_TAKES_OBJECTS = True
except ValueError:
    SCIPY_TAKES_OBJECTS = False


def assert_coo_of_objects(obj, shape, stored):
    """The coo copy of object data: scipy's refusal, or what scipy built."""
    if SCIPY_TAKES_OBJECTS:
        result = obj._copy_implementation("scipycoo")
        assert (result.dtype, result.shape) == (np.dtype(object), shape)
        assert list(result.data) == stored
        return
    with pytest.raises(ValueError, match=SCIPY_REFUSES_OBJECTS) as info:
        obj._copy_implementation("scipycoo")
    assert info.value.__cause__ is None


def test_cube_coo_built_from_nested_rows_goes_straight_to_scipy(cube):
    rows = np.arange(24.0).reshape(2, 3, 4).tolist()
    assert_coo_of_objects(cube, (2, 3), [row for point in rows for row in point])


@pytest.mark.parametrize("to", ["scipycsc", "scipycsr"])
def test_cube_compressed_from_flat_values(cube, to):
    result = cube._copy_implementation(to)
    assert result.shape == (2, 12)
    assert result.toarray().tolist() == np.arange(24.0).reshape(2, 12).tolist()


@pytest.mark.parametrize("to", [to for to in RAW_TARGETS if to != "scipycoo"])
def test_cube_copies_are_independent(cube, to):
    before = cube._data.copy()
    result = cube._copy_implementation(to)
    if isinstance(result, list):
        result[0][0][0] = -99
    elif isinstance(result, pd.DataFrame):
        result.iat[0, 0][0] = -99
    elif isinstance(result, np.matrix) or (isinstance(result, np.ndarray) and result.ndim == 3):
        cell = result[0, 0]
        if isinstance(cell, list):
            cell[0] = -99
        else:
            result[0, 0] = -99
    else:
        mutate(result)
    pd.testing.assert_frame_equal(cube._data, before)


# scipy availability and numeric data -----------------------------------------

@pytest.mark.parametrize("to", ["scipycoo", "scipycsc", "scipycsr"])
def test_scipy_unavailable(make, to):
    obj = make([["text", 1]])
    obj._asNumpyArray = lambda *a, **k: pytest.fail("converted before the check")
    with scipyProxy.forcedUnavailable():
        with pytest.raises(PackageException) as info:
            obj._copy_implementation(to)
    assert str(info.value) == "scipy is not available"


@pytest.mark.parametrize("to", ["scipycsc", "scipycsr"])
def test_text_to_compressed_is_chained(make, to):
    obj = make([["text", 1.0]])
    with pytest.raises(ValueError) as info:
        obj._copy_implementation(to)
    error = info.value
    assert str(error) == f"Must create scipy {to[-3:]} matrix from numeric data"
    assert type(error.__cause__) is ValueError
    assert error.__context__ is error.__cause__ and error.__suppress_context__
    assert error.__cause__.__traceback__ is not None


def test_chained_even_inside_another_handler(make):
    obj = make([["text"]])
    try:
        raise KeyError("outer")
    except KeyError:
        with pytest.raises(ValueError) as info:
            obj._copy_implementation("scipycsr")
    assert info.value.__context__ is info.value.__cause__


def test_text_to_coo_goes_straight_to_scipy(make):
    obj = make([[1.0, "text"]], featureNames=["number", "word"])
    if SCIPY_TAKES_OBJECTS:
        assert_coo_of_objects(obj, (1, 2), [1.0, "text"])
        return
    # scipy's refusal, told about the feature it could not take
    with pytest.raises(ValueError) as info:
        obj._copy_implementation("scipycoo")
    assert str(info.value) == ("Must create scipy coo matrix from numeric data: "
                               "feature 'word' holds values of type object")
    assert re.match(SCIPY_REFUSES_OBJECTS, str(info.value.__cause__))


def test_other_errors_of_the_export_propagate(make):
    obj = make([[1.0]])

    def broken(numericRequired=False):
        raise TypeError("not mine")

    obj._asNumpyArray = broken
    with pytest.raises(TypeError, match="not mine") as info:
        obj._copy_implementation("scipycsr")
    assert info.value.__cause__ is None


def test_argument_count(numeric):
    with pytest.raises(TypeError) as info:
        numeric._copy_implementation()
    assert str(info.value) == ("_copy_implementation() takes exactly 2 positional arguments "
                               "(1 given)")


# properties and resources ----------------------------------------------------

@settings(max_examples=40, deadline=None)
@given(hnp.arrays(np.float64, hnp.array_shapes(min_dims=2, max_dims=2, min_side=0, max_side=5),
                  elements=st.floats(allow_nan=False, width=64)))
def test_dense_copies_match_the_values(values):
    from kestro.core.data.dataframe import DataFrame

    obj = DataFrame(values)
    assert np.array_equal(obj._copy_implementation("numpyarray"), values)
    assert obj._copy_implementation("pythonlist") == values.tolist()
    frame = obj._copy_implementation("pandasdataframe")
    assert np.array_equal(frame.to_numpy(), values)


# through the public operation ---------------------------------------------------

def test_public_copy_round_trips():
    obj = kestro.data([[1, 2.5], [3, 4.5]], pointNames=["x", "y"], featureNames=["a", "b"])
    assert obj.copy("NumpyArray").tolist() == [[1.0, 2.5], [3.0, 4.5]]
    again = obj.copy()
    assert again.getTypeString() == "DataFrame"
    assert again.points.getNames() == ["x", "y"]
    again._data.iat[0, 0] = 100
    assert obj._data.iat[0, 0] == 1
    frame = obj.copy("pandasdataframe")
    assert frame.loc["y", "b"] == 4.5


@pytest.mark.parametrize("to", ["List", "Matrix", "Sparse", "DataFrame"])
def test_public_copy_of_a_cube_keeps_dimensions(cube, to):
    copied = cube.copy(to)
    assert copied._dims == [2, 3, 4]
    assert copied.copy("numpyarray").tolist() == np.arange(24.0).reshape(2, 3, 4).tolist()
