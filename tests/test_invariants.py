"""The storage part of the self-consistency check."""
import datetime
import itertools
import os
import pathlib
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings, strategies as st

import kestro
from kestro._utility import allowedNumpyDType, isAllowedSingleElement


@pytest.fixture
def recorder(module, monkeypatch):
    """Record every value the element predicate is given."""
    seen = []

    def predicate(value):
        seen.append(value)
        return isAllowedSingleElement(value)

    monkeypatch.setattr(module, "isAllowedSingleElement", predicate)
    return seen


def at_walk(table):
    return [table.at[pt, ft]
            for pt, ft in itertools.product(range(table.shape[0]), range(table.shape[1]))]


def assert_bare_assertion(call):
    with pytest.raises(AssertionError) as info:
        call()
    assert info.value.args == ()
    assert info.type is AssertionError


MIXED = {
    0: np.array([1, 2, 3], dtype=np.int64),
    1: np.array(["a", None, 3.5], dtype=object),
    2: np.array([True, False, True]),
    3: np.array(["2020-01-01", "NaT", "2021-02-03"], dtype="datetime64[ns]"),
    4: np.array([1.5, np.nan, 2.5], dtype=np.float32),
    5: np.array([1 + 2j, 0j, 3j]),
    6: np.array([datetime.date(2020, 1, 1), pd.Timestamp(0), np.int8(3)], dtype=object),
}


@pytest.mark.parametrize("level", [0, 1, 2, 5])
def test_consistent_objects_pass(make, level):
    for source in ([[1, 2], [3, 4]], pd.DataFrame(MIXED), pd.DataFrame(np.zeros((0, 3))),
                   pd.DataFrame(index=pd.RangeIndex(4)), pd.DataFrame()):
        obj = make(source)
        assert obj._checkInvariants_implementation(level) is None
        obj.checkInvariants(level=level)


@pytest.mark.parametrize("breakIt", [
    lambda o: setattr(o._data, "index", pd.RangeIndex(1, 4)),
    lambda o: setattr(o._data, "index", pd.Index([0, 2, 1])),
    lambda o: setattr(o._data, "index", pd.Index(["0", "1", "2"])),
    lambda o: setattr(o._data, "columns", pd.RangeIndex(0, 4, 2)),
    lambda o: setattr(o._data, "columns", pd.Index([0.0, 1.5])),
    lambda o: setattr(o, "_data", o._data.iloc[:2]),
    lambda o: setattr(o, "_data", o._data.iloc[:, :1]),
    lambda o: o._data.insert(2, 2, pd.array([1, None, 3], dtype="Int64")),   # extension dtype
])
def test_broken_tables_fail_with_a_bare_assertion(make, breakIt):
    obj = make(pd.DataFrame({0: [1, 2, 3], 1: [1.5, 2.5, 3.5]}))
    breakIt(obj)
    assert_bare_assertion(lambda: obj._checkInvariants_implementation(1))


def test_string_array_column_is_refused(make):
    obj = make([[1, 2]])
    obj._data = pd.DataFrame({0: [1], 1: pd.array(["x"], dtype="string")})
    assert_bare_assertion(lambda: obj._checkInvariants_implementation(1))


def test_shape_is_checked_before_labels(make, module, monkeypatch):
    obj = make([[1, 2], [3, 4]])
    obj._data.index = pd.Index(["x", "y"])
    obj._dims = [3, 2]
    calls = []
    monkeypatch.setattr(module, "pd", _CountingPandas(calls))
    assert_bare_assertion(lambda: obj._checkInvariants_implementation(1))
    assert calls == []


class _CountingPandas:
    def __init__(self, calls):
        self._calls = calls

    def __getattr__(self, name):
        self._calls.append(name)
        return getattr(pd, name)


def test_level_one_never_scans(make, recorder):
    obj = make(pd.DataFrame({0: np.array([[1], {}], dtype=object)}))
    obj._checkInvariants_implementation(1)
    obj._checkInvariants_implementation(True)       # True > 1 is False
    assert recorder == []
    assert_bare_assertion(lambda: obj._checkInvariants_implementation(2))


