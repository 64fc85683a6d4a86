"""CSV and Matrix Market files written by a DataFrame data object."""
import builtins
import csv
import os
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
import scipy.io
from hypothesis import given, settings, strategies as st

from kestro._utility import scipy as scipyProxy
from kestro.exceptions import PackageException

LAYOUTS = {
    (True, True): "pointNames,a,b\nx,1,2\ny,3,4\n",
    (True, False): "x,1,2\ny,3,4\n",
    (False, True): "a,b\n1,2\n3,4\n",
    (False, False): "1,2\n3,4\n",
}
ODD_NAMES = ["comma,name", 'quote"name', "line\nbreak", "naïve ünïcode ✓"]


@pytest.fixture
def small(make):
    return make([[1, 2], [3, 4]], pointNames=["x", "y"], featureNames=["a", "b"])


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "out.file")


def assertDefaultLabels(obj):
    table = obj._data
    assert isinstance(table.index, pd.RangeIndex) and list(table.index) == list(
        range(table.shape[0]))
    assert isinstance(table.columns, pd.RangeIndex) and list(table.columns) == list(
        range(table.shape[1]))


def readBytes(path):
    with open(path, "rb") as file:
        return file.read()


# CSV --------------------------------------------------------------------------

@pytest.mark.parametrize("points, features", list(LAYOUTS))
def test_csv_layouts_replace_an_existing_file(small, path, points, features):
    with open(path, "w") as file:
        file.write("old content that must disappear\n" * 3)
    before = small._data.copy()
    assert small._saveCSV_implementation(path, points, features) is None
    assert readBytes(path) == LAYOUTS[points, features].encode()
    pd.testing.assert_frame_equal(small._data, before)
    assertDefaultLabels(small)


@pytest.mark.parametrize("points, features", [(1, 0), (0, 1), (1, 1), ([], "yes")])
def test_csv_flags_are_truth_tested_and_passed_on(small, path, points, features):
    seen = {}
    original = small._data.to_csv

    def spy(*args, **kwds):
        seen.update(kwds)
        return original(*args, **kwds)

    small._data.to_csv = spy
    small._saveCSV_implementation(path, points, features)
    assert seen["index"] is points and seen["header"] is features and seen["mode"] == "a"
    assert readBytes(path) == LAYOUTS[bool(points), bool(features)].encode()


def test_csv_default_names_and_floats(make, path):
    obj = make([[1.0, np.nan]])
    obj._saveCSV_implementation(path, True, True)
    lines = readBytes(path).decode().splitlines()
    names = obj.points.getNames() + obj.features.getNames()
    assert lines[0] == "pointNames," + ",".join(names[1:])
    assert lines[1] == names[0] + ",1.0,"


def test_csv_odd_names_round_trip(make, path):
    obj = make([[1.5, 2.5, 3.5, 4.5]] * 4, pointNames=ODD_NAMES, featureNames=ODD_NAMES)
    obj._saveCSV_implementation(path, True, True)
    text = readBytes(path).decode("utf-8")
    assert text.startswith('pointNames,"comma,name","quote""name","line\nbreak",naïve')
    with open(path, newline="", encoding="utf-8") as file:
        rows = list(csv.reader(file))
    assert rows[0] == ["pointNames"] + ODD_NAMES
    assert [row[0] for row in rows[1:]] == ODD_NAMES
    back = pd.read_csv(path, index_col=0)
    assert list(back.columns) == ODD_NAMES and list(back.index) == ODD_NAMES
    assert back.to_numpy().tolist() == [[1.5, 2.5, 3.5, 4.5]] * 4
    assertDefaultLabels(obj)


def test_csv_mixed_and_datetime_values(make, mixed_table, path):
    table = mixed_table.copy()
    table[4] = pd.to_datetime(["2020-01-01", "2020-01-02", None])
    obj = make(table, featureNames=list("abcde"))
    obj._saveCSV_implementation(path, False, True)
    back = pd.read_csv(path, parse_dates=["e"])
    assert back["a"].tolist() == [1, 2, 3]
    assert back["e"].isna().tolist() == [False, False, True]
    assert list(obj._data.dtypes) == list(table.dtypes)


