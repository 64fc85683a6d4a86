"""The work behind ``kestro.data``: reading a source and choosing names."""

from __future__ import annotations

import csv
import os
import re

import numpy as np

from kestro._utility import allowedNumpyDType, isAllowedSingleElement, pandasColumnDtypes, pd
from kestro.exceptions import InvalidArgumentType, InvalidArgumentValue


def _pandasMajor() -> int:
    """The major version of the installed pandas."""
    return int(pd.__version__.split(".")[0])


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
_SAMPLE_ROWS = 1000  # rows read ahead to find the names
_TEXT_ROWS = 100      # of them, the rows that tell which features to read as text at once
# What pandas' type inference answers for text beside numbers or booleans.
_TEXT_WITH_NUMBERS = frozenset(["mixed", "mixed-integer"])


def _isText(field: str) -> bool:
    """True for a CSV field that pandas would read as text (not missing, a number, a bool or a date)."""
    try:
        float(field)  # the common case first: a number
        return False
    except ValueError:
        pass
    return not (field.strip() in _MISSING or field in _BOOLEANS or _ISO_DATE.fullmatch(field))


def _columnsOf(rows, width: int) -> list:
    """The fields of ``rows`` column by column, for the first ``width`` columns
    (a short row gives nothing to the columns it lacks)."""
    if all(len(row) == width for row in rows):
        return list(zip(*rows)) if rows else [() for _ in range(width)]
    return [[row[j] for row in rows if j < len(row)] for j in range(width)]


def _looksLikeNames(first, rows) -> bool:
    """
    Whether the fields ``first`` name the columns below them in ``rows``:
    they are distinct texts (no number, boolean, date or missing value among
    them) and at least one stands over a column whose other fields are
    values that are not text (and not all missing).
    """
    if not rows or not first or len(set(first)) != len(first) or not all(map(_isText, first)):
        return False
    for column in _columnsOf(rows, len(first)):
        if not any(map(_isText, column)) and any(v.strip() not in _MISSING for v in column):
            return True
    return False


def _namesLayout(rows):
    """
    (header, nameColumn) detected from the first rows of a file: a first
    row starting with the marker "pointNames" (written by ``save``) or with
    an empty field over a column of point names (written by pandas'
    ``to_csv``) holds both kinds of names when its other fields look like
    names; any other first row holds the feature names when it looks like
    names.
    """
    if not rows:
        return False, False
    first = rows[0]
    if first[0] == POINT_NAMES_MARKER:
        return True, True
    if first[0] == "" and _looksLikeNames(first[1:], [row[1:] for row in rows[1:]]):
        return True, True
    return _looksLikeNames(first, rows[1:]), False


def _sampleRows(path):
    """The first rows of a CSV file (blank lines skipped), read with the csv module."""
    with open(path, newline="", encoding="utf-8-sig") as file:
        rows = []
        for row in csv.reader(file):
            if row:
                rows.append(row)
            if len(rows) == _SAMPLE_ROWS:
                break
    return rows


def _checkCSVPath(path, fileFormat):
    if fileFormat is not None and (not isinstance(fileFormat, str) or fileFormat.lower() != "csv"):
        raise InvalidArgumentValue(f'fileFormat must be "csv" or None; got {fileFormat!r}')
    if fileFormat is None and not os.fspath(path).lower().endswith(".csv"):
        raise InvalidArgumentValue(
            f"only CSV files can be read; the name {os.fspath(path)!r} does not end in "
            '".csv": pass fileFormat="csv" to read it as CSV')
    if not os.path.isfile(path):
        raise InvalidArgumentValue(f"no such file: {os.fspath(path)!r}")


