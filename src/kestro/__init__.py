"""
kestro: two-dimensional data objects of points (rows) and features
(columns), each axis with optional names, in several storage variants.

Build one with ``kestro.data(...)``. Importing this package is cheap: numpy,
pandas and the storage classes are loaded when first needed.
"""

from kestro.exceptions import (ImproperObjectAction, InvalidArgumentType,
                               InvalidArgumentValue, KestroException, PackageException)

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
        - the path (str or path object) of a ``.csv`` file, read with pandas.
    pointNames, featureNames : list, dict, bool or None
        A list (or a dict name -> position) gives the names. True takes them
        from the source: for a CSV file ``featureNames=True`` means the first
        row holds the feature names and ``pointNames=True`` means the first
        column holds the point names (otherwise both are values); for a
        pandas DataFrame the column labels and the index. None takes a
        pandas DataFrame's labels unless they are the default 0..n-1 range,
        and gives no names for other sources. False gives no names.
    returnType : str
        The storage type: "DataFrame" (default), "Matrix", "Sparse" or "List".
    """
    from kestro._createData import createData
    return createData(source, pointNames, featureNames, returnType)