def test_csv_missing_directory(small, tmp_path):
    target = str(tmp_path / "no" / "out.csv")
    with pytest.raises(FileNotFoundError) as info:
        small._saveCSV_implementation(target, True, True)
    assert (info.value.filename, info.value.filename2) == (target, None)
    assert str(info.value) == f"[Errno 2] No such file or directory: {target!r}"
    assertDefaultLabels(small)


def test_csv_unwritable_path(small, tmp_path):
    with pytest.raises(IsADirectoryError):
        small._saveCSV_implementation(str(tmp_path), True, True)
    assertDefaultLabels(small)


class Boom(Exception):
    pass


def test_csv_failing_names_leave_labels_and_the_file(small, path, monkeypatch):
    with open(path, "w") as file:
        file.write("previous")
    opened = []
    realOpen = builtins.open

    def recordingOpen(*args, **kwds):
        file = realOpen(*args, **kwds)
        opened.append((args, kwds, file))
        return file

    monkeypatch.setattr(builtins, "open", recordingOpen)

    def broken():
        raise Boom("names")

    monkeypatch.setattr(type(small.points), "getNames", lambda self: broken())
    with pytest.raises(Boom):
        small._saveCSV_implementation(path, True, True)
    (args, kwds, file), = opened
    # written beside the target under a temporary name, never into it
    assert os.path.dirname(args[0]) == os.path.dirname(path) and args[1] == "x"
    assert kwds == {"encoding": "utf-8", "newline": ""} and file.closed
    assert readBytes(path) == b"previous" and os.listdir(os.path.dirname(path)) == ["out.file"]
    assertDefaultLabels(small)


def test_csv_wrong_name_count_restores_labels(small, path, monkeypatch):
    monkeypatch.setattr(type(small.points), "getNames", lambda self: ["only one"])
    with pytest.raises(ValueError):
        small._saveCSV_implementation(path, True, True)
    assertDefaultLabels(small)


def test_csv_failing_write_restores_labels_and_keeps_the_file(small, path):
    small._saveCSV_implementation(path, False, False)
    written = readBytes(path)

    def broken(stream, *args, **kwds):
        stream.write("1,2\n")
        raise Boom("disk full")

    small._data.to_csv = broken
    with pytest.raises(Boom):
        small._saveCSV_implementation(path, True, True)
    assertDefaultLabels(small)
    assert readBytes(path) == written and os.listdir(os.path.dirname(path)) == ["out.file"]
    assert small._data.to_numpy().tolist() == [[1, 2], [3, 4]]


def test_csv_failing_flag(small, path):
    class Flag:
        calls = 0

        def __bool__(self):
            Flag.calls += 1
            if Flag.calls > 2:
                raise Boom("flag")
            return True

    with pytest.raises(Boom):
        small._saveCSV_implementation(path, True, Flag())
    assertDefaultLabels(small)


def test_csv_argument_count(small):
    with pytest.raises(TypeError) as info:
        small._saveCSV_implementation("x")
    assert str(info.value) == ("_saveCSV_implementation() takes exactly 4 positional arguments "
                               "(2 given)")


@settings(max_examples=30, deadline=None)
@given(st.lists(st.text(min_size=1, max_size=8).filter(lambda n: n.strip() == n and "\r" not in n),
                min_size=1, max_size=4, unique=True),
       st.integers(min_value=0, max_value=3))
def test_csv_names_round_trip_through_csv_module(tmp_path_factory, names, rows):
    from kestro.core.data.dataframe import DataFrame

    obj = DataFrame(np.arange(rows * len(names), dtype=float).reshape(rows, len(names)),
                    featureNames=names)
    path = str(tmp_path_factory.mktemp("csv") / "out.csv")
    obj._saveCSV_implementation(path, False, True)
    with open(path, newline="", encoding="utf-8") as file:
        read = list(csv.reader(file))
    assert read[0] == names
    assert [[float(v) for v in row] for row in read[1:]] == obj._data.to_numpy().tolist()


# Matrix Market ----------------------------------------------------------------

