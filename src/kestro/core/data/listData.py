"""List: a data object whose values live in a list of point lists."""

import numpy as np

from kestro.exceptions import InvalidArgumentType

from ._arrayStorage import ArrayStorage, asNumeric
from ._dataHelpers import inferArrayDtype, isValid2DObject, toNumpy2D
from .axis import FeaturesView, PointsView
from .views import BaseView


class List(ArrayStorage):
    """
    Data object storing its values as a list of point lists (``_data``).
    The number of features is kept apart so that an object of no points
    keeps its width.
    """

    _typeString = "List"

    def _setData(self, data, reuseData, width):
        if isinstance(data, list) and isValid2DObject(data):
            rows = [row if reuseData and isinstance(row, list) else list(row) for row in data]
            numFeatures = len(rows[0]) if rows else width
        else:
            array = toNumpy2D(data, width)
            if array.ndim != 2:
                raise InvalidArgumentType("List data must be two-dimensional")
            if array.dtype.kind == "M":  # keep datetimes as datetime objects
                array = array.astype("datetime64[us]").astype(object)
            rows, numFeatures = array.tolist(), array.shape[1]
        self._data = rows
        self._numFeatures = numFeatures

    def _storedShape(self):
        return len(self._data), self._numFeatures

    def _copySource(self):
        if not self._data:
            return self._asNumpyArray()
        return [list(row) for row in self._data]

    def _asNumpyArray(self, numericRequired=False):
        array = np.empty((len(self._data), self._numFeatures), dtype=object)
        for i, row in enumerate(self._data):
            array[i, :] = row
        return asNumeric(inferArrayDtype(array), numericRequired)

    def _getitem_implementation(self, x, y):
        return self._data[x][y]


class ListView(BaseView, List):
    """Read-only access to a List object."""

    _pointsClass = PointsView
    _featuresClass = FeaturesView


List._viewClass = ListView
