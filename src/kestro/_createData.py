"""The work behind ``kestro.data``: reading a source and choosing names."""

from __future__ import annotations

import csv
import os
import re

import numpy as np

from kestro._utility import allowedNumpyDType, isAllowedSingleElement, pd
from kestro.exceptions import InvalidArgumentType, InvalidArgumentValue


def _checkNamesArgument(names, argName):
    if names is None or isinstance(names, (bool, list, tuple, dict)):
        return
    raise InvalidArgumentType(
        f"{argName} must be a list or dict of names, True, False or None; got "
        f"{type(names).__name__}")


def _labelsAsNames(labels, choice):
    """Names from pandas labels for a names argument of True or None."""
    from kestro.core.data._dataHelpers import _isDefaultRange
    if choice is True or (choice is None and not _isDefaultRange(labels)):
        return [str(label) for label in labels]
    return None


def _givenNames(choice, argName):
    if choice is True:
        raise InvalidArgumentValue(
            f"{argName}=True takes the names from the source, which only a CSV file or a "
            "pandas DataFrame can hold")
    return None if choice in (None, False) else choice


POINT_NAMES_MARKER = "pointNames"  # the first header field when save writes both kinds of names
_MISSING = {"", "NA", "N/A", "n/a", "NaN", "nan", "-NaN", "-nan", "NULL", "null", "None", "<NA>"}
_BOOLEANS = {"True", "False", "TRUE", "FALSE", "true", "false"}
_ISO_DATE = re.compile(r"\d{4}-\d{2}-\d{2}([ T]\d{2}:\d{2}(:\d{2}(\.\d+)?)?)?")


def _isText(field: str) -> bool:
    """True for a CSV field that pandas would read as text (not missing, a number, a bool or a date)."""
    if field.strip() in _MISSING or field in _BOOLEANS or _ISO_DATE.fullmatch(field):
        return False
    try:
        float(field)
    except ValueError:
        return True
    return False


def _firstRowIsNames(rows) -> bool:
    """
    Whether the first row holds feature names: it starts with the point
    names marker, or its fields are distinct texts (no number, boolean, date
    or missing value among them) and at least one stands over a column whose
    other fields are values that are not text (and not all missing).
    """
    if not rows:
        return False
    first = rows[0]
    if first[0] == POINT_NAMES_MARKER:
        return True
    if len(rows) < 2 or len(set(first)) != len(first) or not all(map(_isText, first)):
        return False
    for j in range(len(first)):
        column = [row[j] for row in rows[1:] if j < len(row)]
        if not any(map(_isText, column)) and any(v.strip() not in _MISSING for v in column):
            return True
    return False


def _readCSV(path, pointNames, featureNames):
    """
    The values of a CSV file as a table with default labels, and the point
    and feature names it holds (each a list of str, or None). True reads the
    names from the file, False reads that row or column as values, and
    anything else detects the names that ``save`` writes: a first row that
    looks like names (see ``_firstRowIsNames``) holds the feature names, and
    when that row starts with the marker "pointNames" the first column holds
    the point names.
    """
    if not os.fspath(path).lower().endswith(".csv"):
        raise InvalidArgumentValue(f"only .csv files can be read; got {os.fspath(path)!r}")
    if not os.path.isfile(path):
        raise InvalidArgumentValue(f"no such file: {os.fspath(path)!r}")
    with open(path, newline="", encoding="utf-8") as file:
        rows = [row for row in csv.reader(file) if row]
    header = featureNames if isinstance(featureNames, bool) else _firstRowIsNames(rows)
    nameColumn = pointNames if isinstance(pointNames, bool) else (
        header and bool(rows) and rows[0][0] == POINT_NAMES_MARKER)
    table = pd.read_csv(path, header=0 if header else None, index_col=0 if nameColumn else None,
                        encoding="utf-8", **_exactFloats())
    ptNames = [row[0] for row in rows[1 if header else 0:]] if nameColumn else None
    ftNames = rows[0][1 if nameColumn else 0:] if header else None
    table.index = pd.RangeIndex(table.shape[0])
    table.columns = pd.RangeIndex(table.shape[1])
    for label, column in table.items():
        if column.dtype == object or isinstance(column.dtype, pd.StringDtype):
            table[label] = _isoDatesOrText(column)
    return table, ptNames, ftNames


def _exactFloats() -> dict:
    """read_csv's argument for floats read back exactly (pandas 3 does so by default)."""
    major = int(pd.__version__.split(".")[0])
    return {} if major >= 3 else {"float_precision": "round_trip"}