@pytest.fixture
def mtxPath(tmp_path):
    # scipy's writer appends ".mtx" to a name without that extension
    return str(tmp_path / "out.mtx")


def commentLines(path):
    lines = readBytes(path).decode().splitlines()
    assert lines[0].startswith("%%MatrixMarket matrix array real")
    return [line for line in lines[1:] if line.startswith("%")]


@pytest.mark.parametrize("points, features, expected", [
    (True, True, ["%#x,y", "%#a,b"]),
    (True, False, ["%#x,y"]),
    (False, True, ["%#", "%#a,b"]),
    (False, False, ["%#"]),
])
def test_mtx_comment_block(small, mtxPath, points, features, expected):
    before = small._data.copy()
    assert small._saveMTX_implementation(mtxPath, points, features) is None
    assert commentLines(mtxPath) == expected
    back = scipy.io.mmread(mtxPath)
    assert back.dtype == np.float64 and back.tolist() == [[1.0, 2.0], [3.0, 4.0]]
    pd.testing.assert_frame_equal(small._data, before)


@pytest.mark.parametrize("features", [["naïve", "b c"], ["名前", "b c"]])
def test_mtx_names_written_unchanged(make, mtxPath, features):
    obj = make([[True, 2]], pointNames=["comma,name"], featureNames=features)
    obj._saveMTX_implementation(mtxPath, 1, 1)
    # UTF-8 whichever encoding the scipy release writes its comments in
    expected = b"%#comma,name\n%#" + ",".join(features).encode("utf-8") + b"\n"
    assert expected in readBytes(mtxPath)
    assert scipy.io.mmread(mtxPath).tolist() == [[1.0, 2.0]]


def test_mtx_default_names(make, mtxPath):
    obj = make([[1.0, 2.0]])
    obj._saveMTX_implementation(mtxPath, True, True)
    assert commentLines(mtxPath) == ["%#" + ",".join(obj.points.getNames()),
                                  "%#" + ",".join(obj.features.getNames())]


@pytest.mark.parametrize("columns, field, expected", [
    ({"a": [2**62 + 1, -2**63], "b": [2**63 - 1, 3]}, "integer",
     [[2**62 + 1, 2**63 - 1], [-2**63, 3]]),
    ({"a": [True, False], "b": np.array([2**63 - 1, 7], dtype=np.uint64)}, "integer",
     [[1, 2**63 - 1], [0, 7]]),
    ({"a": [0.1 + 0.2, 1e300], "b": [2**53, -1]}, "real", [[0.1 + 0.2, 2**53], [1e300, -1]]),
    ({"a": np.array([1 + 0j, 2.5 + 0j]), "b": [True, False]}, "real", [[1, 1], [2.5, 0]]),
    ({"a": np.array([1.5, 2], dtype=np.float32), "b": np.array([1, None], dtype=object)}, "real",
     [[1.5, 1], [2, np.nan]]),
])
def test_mtx_field_keeps_every_value(tmp_path, columns, field, expected):
    import kestro

    target = tmp_path / "out.mtx"
    obj = kestro.data(pd.DataFrame(columns))
    before = obj._data.copy()
    obj.save(str(target))
    assert readBytes(target).startswith(f"%%MatrixMarket matrix array {field} general".encode())
    back = scipy.io.mmread(str(target))
    assert back.dtype == (np.int64 if field == "integer" else np.float64)
    np.testing.assert_array_equal(back, np.array(expected, dtype=back.dtype), strict=True)
    pd.testing.assert_frame_equal(obj._data, before)


