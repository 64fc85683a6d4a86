"""kestro.data: sources, names and storage types."""
import numpy as np
import pandas as pd
import pytest
import scipy.sparse

import kestro
from kestro.exceptions import InvalidArgumentType, InvalidArgumentValue


def values(obj):
    return obj.copy("numpyarray").tolist()


CSV = "pointNames,x,y\na,1,2.5\nb,3,4.5\n"


@pytest.mark.parametrize("pointNames, featureNames, ptNames, ftNames, shape", [
    (True, True, ["a", "b"], ["x", "y"], (2, 2)),
    (None, None, ["a", "b"], ["x", "y"], (2, 2)),
    (None, True, ["a", "b"], ["x", "y"], (2, 2)),
    (False, None, None, ["pointNames", "x", "y"], (2, 3)),
    (True, False, ["pointNames", "a", "b"], None, (3, 2)),
    (None, False, None, None, (3, 3)),
    (False, False, None, None, (3, 3)),
    (["p", "q"], ["u", "v"], ["p", "q"], ["u", "v"], (2, 2)),
])
def test_csv_names(tmp_path, pointNames, featureNames, ptNames, ftNames, shape):
    path = tmp_path / "in.csv"
    path.write_text(CSV)
    obj = kestro.data(str(path), pointNames, featureNames, returnType="List")
    assert obj.shape == shape
    assert obj.points._getNamesNoGeneration() == ptNames
    assert obj.features._getNamesNoGeneration() == ftNames


TYPED = {"i": [1, -2], "f": [0.1 + 0.2, np.nan], "b": [True, False],
         "t": ["x", 'line\nbreak, "quoted"'], "d": pd.to_datetime(["2020-01-01", "2021-03-04"]),
         "dt": pd.to_datetime(["2020-01-01 05:06:07", None])}


@pytest.mark.parametrize("pointNames, featureNames", [
    (["p", "q"], list(TYPED)), (None, list(TYPED)), (None, None),
    (["1", "2.5"], ["first, second", "2", "x y", "NA", "True", "2020-01-01"]),
    (None, ["i", "first, second", "b x", "t", "d", "dt"]),
])
def test_csv_reads_back_what_save_wrote(tmp_path, pointNames, featureNames):
    frame = pd.DataFrame(TYPED).set_axis(range(len(TYPED)), axis=1)
    obj = kestro.data(frame, pointNames, featureNames)
    path = tmp_path / "out.csv"
    obj.save(path)
    written = path.read_bytes()
    back = kestro.data(path)
    assert back.points._getNamesNoGeneration() == pointNames
    assert back.features._getNamesNoGeneration() == featureNames
    assert [dtype.kind for dtype in back._data.dtypes] == list("ifbOMM")
    assert back.isIdentical(obj) and path.read_bytes() == written
    pd.testing.assert_frame_equal(obj._data, frame.astype({3: object}))


@pytest.mark.parametrize("text, shape, ftNames", [
    ("1,x\n2,3\n", (2, 2), None),         # a number in the first row: values
    ("a,a\n2,3\n", (2, 2), None),         # repeated: values
    ("a,b\nx,y\n", (2, 2), None),         # text over text: values
    ("a,b\n,\n", (2, 2), None),           # over missing values only: values
    ("a,b\nx,2020-01-02\n", (1, 2), ["a", "b"]),
    ("\ufeffa,b\nx,2\n", (1, 2), ["a", "b"]),  # the byte order mark Excel writes
])
def test_csv_name_row_detection(tmp_path, text, shape, ftNames):
    path = tmp_path / "in.csv"
    path.write_text(text)
    obj = kestro.data(path, returnType="List")
    assert obj.shape == shape and obj.features._getNamesNoGeneration() == ftNames


def test_csv_values_and_save_round_trip(tmp_path, storage):
    path = tmp_path / "in.csv"
    path.write_text(CSV)
    obj = kestro.data(path, True, True, returnType=storage)
    assert values(obj) == [[1, 2.5], [3, 4.5]] and obj.points.getNames() == ["a", "b"]
    out = tmp_path / "out.csv"
    obj.save(out)
    assert kestro.data(out, True, True, returnType=storage).isIdentical(obj)


@pytest.mark.parametrize("source, shape, dims", [
    ([1, 2, 3], (1, 3), [1, 3]),
    (np.arange(3), (1, 3), [1, 3]),
    ([[1, 2], [3, 4]], (2, 2), [2, 2]),
    (np.zeros((0, 4)), (0, 4), [0, 4]),
    (np.arange(24).reshape(2, 3, 4), (2, 12), [2, 3, 4]),
    ([[[1, 2], [3, 4]], [[5, 6], [7, 8]]], (2, 4), [2, 2, 2]),
    (scipy.sparse.coo_matrix(np.eye(3)), (3, 3), [3, 3]),
])
def test_sources(storage, source, shape, dims):
    obj = kestro.data(source, returnType=storage)
    assert obj.shape == shape and obj._dims == dims and obj.getTypeString() == storage


@pytest.mark.parametrize("labels, pointNames, expected", [
    (None, None, None),
    (["p", "q"], None, ["p", "q"]),
    ([10, 20], None, ["10", "20"]),
    (["p", "q"], False, None),
    (None, True, ["0", "1"]),
    (["p", "q"], ["r", "s"], ["r", "s"]),
])
def test_pandas_labels_become_names(labels, pointNames, expected):
    frame = pd.DataFrame([[1], [2]], index=labels)
    obj = kestro.data(frame, pointNames=pointNames, returnType="Matrix")
    assert obj.points._getNamesNoGeneration() == expected


