"""
Helpers shared by the storage variants: building data objects without
validation, value comparison and counting on dense arrays, element
iteration, and conversions between raw formats.

Nothing here imports a storage class at module import time; the classes are
looked up in the package when a function needs them.
"""

from __future__ import annotations

import sys

import numpy as np

from kestro._utility import pandasColumnDtypes
from kestro.exceptions import InvalidArgumentType, InvalidArgumentValue


def _package():
    import kestro.core.data as package
    return package


def _pandasFrameType():
    pandas = sys.modules.get("pandas")
    return None if pandas is None else pandas.DataFrame


def _isSparseMatrix(data) -> bool:
    return hasattr(data, "tocoo") and hasattr(data, "toarray") and hasattr(data, "nnz")


def isMissing(value) -> bool:
    """True for None and for values unequal to themselves (NaN, NaT)."""
    if value is None:
        return True
    try:
        return bool(value != value)
    except (TypeError, ValueError):
        return False


def _objectVector(keys) -> np.ndarray:
    """``keys`` as a one-dimensional object array (tuples stay single keys)."""
    if isinstance(keys, np.ndarray) and keys.ndim == 1 and keys.dtype == object:
        return keys
    try:
        vector = np.array(keys, dtype=object)
        if vector.ndim == 1 and len(vector) == len(keys):
            return vector
    except ValueError:  # sequences of different lengths among the keys
        pass
    vector = np.empty(len(keys), dtype=object)
    for position, key in enumerate(keys):
        vector[position] = key
    return vector


def mergedPointPositions(leftKeys, rightKeys, rule: str) -> tuple[np.ndarray, np.ndarray]:
    """
    Where each point of a merge result comes from: two intp arrays of equal
    length, the point's position in the left and in the right object, -1
    where that side has no such point.

    Points are matched by key (equal keys match, whatever their types; a
    missing key, None, NaN or NaT, matches nothing).  The result keeps the
    left order, each left point followed by its further matches in right
    order.  ``rule``: "left" keeps left points without a match, "union" also
    appends the right points no left point matched (in right order),
    "intersection" drops left points without a match, and "strict" refuses
    (InvalidArgumentValue) unless every point of both sides is matched.
    """
    import pandas as pd

    left, right = _objectVector(leftKeys), _objectVector(rightKeys)
    n, m = len(left), len(right)
    codes = pd.factorize(np.concatenate([left, right]))[0] if n + m else np.empty(0, np.intp)
    leftCodes, rightCodes = codes[:n], codes[n:]
    # right positions grouped by key code (missing keys first), each group in right order
    byCode = np.argsort(rightCodes, kind="stable")
    counts = np.bincount(rightCodes[rightCodes >= 0], minlength=int(codes.max(initial=-1)) + 1)
    starts = np.concatenate([[0], np.cumsum(counts)[:-1]]).astype(np.intp) + \
        int(np.count_nonzero(rightCodes < 0))
    known = leftCodes >= 0
    group = np.where(known, leftCodes, 0)  # a missing key reads group 0, then counts 0
    matches = np.where(known, counts[group], 0) if counts.size else np.zeros(n, np.intp)
    repeats = np.where(matches > 0, matches, 0 if rule == "intersection" else 1)
    leftPos = np.repeat(np.arange(n, dtype=np.intp), repeats)
    matched = np.repeat(matches > 0, repeats)
    rightPos = np.full(len(leftPos), -1, dtype=np.intp)
    if matched.any():
        # the k-th repeat of a left point takes the k-th right point of its group
        offset = np.arange(len(leftPos), dtype=np.intp) - \
            np.repeat(np.cumsum(repeats) - repeats, repeats)
        groupStart = np.repeat(starts[group], repeats)
        rightPos[matched] = byCode[(groupStart + offset)[matched]]
    used = np.zeros(m, dtype=bool)
    used[rightPos[matched]] = True
    unmatched = np.flatnonzero(~used).astype(np.intp)
    if rule == "strict" and (unmatched.size or not matched.all()):
        raise InvalidArgumentValue(
            "point='strict' needs both objects to hold the same points; use 'left', 'union' "
            "or 'intersection' to merge different points")
    if rule == "union":
        leftPos = np.concatenate([leftPos, np.full(unmatched.size, -1, dtype=np.intp)])
        rightPos = np.concatenate([rightPos, unmatched])
    return leftPos, rightPos