def _readCSV(path, pointNames, featureNames, fileFormat=None):
    """
    The values of a CSV file as a table with default labels, and the point
    and feature names it holds (each a list of str, or None). True reads the
    names from the file, False reads that row or column as values, and
    anything else detects them (see ``_namesLayout``). The file is read
    once by pandas' reader; only its first rows are looked at beforehand.
    """
    _checkCSVPath(path, fileFormat)
    rows = _sampleRows(path)
    header, nameColumn = _namesLayout(rows)
    header = featureNames if isinstance(featureNames, bool) else header
    nameColumn = pointNames if isinstance(pointNames, bool) else nameColumn and header
    if not rows:
        return pd.DataFrame(), None, None
    skip = 1 if header else 0
    # Only empty fields are missing: "NA" or "None" that save wrote are text.
    options = dict(header=None, skiprows=skip, encoding="utf-8-sig", keep_default_na=False,
                   na_values=[""], skip_blank_lines=True, **_exactFloats())
    # Features whose first rows hold text are read as objects straight away
    # (text met later is found after the read).
    textColumns = {j for j, column in enumerate(_columnsOf(rows[skip:skip + _TEXT_ROWS],
                                                           len(rows[0])))
                   if any(map(_isText, column))}
    if nameColumn:
        textColumns.add(0)
    table = pd.read_csv(path, index_col=0 if nameColumn else None,
                        dtype={j: np.dtype(object) for j in textColumns}, **options)
    ftNames = rows[0][1 if nameColumn else 0:] if header else None
    ptNames = None
    if nameColumn:
        ptNames = ["" if isinstance(name, float) else str(name) for name in table.index]
        if header and rows[0][0] == "" and ptNames == [str(i) for i in range(len(ptNames))]:
            ptNames = None  # pandas' default labels are no names
    table.index = pd.RangeIndex(table.shape[0])
    table.columns = pd.RangeIndex(table.shape[1])
    offset = 1 if nameColumn else 0  # table positions against the file's columns

    def asText(position):
        """Column ``position`` read again, every field as the text it holds."""
        return pd.read_csv(path, usecols=[position + offset],
                           dtype=np.dtype(object), **options).iloc[:, 0]

    for position in range(table.shape[1]):
        column = table.iloc[:, position]
        if column.dtype == object or isinstance(column.dtype, pd.StringDtype):
            # pandas reads a long file in chunks: text first met past the
            # rows looked at leaves the chunks before it as numbers
            if column.dtype == object and position + offset not in textColumns \
                    and pd.api.types.infer_dtype(column, skipna=True) in _TEXT_WITH_NUMBERS:
                column = asText(position)
            table.isetitem(position, _datesOrText(column))
        elif _roundedIntegers(column):
            table.isetitem(position, _integersOr(column, asText(position)))
    return table, ptNames, ftNames


def _exactFloats() -> dict:
    """read_csv's argument for floats read back exactly (pandas 3 does so by default)."""
    return {} if _pandasMajor() >= 3 else {"float_precision": "round_trip"}


def _roundedIntegers(column) -> bool:
    """Whether a float64 column read from text holds whole numbers from 2**53 on (and so
    may hold integers that float64 rounded: pandas reads integers with gaps as floats)."""
    if column.dtype != np.float64:
        return False
    values = column.to_numpy()
    values = values[~np.isnan(values)]
    return bool(values.size) and np.abs(values).max() >= 2.0**53 \
        and bool((values == np.floor(values)).all())


def _integersOr(column, texts):
    """The integers written in ``texts`` as Python ints with None for missing,
    or ``column`` when a field is not an integer."""
    present = texts.dropna()
    if not all(re.fullmatch(r"[+-]?\d+", text) for text in present):
        return column
    values = np.array([None if isinstance(text, float) else int(text) for text in texts],
                      dtype=np.dtype(object))
    return pd.Series(values, dtype=np.dtype(object))


_UNITS = ("s", "ms", "us", "ns")


def _parsedDates(column, values):
    """ISO dates as datetime64: by pandas' parser (pandas 2 on, within the range
    of its unit), else by numpy's, which takes the finest unit the text shows."""
    if _pandasMajor() >= 2:
        try:
            parsed = pd.to_datetime(column, format="ISO8601")
        except (ValueError, OverflowError):
            parsed = None
        if parsed is not None and isinstance(parsed.dtype, np.dtype):
            return parsed.to_numpy()
    return np.array(values, dtype="datetime64")


def _datesOrText(column):
    """
    A column of ISO dates as datetime64 in the coarsest unit of seconds,
    milliseconds, microseconds or nanoseconds that holds every value
    exactly (pandas 1.5: nanoseconds); text as objects, missing None.
    """
    values = column.to_numpy(dtype=np.dtype(object), na_value=None)
    present = column.dropna()
    if present.empty or not isinstance(present.iloc[0], str) \
            or not _ISO_DATE.fullmatch(present.iloc[0]) \
            or not present.astype(str).str.fullmatch(_ISO_DATE.pattern).all():
        return pd.Series(values, dtype=np.dtype(object))
    dates = _parsedDates(column, values)
    ticks = dates.view(np.int64)[~np.isnat(dates)]
    unit = np.datetime_data(dates.dtype)[0]
    if unit in _UNITS:  # the coarsest unit that holds every value exactly
        for coarser in _UNITS[:_UNITS.index(unit)]:
            step = 10 ** (3 * (_UNITS.index(unit) - _UNITS.index(coarser)))
            if not (ticks % step).any():
                unit = coarser
                break
    else:
        unit = "s"  # days or minutes
    dates = dates.astype(np.dtype(f"datetime64[{unit}]"))
    if _pandasMajor() >= 2:
        return pd.Series(dates, dtype=dates.dtype)
    try:
        return pd.Series(dates)  # pandas 1.5 converts to nanoseconds, refusing what they miss
    except (ValueError, OverflowError):
        # a date outside the nanoseconds' range stays a date, as a datetime object
        return pd.Series(dates.astype(np.dtype(object)), dtype=np.dtype(object))


def _checkElements(values, nested=()):
    """
    Raise InvalidArgumentValue for a value a data object cannot hold; return
    False when a value is an instance of ``nested`` (True otherwise). Values
    are judged by their type, so one value of each type is looked at.
    """
    if not isinstance(values, (list, np.ndarray)):
        values = list(values)
    for value in dict(zip(map(type, values), values)).values():
        if nested and isinstance(value, nested):
            return False
        if not isAllowedSingleElement(value):
            raise InvalidArgumentValue(
                f"a data object cannot hold the value {value!r} of type {type(value).__name__}")
    return True


