"""
kestro: two-dimensional data objects of points (rows) and features
(columns), each axis with optional names, in several storage variants.

Build one with ``kestro.data(...)``. Importing this package is cheap: numpy,
pandas and the storage classes are loaded when first needed.
"""

from kestro.exceptions import (ImproperObjectAction, InvalidArgumentType,
                               InvalidArgumentValue, KestroException, PackageException)


def _version() -> str:
    """
    The installed distribution's version when this copy of kestro is the
    installed one; otherwise (an in-place build in a checkout, whatever else
    is installed) the version in the checkout's pyproject.toml.
    """
    from importlib.metadata import PackageNotFoundError, distribution
    from pathlib import Path
    here = Path(__file__).resolve()
    try:
        installed = distribution("kestro")
        if Path(str(installed.locate_file("kestro/__init__.py"))).resolve() == here:
            return installed.version
    except PackageNotFoundError:
        pass
    project = here.parent.parent.parent / "pyproject.toml"
    if project.is_file():
        import tomllib
        with open(project, "rb") as file:
            table = tomllib.load(file).get("project", {})
        if table.get("name") == "kestro" and isinstance(table.get("version"), str):
            return str(table["version"])
    return "0+unknown"


def __getattr__(name: str):
    # __version__ is worked out on first use: importlib.metadata alone would
    # double the cost of importing kestro
    if name == "__version__":
        version = _version()
        globals()["__version__"] = version
        return version
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

__all__ = ["data", "KestroException", "InvalidArgumentType", "InvalidArgumentValue",
           "PackageException", "ImproperObjectAction"]


def data(source, pointNames=None, featureNames=None, returnType="DataFrame", fileFormat=None):
    """
    Build a data object.

    Parameters
    ----------
    source : object
        - a pandas DataFrame;
        - a list of point lists (a flat list is one point);
        - a numpy array: 1-D is one point, 2-D is used as it is, and an
          array of more dimensions is stored as ``shape[0]`` points of the
          remaining dimensions flattened, remembering all its dimensions;
        - a scipy sparse matrix;
        - a data object (copied into ``returnType``);
        - the path (str or path object) of a CSV file in UTF-8 (a byte
          order mark is allowed), such as ``save`` or pandas' ``to_csv``
          writes (see "Reading a CSV file" below).
    pointNames, featureNames : list, dict, bool or None
        A list (or a dict name -> position) gives the names. True takes them
        from the source: for a CSV file ``featureNames=True`` means the first
        row holds the feature names and ``pointNames=True`` means the first
        column holds the point names; for a pandas DataFrame the column
        labels and the index. False gives no names (a CSV file's first row
        or column is then read as values). None takes a pandas DataFrame's
        labels unless they are the default 0..n-1 range, detects the names
        of a CSV file, and gives no names for other sources.
    returnType : str
        The storage type: "DataFrame" (default), "Matrix", "Sparse" or "List".
    fileFormat : str or None
        "csv" reads the file at ``source`` as CSV whatever its name ends
        in. With None only a name ending in ".csv" (in any case) is read.

    Values
    ------
    Whatever the source and ``returnType``, each feature holds one numpy
    element type and pandas' missing marker NA never stays inside: nullable
    and Arrow numbers become numpy numbers (integers with gaps float64 with
    NaN when exact there, else Python ints with None), text becomes object
    features of str with None for missing, categories and sparse features
    their values, timezone-aware datetimes Timestamp objects; types with no
    such form (periods, intervals, nested Arrow types) are refused with
    InvalidArgumentType. The README's "What a data object holds" gives the
    whole table.

    Reading a CSV file
    ------------------
    The file is read once, by pandas' reader. With None (the default) for an
    axis the names are detected from the first rows: the first row holds
    the feature names and the first column the point names when the row
    starts with the field "pointNames" (``save`` writes it when both kinds
    of names are saved) or with an empty field (pandas' ``to_csv`` index
    column; its default labels 0..n-1 give no point names) followed by
    names; any other first row holds the feature names when its fields are
    distinct texts (none a number, boolean, date or empty) and at least one
    of them stands over a column of numbers, booleans or dates. A file of
    text values only, names that look like values, or point names without
    feature names need ``featureNames=True`` or ``pointNames=True``; a file
    saved without names is best read with both False.
    Names given as a list or dict replace the names the file holds. Each
    feature gets one element type: int, float (read back exactly), bool,
    text, or datetime64 where every value is an ISO date ("2020-01-31",
    optionally with a time), in the coarsest of the units s, ms, us and ns
    that holds every value exactly (pandas 1.5 holds ns only: a date outside
    their range is kept as a datetime object there). Only an empty field is
    missing: "NA", "None" or "nan" in a text feature are text. An empty
    field in a text feature is read as a missing value (None): ``save``
    writes the empty string and a missing value alike.
    """
    from kestro._createData import createData
    return createData(source, pointNames, featureNames, returnType, fileFormat)
