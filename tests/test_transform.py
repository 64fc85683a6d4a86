"""Element-wise transform in place: the native walk against a plain-Python
reading of the element walk (`iat` read, `iloc` write, datetime columns
turning object when they receive numbers or strings)."""
import itertools
import math
import numbers
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from leakcheck import assert_no_growth

PANDAS2 = int(pd.__version__.split(".")[0]) >= 2


def prepared(function, oneArg=True):
    """A function the way the host hands it over: with `oneArg`."""

    def call(*args):
        return function(*args)

    call.oneArg = oneArg
    return call


def reference_walk(obj, toTransform, points, features):
    """The element walk, literally."""
    ids = itertools.product(range(len(obj.points)), range(len(obj.features)))
    for i, j in ids:
        currVal = obj._data.iat[i, j]
        if points is not None and i not in points:
            continue
        if features is not None and j not in features:
            continue
        if toTransform.oneArg:
            currRet = toTransform(currVal)
        else:
            currRet = toTransform(currVal, i, j)
        if obj._data.dtypes.iloc[j].type == np.datetime64 and isinstance(
            currRet, (numbers.Number, str)
        ):
            obj._data[j] = obj._data[j].astype(object)
        obj._data.iloc[i, j] = currRet


def same_value(a, b):
    if type(a) is not type(b):
        return False
    if a is b:
        return True
    try:
        if bool(a == b):
            return True
        return bool(a != a) and bool(b != b)  # NaN, NaT, complex NaN
    except Exception:
        return repr(a) == repr(b)


def assert_same_table(actual, expected):
    assert actual.shape == expected.shape
    assert list(actual.dtypes) == list(expected.dtypes)
    for j in range(expected.shape[1]):
        for i in range(expected.shape[0]):
            a, e = actual.iat[i, j], expected.iat[i, j]
            assert same_value(a, e), (i, j, a, e)


def run_both(make, table, function, points=None, features=None, oneArg=True):
    """Run the hook and the reference on copies of `table`; return both
    objects, call logs and raised exceptions."""
    outcomes = []
    for route in ("native", "reference"):
        obj = make(table.copy())
        log = []

        def logged(*args):
            log.append(args)
            return function(*args)

        toTransform = prepared(logged, oneArg)
        raised = None
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                if route == "native":
                    obj._transform_implementation(toTransform, points, features)
                else:
                    reference_walk(obj, toTransform, points, features)
            except Exception as error:  # compared below
                raised = error
        outcomes.append((obj, log, raised))
    return outcomes


def assert_equivalent(outcomes):
    (native, nlog, nraised), (ref, rlog, rraised) = outcomes
    assert type(nraised) is type(rraised), (nraised, rraised)
    if rraised is not None:
        assert str(nraised) == str(rraised)
    assert len(nlog) == len(rlog)
    for got, want in zip(nlog, rlog):
        assert len(got) == len(want)
        assert all(same_value(g, w) for g, w in zip(got, want)), (got, want)
    assert_same_table(native._data, ref._data)


# --- random tables and functions -------------------------------------------

KINDS = ["int64", "float64", "object", "bool", "datetime", "float32", "int32"]


def column_values(kind, n):
    if kind == "int64":
        return st.lists(st.integers(-(2**40), 2**40), min_size=n, max_size=n).map(
            lambda v: np.array(v, dtype=np.int64))
    if kind == "float64":
        return st.lists(st.floats(allow_nan=True, width=64), min_size=n, max_size=n).map(
            lambda v: np.array(v, dtype=np.float64))
    if kind == "float32":
        return st.lists(st.floats(-1e6, 1e6, width=32), min_size=n, max_size=n).map(
            lambda v: np.array(v, dtype=np.float32))
    if kind == "int32":
        return st.lists(st.integers(-1000, 1000), min_size=n, max_size=n).map(
            lambda v: np.array(v, dtype=np.int32))
    if kind == "bool":
        return st.lists(st.booleans(), min_size=n, max_size=n).map(
            lambda v: np.array(v, dtype=bool))
    if kind == "datetime":
        return st.lists(st.integers(0, 2**62), min_size=n, max_size=n).map(
            lambda v: pd.to_datetime(np.array(v, dtype="i8").view("M8[ns]")))
    element = st.one_of(st.none(), st.text(max_size=3), st.integers(-5, 5), st.floats(-9, 9),
                        st.booleans())
    return st.lists(element, min_size=n, max_size=n).map(lambda v: np.array(v, dtype=object))