@pytest.mark.parametrize("columns, feature", [
    ({"a": [1.0, 2.0], "b": np.array([1 + 2j, 3 + 0j])}, "b"),
    ({"a": [2**62 + 1, 1], "b": [0.5, 1.0]}, "a"),
    ({"a": [1, 2], "b": np.array([2**64 - 1, 0], dtype=np.uint64)}, "b"),
    ({"a": [1, 2], "b": pd.to_datetime(["2020-01-01", "2020-01-02"])}, "b"),
    ({"a": [1, 2], "b": np.array([2**70 + 1, 1], dtype=object)}, "b"),
])
def test_mtx_refuses_values_no_field_holds(tmp_path, columns, feature):
    import kestro
    from kestro.exceptions import InvalidArgumentValue

    target = tmp_path / "out.mtx"
    target.write_text("keep")
    obj = kestro.data(pd.DataFrame(columns))
    before = obj._data.copy()
    with pytest.raises(InvalidArgumentValue, match=f"^feature '{feature}' "):
        obj.save(str(target))
    assert readBytes(target) == b"keep" and os.listdir(tmp_path) == ["out.mtx"]
    pd.testing.assert_frame_equal(obj._data, before)


def test_mtx_text_raises_the_conversion_error(tmp_path):
    import kestro
    from kestro.exceptions import KestroException

    target = tmp_path / "out.mtx"
    target.write_text("keep")
    obj = kestro.data(pd.DataFrame({"a": [1, 2], "b": [None, "text"]}))
    with pytest.raises(ValueError, match="^could not convert string to float: 'text'$") as info:
        obj.save(str(target))
    assert not isinstance(info.value, KestroException)
    assert readBytes(target) == b"keep" and os.listdir(tmp_path) == ["out.mtx"]


def test_mtx_names_that_are_not_strings(small, mtxPath, monkeypatch):
    monkeypatch.setattr(type(small.features), "getNames", lambda self: ["a", 2])
    with pytest.raises(TypeError, match="sequence item 1: expected str instance, int found"):
        small._saveMTX_implementation(mtxPath, False, True)
    assert not os.path.exists(mtxPath)


@pytest.mark.parametrize("flags", [(False, False), (True, True)])
def test_mtx_without_scipy(small, mtxPath, flags, monkeypatch):
    def broken(self):
        raise AssertionError("names read before the check")

    monkeypatch.setattr(type(small.points), "getNames", broken)
    with scipyProxy.forcedUnavailable():
        with pytest.raises(PackageException) as info:
            small._saveMTX_implementation(mtxPath, *flags)
    assert str(info.value) == "scipy is not available"
    assert not os.path.exists(mtxPath)


@pytest.mark.parametrize("name, error", [("no/x.mtx", FileNotFoundError),
                                         ("no/x", FileNotFoundError),
                                         ("folder.mtx", IsADirectoryError),
                                         ("folder", IsADirectoryError)])
def test_mtx_unwritable_paths_raise(small, tmp_path, name, error):
    # recent scipy writers fail silently here; the loss must not go unnoticed
    (tmp_path / "folder.mtx").mkdir()
    with pytest.raises(error) as info:
        small._saveMTX_implementation(str(tmp_path / name), True, True)
    # the error names the file asked for, never the temporary one beside it
    assert info.value.filename == str(tmp_path / name).removesuffix(".mtx") + ".mtx"
    assert info.value.filename2 is None
    assertDefaultLabels(small)


def test_mtx_existing_file_without_extension(small, tmp_path):
    target = tmp_path / "plain"
    small._saveMTX_implementation(str(target), False, False)
    assert scipy.io.mmread(str(target) + ".mtx").tolist() == [[1.0, 2.0], [3.0, 4.0]]
    assert not target.exists()


def test_mtx_file_object_target(small):
    import io

    stream = io.BytesIO()
    small._saveMTX_implementation(stream, True, False)
    assert b"%#x,y" in stream.getvalue()


def test_mtx_replaces_the_file_atomically(small, tmp_path, monkeypatch):
    target = tmp_path / "out.mtx"
    target.write_text("previous")
    target.chmod(0o640)
    small._saveMTX_implementation(str(target), True, True)
    assert scipy.io.mmread(str(target)).tolist() == [[1.0, 2.0], [3.0, 4.0]]
    assert target.stat().st_mode & 0o777 == 0o640 and os.listdir(tmp_path) == ["out.mtx"]
    written = readBytes(target)

    def failsPartWay(stream, *args, **kwds):
        stream.write(b"%%MatrixMarket matrix array real general\n")
        raise Boom("late failure")

    monkeypatch.setattr(scipy.io, "mmwrite", failsPartWay)
    with pytest.raises(Boom):
        small._saveMTX_implementation(str(target), True, True)
    assert readBytes(target) == written and os.listdir(tmp_path) == ["out.mtx"]
    assertDefaultLabels(small)


