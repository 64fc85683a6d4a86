"""
ArrayStorage: the storage hooks of the small pure-Python variants (Matrix,
Sparse, List), written once on top of a dense numpy array of the values.

A variant only says how it turns input into its own ``_data``
(``_setData``) and its ``_data`` into a dense array (``_asNumpyArray``).
These variants favour clarity over speed.
"""

from __future__ import annotations

import math
import numbers
import os
import stat
import sys

import numpy as np

from kestro._utility import allowedNumpyDType, isAllowedSingleElement, pd, scipy
from kestro.exceptions import InvalidArgumentValue, PackageException

from ._dataHelpers import (KestroElementIterator, allDataIdentical, binaryFeatureValues,
                           convertToNumpyOrder, createDataNoValidation, denseCountUnique,
                           inferArrayDtype, isMissing)
from .axis import Features, Points
from .base import Base

NUMERIC_DTYPES = (np.dtype(bool), np.dtype(np.int64), np.dtype(np.float64))


def _isZero(value) -> bool:
    return isinstance(value, (numbers.Number, np.bool_)) and not isMissing(value) and value == 0


def _shown(value) -> str:
    """``value`` for a message: numpy scalars shown as the Python values they hold."""
    return repr(value.item() if isinstance(value, np.generic) else value)


def _withoutNA(array: np.ndarray) -> np.ndarray:
    """
    Object ``array`` with each pandas NA replaced in place by None, the
    missing value; numbers with missing values among them become floats
    (missing as NaN) where 64-bit floats hold every number exactly.
    """
    if array.dtype != object:
        return array
    pandas = sys.modules.get("pandas")   # no pandas loaded, no pandas NA to meet
    if pandas is not None:
        for index, value in np.ndenumerate(array):
            if value is pandas.NA:
                array[index] = None
    present = [v for v in array.ravel() if not isMissing(v)]
    if len(present) < array.size and present and all(
            isinstance(v, (numbers.Real, np.number)) and not isinstance(v, (bool, np.bool_))
            for v in present) and _exactAsFloats(np.array(present, dtype=object)):
        return np.array([[np.nan if isMissing(v) else v for v in row] for row in array.tolist()],
                        dtype=np.float64).reshape(array.shape)
    return array


def _exactFrame(array: np.ndarray):
    """
    ``array`` as a pandas DataFrame, each object feature in the type its
    values share, except where 64-bit floats would not hold them exactly.
    """
    frame = pd.DataFrame(array)
    if array.dtype != object:
        return frame
    inferred = frame.infer_objects()
    for j in range(array.shape[1]):
        if inferred.iloc[:, j].dtype.kind == "f" and not _exactAsFloats(array[:, j]):
            inferred.isetitem(j, frame.iloc[:, j])
    return inferred


def _exactAsFloats(values: np.ndarray) -> bool:
    """Whether every value that is not missing equals its 64-bit float."""
    # as Python values: numpy compares its integers with floats as floats
    values = [v.item() if isinstance(v, np.generic) else v for v in values.tolist()]
    try:
        return all(isMissing(v) or float(v) == v for v in values)
    except (TypeError, ValueError, OverflowError):
        return False


def asNumeric(array: np.ndarray, numericRequired: bool) -> np.ndarray:
    """``array``, as float64 when numbers are required and its dtype is not bool/int64/float64."""
    if numericRequired and array.dtype not in NUMERIC_DTYPES:
        return array.astype(np.float64)
    return array


def _fileSystemPath(outPath):
    """``outPath`` as a file system path; refuses a path that names a folder."""
    path = os.fspath(outPath)
    if len(path) == 0:
        raise InvalidArgumentValue("outPath must not be empty")
    name = os.path.basename(os.fsdecode(path))
    if name in ("", ".", ".."):
        raise InvalidArgumentValue(f"outPath must name a file, not a folder; got {outPath!r}")
    return path


def _isDeviceOrPipe(path: str) -> bool:
    """Whether ``path`` exists as neither a regular file nor a folder."""
    return os.path.exists(path) and not os.path.isfile(path) and not os.path.isdir(path)


def _writeReplacing(destination: str, text: bool, write) -> None:
    """
    Runs ``write(stream)`` on a new file beside ``destination`` and moves it
    over ``destination`` once the writing, flush and close have succeeded;
    on failure the new file is removed. A device or pipe is written in place.
    Errors about the new file name ``destination`` instead.
    """
    mode, options = ("w", {"encoding": "utf-8", "newline": ""}) if text else ("wb", {})
    if _isDeviceOrPipe(destination):
        with open(destination, mode, **options) as stream:
            write(stream)
        return
    target = os.path.realpath(destination)
    temporary = os.path.join(os.path.dirname(target),
                             f".{os.path.basename(target)}.{os.urandom(6).hex()}.tmp")
    try:
        stream = open(temporary, mode.replace("w", "x"), **options)
    except OSError as error:
        if error.filename != temporary:
            raise
        raise OSError(error.errno, error.strerror, destination) from None
    try:
        with stream:
            write(stream)
        if os.path.isfile(target):
            os.chmod(temporary, stat.S_IMODE(os.stat(target).st_mode))
        os.replace(temporary, target)
    except BaseException:
        if os.path.exists(temporary):
            os.unlink(temporary)
        raise