def test_numeric_tables_skip_the_scan(make, recorder):
    obj = make(pd.DataFrame({0: [1, 2], 1: [0.5, 1.5], 2: [True, False]}))
    obj._checkInvariants_implementation(10)
    assert recorder == []


@pytest.mark.parametrize("source", [
    pd.DataFrame(MIXED),
    pd.DataFrame(np.array([["a", 1, None], [2.5, "b", np.nan]], dtype=object)),
    pd.DataFrame({0: np.array(["x", "y"], dtype=object), 1: np.array([3, 4], dtype=object)}),
])
def test_scan_sees_what_at_yields_in_row_major_order(make, recorder, source):
    obj = make(source)
    obj._checkInvariants_implementation(2)
    expected = at_walk(obj._data)
    isObject = [d == object for d in obj._data.dtypes] * obj._data.shape[0]
    assert len(recorder) == len(expected)
    for got, want, stored in zip(recorder, expected, isObject):
        assert type(got) is type(want)
        if stored:
            assert got is want
        else:
            assert got == want or (pd.isna(got) and pd.isna(want))


def test_scan_passes_stored_objects_themselves(make, recorder):
    stored = [object() for _ in range(6)]
    frame = pd.DataFrame(np.array(stored, dtype=object).reshape(2, 3))
    obj = make(frame, reuseData=True)
    with pytest.raises(AssertionError):
        obj._checkInvariants_implementation(2)
    assert recorder == [stored[0]]           # stops at the first refused element
    mixed = pd.DataFrame({0: [1, 2], 1: np.array(stored[:2], dtype=object)})
    recorder.clear()
    with pytest.raises(AssertionError):
        make(mixed, reuseData=True)._checkInvariants_implementation(2)
    assert len(recorder) == 2 and recorder[1] is stored[0]
    assert type(recorder[0]) is np.int64


def test_scan_reports_first_rejected_in_row_major_order(make, module, monkeypatch):
    seen = []
    frame = pd.DataFrame({0: np.array(["ok", "ok", "bad"], dtype=object),
                          1: np.array(["ok", "bad", "ok"], dtype=object)})

    def predicate(value):
        seen.append(value)
        return value != "bad"

    monkeypatch.setattr(module, "isAllowedSingleElement", predicate)
    assert_bare_assertion(lambda: make(frame)._checkInvariants_implementation(2))
    assert seen == ["ok", "ok", "ok", "bad"]


@pytest.mark.parametrize("verdict, error", [
    (lambda v: np.bool_(False), AssertionError),
    (lambda v: 0, AssertionError),
    (lambda v: [], AssertionError),
    (lambda v: np.array([1, 2]), ValueError),        # ambiguous truth value
    (lambda v: 1 / 0, ZeroDivisionError),
])
def test_odd_predicate_results(make, module, monkeypatch, verdict, error):
    monkeypatch.setattr(module, "isAllowedSingleElement", verdict)
    obj = make(pd.DataFrame({0: np.array(["x"], dtype=object)}))
    with pytest.raises(error):
        obj._checkInvariants_implementation(2)


def test_predicate_that_rewrites_the_table(make, module, monkeypatch):
    obj = make(pd.DataFrame(np.array([["a"] * 4] * 5, dtype=object)))
    calls = []

    def predicate(value):
        calls.append(value)
        obj._data = pd.DataFrame([[1]])           # drop the table mid-scan
        obj._dims = [1, 1]
        return True

    monkeypatch.setattr(module, "isAllowedSingleElement", predicate)
    obj._checkInvariants_implementation(2)    # scans its own snapshot, no crash
    assert calls == ["a"] * 20


def test_predicate_that_overwrites_elements(make, module, monkeypatch):
    frame = pd.DataFrame(np.array([["a", "b"], ["c", "d"]], dtype=object))
    obj = make(frame, reuseData=True)
    calls = []

    def predicate(value):
        calls.append(value)
        values = obj._data.to_numpy()
        values[:] = "z"
        return True

    monkeypatch.setattr(module, "isAllowedSingleElement", predicate)
    obj._checkInvariants_implementation(2)
    assert calls[0] == "a" and len(calls) == 4