def _isoDatesOrText(column):
    """A column of ISO dates as datetimes; any other column unchanged."""
    present = column.dropna()
    if present.empty or not all(isinstance(v, str) and _ISO_DATE.fullmatch(v) for v in present):
        return column
    try:
        return pd.to_datetime(column)
    except (ValueError, TypeError, OverflowError):
        return column


def _checkElements(values):
    for value in values:
        if not isAllowedSingleElement(value):
            raise InvalidArgumentValue(
                f"a data object cannot hold the value {value!r} of type {type(value).__name__}")


def createData(source, pointNames, featureNames, returnType):
    """See ``kestro.data``."""
    from kestro.core.data import Base, available
    from kestro.core.data._dataHelpers import _isSparseMatrix, createDataNoValidation

    if not isinstance(returnType, str):
        raise InvalidArgumentType(f"returnType must be a str; got {type(returnType).__name__}")
    typeNames = {name.lower(): name for name in available}
    if returnType.lower() not in typeNames:
        raise InvalidArgumentValue(f"returnType must be one of {available}; got {returnType!r}")
    returnType = typeNames[returnType.lower()]
    _checkNamesArgument(pointNames, "pointNames")
    _checkNamesArgument(featureNames, "featureNames")

    if isinstance(source, Base):
        ret = source.copy(returnType)
        for axis, choice in ((ret.points, pointNames), (ret.features, featureNames)):
            if choice is False or isinstance(choice, (list, tuple, dict)):
                axis.setNames(None if choice is False else choice)
        return ret

    shape = None
    if isinstance(source, (str, os.PathLike)):
        source, ptNames, ftNames = _readCSV(source, pointNames, featureNames)
        # the file's names, unless names are given
        pointNames = pointNames if isinstance(pointNames, (list, tuple, dict)) else ptNames
        featureNames = featureNames if isinstance(featureNames, (list, tuple, dict)) else ftNames
    if isinstance(source, pd.DataFrame):
        ptNames = _labelsAsNames(source.index, pointNames) if pointNames in (True, None) \
            else _givenNames(pointNames, "pointNames")
        ftNames = _labelsAsNames(source.columns, featureNames) if featureNames in (True, None) \
            else _givenNames(featureNames, "featureNames")
        data = source.copy()
        for label, column in data.items():
            if not allowedNumpyDType(column.dtype):
                data[label] = column.astype(object)
        data.index = pd.RangeIndex(data.shape[0])
        data.columns = pd.RangeIndex(data.shape[1])
        if any(dtype == object for dtype in data.dtypes):
            _checkElements(data.to_numpy(dtype=object).ravel())
    else:
        ptNames = _givenNames(pointNames, "pointNames")
        ftNames = _givenNames(featureNames, "featureNames")
        if _isSparseMatrix(source):
            data = source if returnType == "Sparse" else source.toarray()
        elif isinstance(source, (np.ndarray, list, tuple)):
            data, shape = _arrayLike(source)
        else:
            raise InvalidArgumentType(
                "source must be a pandas DataFrame, a list, a numpy array, a scipy sparse "
                f"matrix, a data object or the path of a .csv file; got {type(source).__name__}")
    return createDataNoValidation(returnType, data, ptNames, ftNames, reuseData=True,
                                  shape=shape)


def _arrayLike(source):
    """Two-dimensional data (and the full shape, for more dimensions) from a list or array."""
    from kestro.core.data._dataHelpers import isValid2DObject
    if isinstance(source, (list, tuple)):
        source = list(source)
        nested = (list, tuple, np.ndarray)
        if isValid2DObject(source) and not any(isinstance(v, nested) for row in source
                                                for v in row):
            _checkElements(value for row in source for value in row)
            return [list(row) for row in source], None
        if not any(isinstance(value, nested) for value in source):
            _checkElements(source)
            return [source], None
        try:
            source = np.array(source)
        except ValueError as error:
            raise InvalidArgumentValue("the points of a list source must all have the same "
                                       "length") from error
    array = np.asarray(source)
    if array.dtype.kind in "US":
        array = array.astype(object)
    if array.dtype == object:
        _checkElements(array.ravel())
    elif not allowedNumpyDType(array.dtype):
        raise InvalidArgumentValue(f"a data object cannot hold values of dtype {array.dtype}")
    if array.ndim == 0:
        raise InvalidArgumentValue("source must have at least one dimension")
    if array.ndim == 1:
        return array.reshape(1, -1), None
    if array.ndim == 2:
        return array, None
    return array.reshape(array.shape[0], -1), list(array.shape)