# What pandas' type inference answers for values that are all (missing or) of
# types a data object holds; any other answer has the values judged by type.
_HELD_KINDS = frozenset(["string", "integer", "floating", "mixed-integer-float", "boolean",
                         "datetime", "datetime64", "date", "timedelta", "timedelta64",
                         "complex", "decimal", "empty"])


def _objectValuesFit(table, nested=()) -> bool:
    """``_checkElements`` for the object features of a pandas table."""
    for position, dtype in enumerate(pandasColumnDtypes(table)):
        if dtype != object:
            continue
        values = table.iloc[:, position].to_numpy()
        if pd.api.types.infer_dtype(values, skipna=True) not in _HELD_KINDS \
                and not _checkElements(values, nested):
            return False
    return True


_NESTED = (list, tuple, np.ndarray)


def _pointLists(source) -> bool:
    """Whether ``source`` is a non-empty list of point lists (or tuples) of one length."""
    return (bool(source) and set(map(type, source)) <= {list, tuple}
            and len(set(map(len, source))) == 1)


def createData(source, pointNames, featureNames, returnType, fileFormat=None):
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

    owned = isinstance(source, (str, os.PathLike))  # a table read here needs no copy
    if owned:
        source, ptNames, ftNames = _readCSV(source, pointNames, featureNames, fileFormat)
        # the file's names, unless names are given
        pointNames = pointNames if isinstance(pointNames, (list, tuple, dict)) else ptNames
        featureNames = featureNames if isinstance(featureNames, (list, tuple, dict)) else ftNames
    if isinstance(source, pd.DataFrame):
        ptNames = _labelsAsNames(source.index, pointNames) if pointNames in (True, None) \
            else _givenNames(pointNames, "pointNames")
        ftNames = _labelsAsNames(source.columns, featureNames) if featureNames in (True, None) \
            else _givenNames(featureNames, "featureNames")
        data = source if owned else source.copy()
        data.index = pd.RangeIndex(data.shape[0])
        data.columns = pd.RangeIndex(data.shape[1])
        # the constructor holds the values by the entry rule, in place
        obj = createDataNoValidation("DataFrame", data, ptNames, ftNames, reuseData=True)
        _objectValuesFit(obj._data)
        return obj if returnType == "DataFrame" else obj.copy(returnType)

    ptNames = _givenNames(pointNames, "pointNames")
    ftNames = _givenNames(featureNames, "featureNames")
    shape = None
    if _isSparseMatrix(source):
        data = source if returnType == "Sparse" else source.toarray()
    elif isinstance(source, list) and returnType == "DataFrame" and (
            _pointLists(source) or (source and not isinstance(source[0], _NESTED))):
        rows = source if isinstance(source[0], _NESTED) else [source]
        obj = createDataNoValidation("DataFrame", rows, ptNames, ftNames)
        if _objectValuesFit(obj._data, _NESTED):
            return obj
        data, shape = _arrayLike(source)  # points of lists: more dimensions
    elif isinstance(source, (np.ndarray, list, tuple)):
        data, shape = _arrayLike(source)
    else:
        raise InvalidArgumentType(
            "source must be a pandas DataFrame, a list, a numpy array, a scipy sparse "
            "matrix, a data object or the path of a CSV file; got "
            f"{type(source).__name__}")
    return createDataNoValidation(returnType, data, ptNames, ftNames, reuseData=True,
                                  shape=shape)


def _withoutNA(rows):
    """Point lists with pandas' NA replaced by None."""
    return [[None if value is pd.NA else value for value in row] for row in rows]


def _arrayLike(source):
    """Two-dimensional data (and the full shape, for more dimensions) from a list or array."""
    from kestro.core.data._dataHelpers import isValid2DObject
    if isinstance(source, (list, tuple)):
        source = list(source)
        nested = (list, tuple, np.ndarray)
        if isValid2DObject(source) and not any(isinstance(v, nested) for row in source
                                                for v in row):
            _checkElements(value for row in source for value in row)
            return _withoutNA(source), None
        if not any(isinstance(value, nested) for value in source):
            _checkElements(source)
            return _withoutNA([source]), None
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
        if type(pd.NA) in set(map(type, array.ravel())):  # NA becomes None
            flat = array.ravel().copy()
            flat[np.array([value is pd.NA for value in flat], dtype=bool)] = None
            array = flat.reshape(array.shape)
    elif not allowedNumpyDType(array.dtype):
        raise InvalidArgumentValue(f"a data object cannot hold values of dtype {array.dtype}")
    if array.ndim == 0:
        raise InvalidArgumentValue("source must have at least one dimension")
    if array.ndim == 1:
        return array.reshape(1, -1), None
    if array.ndim == 2:
        return array, None
    return array.reshape(array.shape[0], -1), list(array.shape)