@st.composite
def tables(draw, max_points=5, max_features=5):
    n = draw(st.integers(1, max_points))
    m = draw(st.integers(1, max_features))
    kinds = draw(st.lists(st.sampled_from(KINDS), min_size=m, max_size=m))
    data = {j: draw(column_values(kind, n)) for j, kind in enumerate(kinds)}
    return pd.DataFrame(data)


# What a function may answer for an element, given the value it received.
def _double(v):
    if isinstance(v, (bool, np.bool_)):
        return not v
    if isinstance(v, (numbers.Number, np.number)):
        return v * 2 if not isinstance(v, float) or math.isfinite(v) else v
    return v


ANSWERS = {
    "same": lambda v: v,
    "double": _double,
    "float": lambda v: 2.5,
    "integral float": lambda v: 3.0,
    "nan": lambda v: float("nan"),
    "int": lambda v: 7,
    "huge int": lambda v: 2**70,
    "int64 max": lambda v: 2**63 - 1,
    "np.int64": lambda v: np.int64(-4),
    "np.float64": lambda v: np.float64(1.25),
    "np.float32": lambda v: np.float32(0.5),
    "np.int32": lambda v: np.int32(9),
    "bool": lambda v: True,
    "np.bool_": lambda v: np.False_,
    "None": lambda v: None,
    "str": lambda v: "x",
    "complex": lambda v: 1 + 2j,
    "timestamp": lambda v: pd.Timestamp("2001-02-03 04:05:06.000000007"),
    "aware timestamp": lambda v: pd.Timestamp("2001-02-03", tz="UTC"),
    "NaT": lambda v: pd.NaT,
    "datetime64": lambda v: np.datetime64("1999-12-31T00:00:00", "s"),
    "tuple": lambda v: (1, 2),
}
if PANDAS2:
    ANSWERS["timestamp s"] = lambda v: pd.Timestamp("2500-01-01").as_unit("s")


class Boom(Exception):
    pass


@st.composite
def functions(draw, n, m):
    """A function of (value, i, j) whose answer depends on the position
    only, so both routes see the same answers; it may raise."""
    names = sorted(ANSWERS)
    default = draw(st.sampled_from(names))
    per_column = draw(st.dictionaries(st.integers(0, m - 1), st.sampled_from(names), max_size=m))
    per_element = draw(st.dictionaries(st.tuples(st.integers(0, n - 1), st.integers(0, m - 1)),
                                       st.sampled_from(names + ["raise"]), max_size=4))

    def function(v, i, j):
        name = per_element.get((i, j), per_column.get(j, default))
        if name == "raise":
            raise Boom(f"at {i},{j}")
        return ANSWERS[name](v)

    function.plan = (default, per_column, per_element)
    return function


@st.composite
def cases(draw):
    table = draw(tables())
    n, m = table.shape
    function = draw(functions(n, m))
    points = draw(st.none() | st.lists(st.integers(0, n - 1), max_size=n))
    features = draw(st.none() | st.lists(st.integers(0, m - 1), max_size=m))
    return table, function, points, features


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(cases())
def test_matches_the_element_walk(make, case):
    table, function, points, features = case
    assert_equivalent(run_both(make, table, function, points, features, oneArg=False))


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(tables(max_points=6, max_features=4), st.sampled_from(sorted(ANSWERS)))
def test_one_argument_functions_match_the_walk(make, table, name):
    assert_equivalent(run_both(make, table, ANSWERS[name]))
