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


def data(source, pointNames=None, featureNames=None, returnType="DataFrame"):
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
        - the path (str or path object) of a ``.csv`` file in UTF-8, such as
          ``save`` writes (see "Reading a CSV file" below).
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

    Reading a CSV file
    ------------------
    With None (the default) for an axis, the names that ``save`` writes are
    found again: the first row holds the feature names when it starts with
    the field "pointNames" (written when both kinds of names are saved; the
    first column then holds the point names), or when its fields are
    distinct texts (none a number, boolean, date or empty) and at least one
    of them stands over a column of numbers, booleans or dates. A file of
    text values only, names that look like values, or point names without
    feature names need ``featureNames=True`` or ``pointNames=True``; a file
    saved without names is best read with both False.
    Names given as a list or dict replace the names the file holds. Each
    feature gets one element type: int, float (read back exactly), bool,
    text, or dates where every value is an ISO date ("2020-01-31", optionally
    with a time); empty fields are missing values.
    """
    from kestro._createData import createData
    return createData(source, pointNames, featureNames, returnType)