def test_data_that_is_not_a_table(make):
    obj = make([[1, 2]])
    obj._data = np.array([[1, 2]])
    with pytest.raises(AttributeError):
        obj._checkInvariants_implementation(1)


def test_level_compared_as_python_does(make):
    obj = make([[1]])
    with pytest.raises(TypeError):
        obj._checkInvariants_implementation("2")
    obj._checkInvariants_implementation(1.5)


def test_arity(make):
    with pytest.raises(TypeError) as info:
        make([[1]])._checkInvariants_implementation()
    assert str(info.value) == ("_checkInvariants_implementation() takes exactly 2 positional "
                               "arguments (1 given)")


OPTIMISED_SCRIPT = """
import pandas as pd
import kestro.core.data.dataframe as m
obj = m.DataFrame(pd.DataFrame({0: ["a"]}))
m.isAllowedSingleElement = lambda v: 1 / 0
obj._data.index = pd.Index(["x"])
print(repr(obj._checkInvariants_implementation(2)))
"""


@pytest.mark.parametrize("flag, expected", [("-O", "None"), ("-OO", "None"), (None, "Error")])
def test_no_checks_when_assertions_are_disabled(flag, expected):
    args = [sys.executable] + ([flag] if flag else []) + ["-c", OPTIMISED_SCRIPT]
    # The child imports the same package this run imports, installed or in place.
    packageRoot = str(pathlib.Path(kestro.__file__).resolve().parents[1])
    env = dict(os.environ, PYTHONPATH=packageRoot + os.pathsep + os.environ.get("PYTHONPATH", ""))
    run = subprocess.run(args, capture_output=True, text=True, env=env)
    if expected == "None":
        assert run.returncode == 0, run.stderr
        assert run.stdout.strip() == "None"
    else:
        assert run.returncode != 0
        assert run.stderr.strip().splitlines()[-1] == "AssertionError"


# ---- property: the scan matches the label-based walk ----------------------------------------

ELEMENTS = st.one_of(st.none(), st.integers(-5, 5), st.floats(allow_nan=True),
                     st.text(max_size=2), st.booleans(),
                     st.sampled_from([(1,), b"x", np.timedelta64(1, "D"), {"a": 1}]))


@settings(max_examples=60, deadline=None)
@given(st.integers(0, 4), st.lists(st.sampled_from(["object", "int", "float", "bool"]),
                                   min_size=1, max_size=4), st.data())
def test_scan_matches_the_at_walk(rows, kinds, data):
    import kestro.core.data.dataframe as module
    columns = {}
    for j, kind in enumerate(kinds):
        if kind == "object":
            values = data.draw(st.lists(ELEMENTS, min_size=rows, max_size=rows))
            column = np.empty(rows, dtype=object)
            column[:] = values if rows else []
            # an object Series: pandas 1.5 would infer other types from a bare array
            columns[j] = pd.Series(column, dtype=object, index=pd.RangeIndex(rows))
        else:
            columns[j] = np.arange(rows).astype(kind)
    frame = pd.DataFrame(columns, index=pd.RangeIndex(rows))
    obj = module.DataFrame(frame)
    seen = []

    def predicate(value):
        seen.append(value)
        return isAllowedSingleElement(value)

    original = module.isAllowedSingleElement
    module.isAllowedSingleElement = predicate
    try:
        try:
            obj._checkInvariants_implementation(2)
            passed = True
        except AssertionError as error:
            assert error.args == ()
            passed = False
    finally:
        module.isAllowedSingleElement = original
    expected = at_walk(obj._data)
    dtypes = list(obj._data.dtypes)
    scanned = all(allowedNumpyDType(d) for d in dtypes) and object in dtypes
    verdicts = [isAllowedSingleElement(v) for v in expected] if scanned else []
    stop = verdicts.index(False) + 1 if False in verdicts else len(verdicts)
    assert passed == (all(allowedNumpyDType(d) for d in dtypes) and all(verdicts))
    assert len(seen) == stop
    for got, want in zip(seen, expected):
        assert type(got) is type(want)
        assert got is want or not isinstance(want, (str, tuple, dict, bytes)) or got == want