class ArrayStorage(Base):
    """
    Shared storage hooks for the pure-Python variants.

    Parameters
    ----------
    data : object
        A pandas DataFrame, numpy array, scipy sparse matrix or list of
        point lists.
    reuseData : bool
        Keep ``data`` itself when it already has this variant's form.
    kwds
        Passed on to Base (``shape``, ``pointNames``, ``featureNames``).
    """

    _typeString = ""
    _pointsClass = Points
    _featuresClass = Features
    _viewClass: type | None = None   # set by each variant module

    def __init__(self, data, reuseData=False, **kwds):
        shape = kwds.get("shape")
        width = math.prod(shape[1:]) if shape is not None else 0
        self._setData(data, reuseData, width)
        if shape is None:
            kwds["shape"] = self._storedShape()
        super().__init__(**kwds)

    def _setData(self, data, reuseData, width):
        raise NotImplementedError

    def _storeArray(self, array: np.ndarray) -> None:
        self._setData(array, True, array.shape[1])

    def _getPoints(self, names):
        return self._pointsClass(self, names)

    def _getFeatures(self, names):
        return self._featuresClass(self, names)

    def _getTypeString_implementation(self):
        return self._typeString

    def _getitem_implementation(self, x, y):
        return self._asNumpyArray()[x, y]

    # ---- copies and views -----------------------------------------------------------

    def _copySource(self):
        """Data for a copy into another storage variant."""
        return self._asNumpyArray()

    def _copy_implementation(self, to):
        from kestro.core.data import available
        ptNames = self.points._getNamesNoGeneration()
        ftNames = self.features._getNamesNoGeneration()
        if to == "DataFrame":
            return createDataNoValidation(to, _exactFrame(self._asNumpyArray()), ptNames,
                                          ftNames, reuseData=True)
        if to in available:
            return createDataNoValidation(to, self._copySource(), ptNames, ftNames,
                                          reuseData=True)
        array = self._asNumpyArray()
        if to in ("pythonlist", "numpyarray"):
            if len(self._dims) > 2:
                array = array.reshape(self._dims)
            return array.tolist() if to == "pythonlist" else array
        if to == "numpymatrix":
            # what np.matrix(array) builds, without its constructor's
            # deprecation notice (and without touching warning filters)
            return array.view(np.matrix).copy()
        if to.startswith("scipy"):
            if not scipy.kestroAccessible():
                raise PackageException("scipy is not available")
            if to != "scipycoo":
                try:
                    array = self._asNumpyArray(numericRequired=True)
                except ValueError as error:
                    raise ValueError(f"Must create scipy {to[-3:]} matrix from numeric data") \
                        from error
            build = {"scipycoo": scipy.sparse.coo_matrix, "scipycsc": scipy.sparse.csc_matrix,
                     "scipycsr": scipy.sparse.csr_matrix}[to]
            try:
                return build(array)
            except ValueError as error:
                if to != "scipycoo":
                    raise
                self._refuseNonNumericCoo(array, error)
                raise
        frame = _exactFrame(array)
        if ptNames is not None:
            frame.index = self.points.getNames()
        if ftNames is not None:
            frame.columns = self.features.getNames()
        return frame

    def _refuseNonNumericCoo(self, array: np.ndarray, refusal: ValueError) -> None:
        """scipy's ``refusal`` of ``array``, told about its first feature that is not numeric."""
        for j in range(array.shape[1]):
            column = inferArrayDtype(array[:, j].copy())
            if column.dtype.kind not in "biufc":
                raise ValueError("Must create scipy coo matrix from numeric data: feature "
                                 f"{self.features.getName(j)!r} holds values of type "
                                 f"{column.dtype}") from refusal

    def _view_implementation(self, pointStart, pointEnd, featureStart, featureEnd,
                             dropDimension):
        source, shape = self, None
        if len(self._dims) > 2:
            if dropDimension:
                source = self._createNestedObject(pointStart)
                pointStart, pointEnd = 0, source.shape[0]
                featureStart, featureEnd = 0, source.shape[1]
                shape = source._dims
            else:
                shape = [pointEnd - pointStart] + self._dims[1:]
        data = source._asNumpyArray()[pointStart:pointEnd, featureStart:featureEnd]
        return self._viewClass(data=data, source=source, shape=shape, pointStart=pointStart,
                               pointEnd=pointEnd, featureStart=featureStart,
                               featureEnd=featureEnd)

    def _createNestedObject(self, pointIndex):
        """Point ``pointIndex`` of a higher-dimensional object, one dimension less."""
        nestedShape = (self._dims[1], math.prod(self._dims[2:]))
        values = self._asNumpyArray()[pointIndex].reshape(nestedShape)
        return createDataNoValidation(self._typeString, values, None, None,
                                      shape=self._dims[1:])

    # ---- element-wise computation and queries ------------------------------------------

    def _transform_implementation(self, toTransform, points, features):
        array = self._asNumpyArray().astype(object)
        # sets for the membership tests only; the walk keeps its order
        points = None if points is None else frozenset(points)
        features = None if features is None else frozenset(features)
        for i in range(array.shape[0]):
            if points is not None and i not in points:
                continue
            for j in range(array.shape[1]):
                if features is not None and j not in features:
                    continue
                value = array[i, j]
                array[i, j] = toTransform(value) if toTransform.oneArg else toTransform(value, i, j)
        self._storeArray(inferArrayDtype(_withoutNA(array)))

    def _calculate_implementation(self, function, points, features, preserveZeros):
        array = self._asNumpyArray()
        if points is not None:
            array = array[points, :]
        if features is not None:
            array = array[:, features]
        out = np.empty(array.shape, dtype=object)
        for index, value in np.ndenumerate(array):
            out[index] = value if preserveZeros and _isZero(value) else function(value)
        return inferArrayDtype(_withoutNA(out))

    def _countUnique_implementation(self, points, features):
        return denseCountUnique(self, points, features)

    def _containsZero_implementation(self):
        array = self._asNumpyArray()
        if array.dtype.kind in "biufc":
            return bool((array == 0).any())
        return any(_isZero(v) for v in array.ravel())

    def _isIdentical_implementation(self, other):
        return (isinstance(other, Base) and other.getTypeString() == self._typeString
                and allDataIdentical(self._asNumpyArray(), other._asNumpyArray()))

    def _iterateElements_implementation(self, order, only):
        return KestroElementIterator(self._asNumpyArray(), order, only)

    # ---- structural changes ------------------------------------------------------------

    def _transpose_implementation(self):
        self._storeArray(self._asNumpyArray().T.copy())

    def _replaceRectangle_implementation(self, replaceWith, pointStart, featureStart,
                                         pointEnd, featureEnd):
        values = replaceWith._asNumpyArray() if isinstance(replaceWith, Base) else replaceWith
        array = self._asNumpyArray().astype(object)
        array[pointStart:pointEnd + 1, featureStart:featureEnd + 1] = values
        self._storeArray(inferArrayDtype(_withoutNA(array)))

    def _flatten_implementation(self, order):
        array = self._asNumpyArray()
        self._storeArray(array.reshape((1, array.size), order=convertToNumpyOrder(order)))

    def _unflatten_implementation(self, reshape, order):
        array = self._asNumpyArray()
        self._storeArray(array.reshape(tuple(reshape), order=convertToNumpyOrder(order)))

    def _merge_implementation(self, other, point, feature, onFeature, matchingFtIdx):
        alignment = self._mergeAlignment(other, point, feature, onFeature)
        left, right = self._asNumpyArray(), other._asNumpyArray()
        out = np.full((len(alignment.points), len(alignment.features)), np.nan, dtype=object)
        for r, (i, j) in enumerate(alignment.points):
            for c, (fi, fj) in enumerate(alignment.features):
                mine = left[i, fi] if i is not None and fi is not None else None
                theirs = right[j, fj] if j is not None and fj is not None else None
                if isMissing(mine):
                    mine = theirs
                elif not isMissing(theirs) and not mine == theirs:
                    raise InvalidArgumentValue(
                        "The objects contain different values for the same point and feature: "
                        f"point {self.points.getName(i)!r}, feature "
                        f"{self.features.getName(fi)!r} holds {_shown(mine)} here and "
                        f"{_shown(theirs)} in the other object")
                if not isMissing(mine):
                    out[r, c] = mine
        self._storeArray(inferArrayDtype(out))

    def _replaceFeatureWithBinaryFeatures_implementation(self, uniqueIdx):
        column = binaryFeatureValues(self._asNumpyArray()[:, 0])
        binary = np.zeros((len(column), len(uniqueIdx)), dtype=np.int64)
        for i, value in enumerate(column):
            key = np.nan if isMissing(value) and value is not None else value
            binary[i, uniqueIdx[key]] = 1
        self._storeArray(binary)

    def _convertToNumericTypes_implementation(self, usableTypes):
        array = self._asNumpyArray()
        if array.dtype not in usableTypes:
            self._storeArray(array.astype(np.float64))

    def _matmul__implementation(self, other):
        product = self._asNumpyArray(numericRequired=True) @ other._asNumpyArray(
            numericRequired=True)
        return createDataNoValidation(self._typeString, product, None, None)

    # ---- output and checks ----------------------------------------------------------

    def _saveCSV_implementation(self, outPath, includePointNames, includeFeatureNames):
        destination = os.fsdecode(_fileSystemPath(outPath))
        frame = pd.DataFrame(self._asNumpyArray())
        if includePointNames:
            frame.index = self.points.getNames()
        if includeFeatureNames:
            frame.columns = self.features.getNames()
        label = "pointNames" if includePointNames and includeFeatureNames else None
        _writeReplacing(destination, True, lambda stream: frame.to_csv(
            stream, index=includePointNames, header=includeFeatureNames, index_label=label))

    def _saveMTX_implementation(self, outPath, includePointNames, includeFeatureNames):
        destination = None
        if not hasattr(outPath, "write"):
            destination = os.fsdecode(_fileSystemPath(outPath))
            if not destination.endswith(".mtx") and not _isDeviceOrPipe(destination):
                destination += ".mtx"
        if not scipy.kestroAccessible():
            raise PackageException("scipy is not available")
        comment = "#"
        if includePointNames:
            comment += ",".join(self.points.getNames())
        if includeFeatureNames:
            comment += "\n#" + ",".join(self.features.getNames())
        values = self._mtxValues()
        if destination is None:
            scipy.io.mmwrite(outPath, values, comment=comment)
        else:
            _writeReplacing(destination, False,
                            lambda stream: scipy.io.mmwrite(stream, values, comment=comment))

    def _mtxValues(self) -> np.ndarray:
        """
        The values to write, in the Matrix Market field that holds them
        exactly: 64-bit floats when every value is exact as one, else 64-bit
        integers when every feature is integral. Anything else is refused,
        naming the feature.
        """
        array = self._asNumpyArray()
        kind, size = array.dtype.kind, array.dtype.itemsize
        if kind == "b" or (kind == "f" and size <= 8) or (kind in "iu" and size <= 4):
            return array.astype(np.float64)
        columns = [self._mtxColumn(array, j) for j in range(array.shape[1])]
        field = self._mtxField(columns)
        values = np.empty(array.shape, dtype=field)
        for j, column in enumerate(columns):
            values[:, j] = column.astype(field)
        return values

    def _refuseFeature(self, index: int, what: str):
        raise InvalidArgumentValue(f"feature {self.features.getName(index)!r} {what}")

    def _mtxColumn(self, array: np.ndarray, index: int) -> np.ndarray:
        """Feature ``index`` with the type of its own values, ready for the exactness test."""
        column = inferArrayDtype(array[:, index].copy())
        if column.dtype.kind in "Mm":
            self._refuseFeature(index, "holds dates or durations, which a Matrix Market file "
                                       "cannot hold")
        if column.dtype.kind == "c":
            if np.count_nonzero(column.imag):
                self._refuseFeature(index, "holds complex values with an imaginary part, which "
                                           "a Matrix Market file of real values cannot hold")
            column = column.real
        return column

    def _mtxField(self, columns: list) -> type:
        """The Matrix Market field (float64 or int64) that holds every column exactly."""
        def exactAs(column, convert, low=None, high=None) -> bool:
            for value in column.tolist():
                value = value.item() if isinstance(value, np.generic) else value
                if isMissing(value):
                    continue
                if isinstance(value, str):
                    float(value)  # text raises the ValueError of its conversion
                    return False
                try:
                    if convert(value) != value or (low is not None and not low <= value < high):
                        return False
                except (TypeError, ValueError, OverflowError):
                    return False
            return True

        integral = [column.dtype.kind in "iub" for column in columns]
        inexact = [j for j, column in enumerate(columns) if not exactAs(column, float)]
        if not inexact:
            return np.float64
        first = inexact[0]
        if not integral[first]:
            self._refuseFeature(first, f"holds values of type {columns[first].dtype} that a "
                                       "Matrix Market file cannot hold exactly")
        if not all(integral):
            other = self.features.getName(integral.index(False))
            self._refuseFeature(first, f"holds integers that 64-bit floats cannot hold exactly, "
                                       f"and feature {other!r} is not integral: no Matrix Market "
                                       "field holds both exactly")
        for j, column in enumerate(columns):
            if not exactAs(column, int, -2**63, 2**63):
                self._refuseFeature(j, "holds integers beyond the 64-bit range of a Matrix "
                                       "Market integer field")
        return np.int64

    def _checkInvariants_implementation(self, level):
        assert tuple(self._storedShape()) == self.shape
        array = self._asNumpyArray()
        assert allowedNumpyDType(array.dtype)
        if level > 1 and array.dtype == object:
            assert all(isAllowedSingleElement(v) for v in array.ravel())
