"""kestro.exceptions, kestro._utility and the cheap package import."""
import datetime
import subprocess
import sys
from fractions import Fraction

import numpy as np
import pandas as pd
import pytest

from kestro import exceptions
from kestro._utility import (LazyModule, allowedNumpyDType, inheritDocstringsFactory,
                             isAllowedSingleElement, pandasDataFrameToList, pd as lazyPd,
                             scipy as lazyScipy)


def test_import_is_light():
    code = ("import sys, kestro; heavy = [m for m in ('numpy', 'pandas', 'scipy', "
            "'kestro.core') if m in sys.modules]; print(heavy)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         check=True).stdout
    assert out.strip() == "[]"


@pytest.mark.parametrize("cls", [exceptions.InvalidArgumentType, exceptions.InvalidArgumentValue,
                                 exceptions.PackageException, exceptions.ImproperObjectAction])
def test_exceptions_are_not_builtin_value_or_type_errors(cls):
    error = cls("the message")
    assert isinstance(error, exceptions.KestroException)
    assert not isinstance(error, (TypeError, ValueError))
    assert str(error) == "the message"


@pytest.mark.parametrize("dtype, allowed", [
    (np.dtype(bool), True), (np.dtype(np.int8), True), (np.dtype(np.uint64), True),
    (np.dtype(np.float32), True), (np.dtype(np.complex128), True), (np.dtype(object), True),
    (np.dtype("M8[ns]"), True), (np.float64, True),
    (np.dtype("U5"), False), (np.dtype("S3"), False), (np.dtype("m8[ns]"), True),
    (np.dtype([("a", int)]), False), (pd.CategoricalDtype(), False),
    (pd.Int64Dtype(), False), (pd.StringDtype(), False), ("float64", False), (float, False),
])
def test_allowedNumpyDType(dtype, allowed):
    assert allowedNumpyDType(dtype) is allowed


@pytest.mark.parametrize("value", [
    None, True, 3, 2.5, float("nan"), 1 + 2j, "text", np.int32(4), np.float32("nan"),
    np.bool_(False), np.str_("s"), Fraction(1, 3), datetime.datetime(2020, 1, 2),
    datetime.date(2020, 1, 2), np.datetime64("2020-01-02"), pd.Timestamp("2020-01-02"),
    pd.NaT, np.timedelta64(1, "s"), datetime.timedelta(1), pd.Timedelta(1),
])
def test_isAllowedSingleElement_accepts(value):
    assert isAllowedSingleElement(value) is True


@pytest.mark.parametrize("value", [
    [1], (1,), {}, {1}, np.array([1]), np.array(1.0), b"bytes", object(),
    pd.Series([1]),
])
def test_isAllowedSingleElement_refuses(value):
    assert isAllowedSingleElement(value) is False


def test_inheritDocstrings_fills_only_missing_and_skips_unsettable():
    class Donor:
        def documented(self):
            """donor doc"""

        def missing(self):
            """donor for missing"""

        unsettable = "anything"  # offers str's docstring

    class ReadOnlyDoc:
        __slots__ = ()
        __doc__ = None

    class Target:
        def documented(self):
            """own doc"""

        def missing(self):
            pass

        unsettable = ReadOnlyDoc()  # its __doc__ cannot be set

    decorated = inheritDocstringsFactory(Donor)(Target)
    assert decorated is Target
    assert Target.documented.__doc__ == "own doc"
    assert Target.missing.__doc__ == "donor for missing"


def test_pandasDataFrameToList_keeps_column_types():
    frame = pd.DataFrame({"i": [1, 2], "f": [0.5, np.nan], "s": pd.Series(["a", None], dtype=object)})
    rows = pandasDataFrameToList(frame)
    assert rows[0] == [1, 0.5, "a"] and type(rows[0][0]) is int
    assert rows[1][2] is None and np.isnan(rows[1][1])
    assert pandasDataFrameToList(pd.DataFrame(index=range(2))) == [[], []]


@pytest.mark.parametrize("proxy, attribute", [(lazyPd, "DataFrame"), (lazyScipy, "sparse")])
def test_lazy_proxy_switch(proxy, attribute):
    assert proxy.kestroAccessible() is True
    with pytest.raises(RuntimeError):
        with proxy.forcedUnavailable():
            assert proxy.kestroAccessible() is False
            getattr(proxy, attribute)  # still reachable while declared unavailable
            raise RuntimeError
    assert proxy.kestroAccessible() is True
    proxy.setForcedUnavailable(True)
    try:
        assert proxy.kestroAccessible() is False
    finally:
        proxy.setForcedUnavailable(False)
    assert proxy.kestroAccessible() is True


def test_scipy_proxy_loads_submodules():
    assert callable(lazyScipy.io.mmwrite) and callable(lazyScipy.sparse.coo_matrix)


def test_missing_library_is_reported_not_raised():
    missing = LazyModule("kestro_no_such_library")
    assert missing.kestroAccessible() is False
    with pytest.raises(ImportError):
        missing.anything