def binaryFeatureValues(column) -> list:
    """
    The elements of a one-dimensional array as binary features key and name
    them: numbers as Python numbers, dates and durations as pandas Timestamps
    and Timedeltas (named alike whatever their unit), anything else as is.
    """
    if column.dtype.kind in "mM":
        from kestro._utility import pd
        return pd.Series(column, dtype=column.dtype).tolist()
    return column.tolist() if column.dtype.kind in "biufc" else list(column)


def _sameElement(a, b) -> bool:
    if a is b:
        return True
    try:
        if bool(a == b):
            return True
    except (TypeError, ValueError):
        return False
    # NaN matches NaN, but a missing None only matches None
    return a is not None and b is not None and isMissing(a) and isMissing(b)


def allDataIdentical(arr1, arr2) -> bool:
    """
    True when the two arrays have the same shape and equal elements. NaN
    equals NaN (and NaT equals NaT); object arrays are compared element by
    element.
    """
    a, b = np.asarray(arr1), np.asarray(arr2)
    if a.shape != b.shape:
        return False
    if a.size == 0:
        return True
    if a.dtype.kind in "biufc" and b.dtype.kind in "biufc":
        return bool(np.array_equal(a, b, equal_nan=True))
    return all(_sameElement(x, y) for x, y in zip(_elements(a), _elements(b)))


def _elements(array):
    flat = array.ravel()
    return list(flat) if flat.dtype.kind == "M" else flat.tolist()


def isValid2DObject(data) -> bool:
    """
    True for a two-dimensional numpy array, and for a list of equal-length
    lists or tuples (the empty list included).
    """
    if isinstance(data, np.ndarray):
        return data.ndim == 2
    if isinstance(data, list):
        if not all(isinstance(row, (list, tuple)) for row in data):
            return False
        return len({len(row) for row in data}) <= 1
    return False


def convertToNumpyOrder(order) -> str:
    """The numpy memory order for an order word: 'C' for "point", else 'F'."""
    return "C" if order == "point" else "F"


def inferArrayDtype(array: np.ndarray) -> np.ndarray:
    """
    An object array whose values share one numeric, boolean or datetime
    type is returned with that type; any other array is returned unchanged.
    """
    if array.dtype != object or array.size == 0:
        return array
    try:
        typed = np.array(array.tolist())
    except (TypeError, ValueError):
        return array
    if typed.shape == array.shape and typed.dtype.kind in "biufcM":
        return typed
    return array


def toNumpy2D(data, width: int = 0) -> np.ndarray:
    """
    Values of a pandas DataFrame, numpy array, scipy sparse matrix or list
    of point lists as one two-dimensional numpy array. Mixed or non-numeric
    values give an object array (never a fixed-width string array). An empty
    list becomes an array of 0 points and ``width`` features.
    """
    frameType = _pandasFrameType()
    if frameType is not None and isinstance(data, frameType):
        dtypes = pandasColumnDtypes(data)
        kinds = {getattr(dtype, "kind", "O") for dtype in dtypes}
        if kinds <= set("biufc") or (len(set(dtypes)) == 1 and kinds == {"M"}):
            return data.to_numpy()
        return data.astype(np.dtype(object)).to_numpy()
    if _isSparseMatrix(data):
        return data.toarray()
    if isinstance(data, np.ndarray):
        array = np.asarray(data)
        if array.dtype.kind in "US":
            array = array.astype(object)
        return array
    if isinstance(data, (list, tuple)):
        if len(data) == 0:
            return np.empty((0, width), dtype=np.float64)
        try:
            array = np.array(data)
        except (TypeError, ValueError):
            array = None
        if array is None or array.ndim != 2 or array.dtype.kind not in "biufcM":
            array = np.empty((len(data), len(data[0])), dtype=object)
            for i, row in enumerate(data):
                array[i, :] = list(row)
        return array
    raise InvalidArgumentType(
        "data must be a pandas DataFrame, a numpy array, a scipy sparse matrix or a list "
        f"of point lists; got {type(data).__name__}")


