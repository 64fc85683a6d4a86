"""
Small helpers shared across kestro: element and dtype checks, docstring
inheritance, and lazily imported handles for the optional libraries pandas
and scipy.
"""

from __future__ import annotations

import contextlib
import datetime
import importlib
import numbers
import sys

import numpy as np

# numpy dtype kinds a data object may store: boolean, signed and unsigned
# integer, float, complex, object, datetime64 and timedelta64.
_ALLOWED_DTYPE_KINDS = frozenset("biufcOMm")


def allowedNumpyDType(dtype) -> bool:
    """
    Return True when ``dtype`` is a numpy dtype that a data object may
    store: boolean, integer, float, complex, object, datetime64 or
    timedelta64.

    Anything else is refused: pandas extension dtypes, fixed-width string
    dtypes ('U', 'S'), structured (void) dtypes and values that
    are not dtypes at all. A numpy scalar type such as ``numpy.float64`` is
    judged by the dtype it stands for.
    """
    if isinstance(dtype, type) and issubclass(dtype, np.generic):
        dtype = np.dtype(dtype)
    return isinstance(dtype, np.dtype) and dtype.kind in _ALLOWED_DTYPE_KINDS


# Exact types accepted without further checks; the common case in the
# per-element scans must stay cheap.
_SINGLE_EXACT = frozenset([
    type(None), bool, int, float, complex, str, datetime.datetime,
    np.bool_, np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16,
    np.uint32, np.uint64, np.float16, np.float32, np.float64,
    np.complex64, np.complex128, np.datetime64, np.str_,
])
_SINGLE_ACCEPTED = (numbers.Number, str, datetime.date, datetime.timedelta, np.bool_,
                    np.datetime64, np.timedelta64)
_SINGLE_REFUSED = (np.void, np.bytes_)


def isAllowedSingleElement(value) -> bool:
    """
    Return True when ``value`` may be stored as one element of a data
    object: None, a bool, a number (Python or numpy, NaN included), a string,
    a date/time value (datetime, numpy.datetime64, pandas.Timestamp) or a
    time span (timedelta, numpy.timedelta64, pandas.Timedelta). The pandas
    missing-value markers NaT and NA are accepted too.

    Containers, arrays and arbitrary objects are refused.
    """
    if type(value) in _SINGLE_EXACT:
        return True
    if isinstance(value, _SINGLE_REFUSED):
        return False
    if isinstance(value, _SINGLE_ACCEPTED):
        return True
    pandas = sys.modules.get("pandas")
    return pandas is not None and (value is pandas.NaT or value is pandas.NA)


def inheritDocstringsFactory(toInherit):
    """
    Return a class decorator that gives every attribute of the decorated
    class lacking a docstring the docstring of the same-named attribute of
    ``toInherit``.

    Attributes whose docstring cannot be set (methods of extension types,
    for example) are skipped silently. The decorator returns the class it
    was given.
    """

    def inheritDocstrings(cls):
        for name, attr in list(vars(cls).items()):
            if name == "__doc__" or getattr(attr, "__doc__", None):
                continue
            donorDoc = getattr(getattr(toInherit, name, None), "__doc__", None)
            if not donorDoc:
                continue
            target = getattr(attr, "__func__", attr)  # classmethod, staticmethod
            try:
                target.__doc__ = donorDoc
            except (AttributeError, TypeError):
                pass
        return cls

    return inheritDocstrings


def pandasDataFrameToList(dataframe) -> list:
    """
    Return the values of a pandas DataFrame as a list of point (row) lists.

    Each column keeps its own values: numbers come back as Python numbers of
    that column's kind, datetimes as pandas Timestamps, object columns as
    the stored objects. A frame without columns gives one empty list per row.
    """
    if dataframe.shape[1] == 0:
        return [[] for _ in range(dataframe.shape[0])]
    return [list(row) for row in dataframe.itertuples(index=False, name=None)]


def pandasColumnDtypes(dataframe) -> tuple:
    """
    The element type of each column of a pandas DataFrame, in column order.

    ``DataFrame.dtypes`` builds a Series, and pandas builds it inside a
    ``warnings.catch_warnings`` block; such blocks swap the process-wide
    filter list and are not thread-safe, so threads running them together
    can leave a filter behind for good. The frame's own manager lists the
    types without one; a pandas without that list is read column by column.
    """
    listTypes = getattr(getattr(dataframe, "_mgr", None), "get_dtypes", None)
    if listTypes is not None:
        dtypes = tuple(listTypes())
        if len(dtypes) == dataframe.shape[1]:
            return dtypes
    return tuple(column.dtype for _, column in dataframe.items())


class LazyModule:
    """
    Stand-in for an optional library that is imported on first attribute
    access.

    ``kestroAccessible()`` tells whether the library can be used: False when
    importing it raises ImportError, True otherwise; it never raises. Any
    other error of the import (a MemoryError, a fault inside the library) is
    no answer to that question: the library counts as present, and the
    error is raised again, as it is, by the first attribute access.
    KeyboardInterrupt and SystemExit are never held back. For tests, the library can be
    declared unavailable either with the context manager ``forcedUnavailable()`` or with
    ``setForcedUnavailable(True)`` (undone by ``setForcedUnavailable(False)``);
    while it is declared unavailable ``kestroAccessible()`` returns False but
    attribute access keeps working, so code under test can still reach the
    library once it has checked availability.
    """

    def __init__(self, name: str, submodules: tuple[str, ...] = ()):
        self._name = name
        self._submodules = submodules
        self._module = None
        self._forcedUnavailable = False

    def _load(self):
        if self._module is None:
            module = importlib.import_module(self._name)
            for sub in self._submodules:
                importlib.import_module(self._name + "." + sub)
            self._module = module
        return self._module

    _OWN = frozenset(["_name", "_submodules", "_module", "_forcedUnavailable"])

    def __getattr__(self, attr):
        # only reached for names the proxy itself lacks; its own state is
        # refused so that a half-built proxy (during copy) cannot recurse.
        # What the library gives is kept on the proxy, so that later
        # look-ups of the same name cost no more than the module's own.
        if attr in LazyModule._OWN:
            raise AttributeError(attr)
        value = getattr(self._load(), attr)
        self.__dict__[attr] = value
        return value

    def kestroAccessible(self) -> bool:
        """Return True when the library can be imported and used, False when
        importing it raises ImportError. Never raises: another error of the
        import is left to the first attribute access, which raises it."""
        if self._forcedUnavailable:
            return False
        try:
            self._load()
        except ImportError:
            return False
        except Exception:
            return True
        return True

    def setForcedUnavailable(self, unavailable: bool) -> None:
        """Declare the library unavailable (True) or restore it (False)."""
        self._forcedUnavailable = bool(unavailable)

    @contextlib.contextmanager
    def forcedUnavailable(self):
        """Context in which ``kestroAccessible()`` returns False."""
        previous = self._forcedUnavailable
        self._forcedUnavailable = True
        try:
            yield self
        finally:
            self._forcedUnavailable = previous

    def __repr__(self):
        state = "loaded" if self._module is not None else "not loaded"
        return f"<lazily imported module {self._name!r} ({state})>"


pd = LazyModule("pandas")
scipy = LazyModule("scipy", ("sparse", "io"))