def test_pandas_extension_dtypes_are_stored_as_objects():
    frame = pd.DataFrame({"c": pd.Categorical(["u", "v"]), "n": pd.array([1, None], "Int64")})
    obj = kestro.data(frame, returnType="List")
    assert obj.features.getNames() == ["c", "n"]
    assert obj._data[0][0] == "u"


def test_copying_a_data_object(named):
    copy = kestro.data(named, pointNames=["p", "q"], featureNames=False, returnType="List")
    assert copy.getTypeString() == "List" and values(copy) == [[1, 2, 3], [4, 5, 6]]
    assert copy.points.getNames() == ["p", "q"]
    assert copy.features._getNamesNoGeneration() is None
    assert named.points.getNames() == ["a", "b"]


@pytest.mark.parametrize("args, error", [
    (([[1]],), None),
    (([[1]], None, None, "Table"), InvalidArgumentValue),
    (([[1]], None, None, 5), InvalidArgumentType),
    (([[1]], "a"), InvalidArgumentType),
    (([[1]], True), InvalidArgumentValue),
    (([[1, [2]]],), InvalidArgumentValue),
    (([[1, 2], [3]],), InvalidArgumentValue),
    ((np.array([["a"]], dtype="U1"),), None),
    ((np.array([[1]], dtype="m8[s]"),), None),
    (({"a": 1},), InvalidArgumentType),
    (("missing.csv",), InvalidArgumentValue),
    (("data.txt",), InvalidArgumentValue),
    (("data.txt", None, None, "DataFrame", "tsv"), InvalidArgumentValue),
])
def test_factory_validation(args, error):
    if error is None:
        assert kestro.data(*args).shape == (1, 1)
    else:
        with pytest.raises(error):
            kestro.data(*args)


PANDAS2 = int(pd.__version__.split(".")[0]) >= 2


@pytest.mark.parametrize("index, ptNames", [(None, None), (["p", "q", "r"], ["p", "q", "r"])])
def test_csv_written_by_pandas(tmp_path, index, ptNames):
    frame = pd.DataFrame({"x": [1, 2, 3], "y": ["u", None, "w"]}, index=index)
    frame.to_csv(tmp_path / "pandas.csv")
    obj = kestro.data(tmp_path / "pandas.csv")
    assert obj.points._getNamesNoGeneration() == ptNames
    assert obj.features._getNamesNoGeneration() == ["x", "y"]
    assert obj._data.values.tolist() == [[1, "u"], [2, None], [3, "w"]]


def test_csv_round_trip_is_exact(tmp_path):
    # text that looks missing, the empty string (read back as missing, as
    # save writes both alike), integers beyond 2**53 next to a gap, and
    # dates past the nanoseconds' range keep their unit
    late = np.array(["2020-01-01", "3000-05-06T01:02:03", "NaT"], "M8[s]")
    obj = kestro.data(pd.DataFrame({
        "t": pd.Series(["NA", "None", ""], dtype=object),
        "i": pd.Series([2**53 + 1, None, 3], dtype=object),
        "d": late if PANDAS2 else late.astype("M8[ns]")[[0, 2, 2]]}))
    obj.save(tmp_path / "saved.data", fileFormat="csv")
    back = kestro.data(tmp_path / "saved.data", fileFormat="csv")
    assert back._data.dtypes.tolist() == obj._data.dtypes.tolist()
    assert back._data.iloc[:2, :2].values.tolist() == obj._data.iloc[:2, :2].values.tolist()
    assert back._data.iat[2, 0] is None and back._data.iloc[:, 2].equals(obj._data.iloc[:, 2])
    with pytest.raises(InvalidArgumentValue, match='pass fileFormat="csv"'):
        kestro.data(tmp_path / "saved.data")


def test_csv_text_first_met_in_a_late_chunk_is_text_throughout(tmp_path):
    # pandas reads a long file in chunks and types each on its own: the
    # numbers before the first text would stay numbers beside it
    numbers = np.arange(300_000).astype(str).astype(object)
    numbers[250_000] = "x"
    pd.DataFrame({"a": numbers, "b": [True, None] * 150_000}).to_csv(tmp_path / "long.csv",
                                                                  index=False)
    with pytest.warns(pd.errors.DtypeWarning):
        obj = kestro.data(tmp_path / "long.csv")
    column = obj._data.iloc[:, 0]
    assert {type(v) for v in column} == {str}
    assert column.iloc[[0, 249_999, 250_000]].tolist() == ["0", "249999", "x"]
    assert obj._data.iloc[:2, 1].tolist() == [True, None]   # booleans with gaps stay booleans


@pytest.mark.parametrize("source", [[[pd.NA, "a"], ["x", "b"]],
                                    np.array([[pd.NA, "a"], ["x", "b"]], dtype=object)])
def test_pandas_NA_in_lists_and_arrays_becomes_None(storage, source):
    if storage == "Sparse":
        pytest.skip("Sparse objects hold numbers only")
    obj = kestro.data(source, returnType=storage)
    assert obj.copy("pythonlist") == [[None, "a"], ["x", "b"]]
    obj.checkInvariants(2)