def createDataNoValidation(to, data, ptNames, ftNames, reuseData=True, shape=None):
    """
    A new data object of the storage type ``to`` (a name in
    ``kestro.core.data.available``) holding ``data`` with the given point
    and feature names (None for none).

    ``data`` may be a pandas DataFrame, a numpy array (an empty one keeps its
    0 x N or N x 0 shape), a scipy sparse matrix or a list of point lists.
    With ``reuseData`` the object may keep ``data`` itself instead of a copy.
    ``shape`` passes the full dimension list of a higher-dimensional object.
    """
    package = _package()
    if to not in package.available:
        raise InvalidArgumentValue(f"to must be one of {package.available}; got {to!r}")
    kwds = {"pointNames": ptNames, "featureNames": ftNames}
    if shape is not None:
        kwds["shape"] = list(shape)
    if isinstance(data, list) and not data:
        data = np.empty((0, 0 if ftNames is None else len(ftNames)), dtype=np.float64)
    if to == "DataFrame":
        from kestro._utility import pd
        if isinstance(data, pd.DataFrame):
            if not (_isDefaultRange(data.index) and _isDefaultRange(data.columns)):
                data = data.copy(deep=not reuseData)
                data.index = pd.RangeIndex(data.shape[0])
                data.columns = pd.RangeIndex(data.shape[1])
                reuseData = True
        elif isinstance(data, np.ndarray) and data.dtype == object and data.size \
                and data.ndim == 2:
            from kestro.core.data._arrayStorage import _exactFrame
            data = _exactFrame(data)  # typed as its values share, never through inexact floats
            reuseData = True
        elif _isSparseMatrix(data):
            data = data.toarray()
        return package.DataFrame(data, reuseData=reuseData, **kwds)
    cls = getattr(package, to)
    return cls(data, reuseData=reuseData, **kwds)


def _isDefaultRange(labels) -> bool:
    return (type(labels).__name__ == "RangeIndex" and labels.start == 0
            and labels.step == 1)


def _countKey(value):
    return np.nan if isMissing(value) and value is not None else value


def denseCountUnique(obj, points, features) -> dict:
    """
    A dict mapping each distinct value of the selected points and features
    (None for all) of ``obj`` to the number of times it occurs. Numbers
    are reported as Python numbers; all NaN values count under numpy.nan.
    """
    array = obj._asNumpyArray()
    if points is not None:
        array = array[list(points), :]
    if features is not None:
        array = array[:, list(features)]
    flat = array.ravel()
    values = flat.tolist() if flat.dtype.kind in "biufc" else list(flat)
    counts: dict = {}
    for value in values:
        key = _countKey(value)
        counts[key] = counts.get(key, 0) + 1
    return counts


class KestroElementIterator:
    """
    Iterator over the values of a two-dimensional array, point by point
    (order "point", row-major) or feature by feature (any other order),
    skipping the values for which ``only`` (if not None) returns False.
    """

    def __init__(self, array, order, only):
        array = np.asarray(array)
        self._values = iter(array.ravel(order=convertToNumpyOrder(order)))
        self._only = only

    def __iter__(self):
        return self

    def __next__(self):
        only = self._only
        for value in self._values:
            if only is None or only(value):
                return value
        raise StopIteration


def getFeatureDtypes(obj) -> tuple:
    """
    One numpy dtype per feature of ``obj``: the column dtypes of a pandas
    backed object, the array dtype repeated for array backed objects, and
    the object dtype repeated otherwise.
    """
    data = obj._data
    frameType = _pandasFrameType()
    if frameType is not None and isinstance(data, frameType):
        return pandasColumnDtypes(data)
    dtype = getattr(data, "dtype", None)
    if not isinstance(dtype, np.dtype):
        dtype = np.dtype(object)
    return (dtype,) * len(obj.features)