@pytest.mark.parametrize("hook", ["_saveMTX_implementation", "_saveCSV_implementation"])
def test_paths_refused_before_any_file_is_touched(small, tmp_path, monkeypatch, hook):
    from kestro.exceptions import InvalidArgumentType, InvalidArgumentValue

    monkeypatch.chdir(tmp_path)
    with open(tmp_path / "mine", "w+") as mine:
        mine.write("mine")
        mine.flush()
        for outPath, error in [(mine.fileno(), InvalidArgumentType), (2.5, InvalidArgumentType),
                               ("", InvalidArgumentValue), (b"", InvalidArgumentValue),
                               (Path(""), InvalidArgumentValue), ("sub/", InvalidArgumentValue),
                               (b"..", InvalidArgumentValue)]:
            with pytest.raises(error, match="outPath"):
                getattr(small, hook)(outPath, True, True)
        os.fstat(mine.fileno())  # the caller's descriptor is still open
    assert readBytes(tmp_path / "mine") == b"mine" and os.listdir(tmp_path) == ["mine"]
    assertDefaultLabels(small)


@pytest.mark.skipif(not os.access("/dev/full", os.W_OK), reason="needs a writable /dev/full")
@pytest.mark.parametrize("hook", ["_saveMTX_implementation", "_saveCSV_implementation"])
def test_full_device_reports_the_failure(small, hook):
    with pytest.raises(OSError) as info:
        getattr(small, hook)("/dev/full", True, True)
    # closing the file fails too, and says so the way a `with` block would
    assert isinstance(info.value.__context__, OSError)
    assert not os.path.exists("/dev/full.mtx")
    assertDefaultLabels(small)


FILE_SIZE_LIMIT = """
import os, resource, sys
import numpy as np
import kestro
small = kestro.data([[1.5]])
big = kestro.data(np.arange(20000.0).reshape(200, 100))
for suffix in ("mtx", "csv"):
    target = os.path.join(sys.argv[1], "out." + suffix)
    small.save(target)
    with open(target, "rb") as file:
        before = file.read()
    resource.setrlimit(resource.RLIMIT_FSIZE, (4096, resource.RLIM_INFINITY))
    try:
        big.save(target)
    except OSError as error:
        print(suffix, "raised", type(error).__name__)
    else:
        print(suffix, "succeeded")
    resource.setrlimit(resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY,) * 2)
    with open(target, "rb") as file:
        print(suffix, "kept" if file.read() == before else "changed")
print(sorted(os.listdir(sys.argv[1])))
"""


def test_file_size_limit_reports_the_failure(tmp_path):
    import subprocess
    import sys

    import kestro

    folder = tmp_path / "out"
    folder.mkdir()
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(kestro.__file__)))
    run = subprocess.run([sys.executable, "-W", "error", "-c", FILE_SIZE_LIMIT, str(folder)],
                         capture_output=True, text=True, env=env, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == ["mtx raised OSError", "mtx kept", "csv raised OSError",
                                       "csv kept", "['out.csv', 'out.mtx']"]


# through the public operation ---------------------------------------------------

def test_public_save_round_trips(tmp_path):
    import kestro

    obj = kestro.data([[1.5, 2.0], [3.0, 4.25]], pointNames=["x", "y"],
                      featureNames=["first, second", "naïve"])
    csvPath, mtxPath = tmp_path / "out.csv", tmp_path / "out.mtx"
    obj.save(csvPath)
    back = pd.read_csv(csvPath, index_col=0)
    assert list(back.index) == ["x", "y"] and list(back.columns) == ["first, second", "naïve"]
    assert back.to_numpy().tolist() == [[1.5, 2.0], [3.0, 4.25]]
    obj.save(str(mtxPath))
    assert scipy.io.mmread(str(mtxPath)).tolist() == [[1.5, 2.0], [3.0, 4.25]]
    assertDefaultLabels(obj)
