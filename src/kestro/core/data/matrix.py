"""Matrix: a data object whose values live in one two-dimensional numpy array."""

import numpy as np

from kestro.exceptions import InvalidArgumentType

from ._arrayStorage import ArrayStorage, asNumeric
from ._dataHelpers import toNumpy2D
from .axis import FeaturesView, PointsView
from .views import BaseView


class Matrix(ArrayStorage):
    """
    Data object storing its values in a 2-D numpy array (``_data``) of one
    dtype; mixed or non-numeric values are kept in an object array.
    """

    _typeString = "Matrix"

    def _setData(self, data, reuseData, width):
        array = toNumpy2D(data, width)
        if array.ndim != 2:
            raise InvalidArgumentType("Matrix data must be two-dimensional")
        if not reuseData and isinstance(data, np.ndarray) and np.may_share_memory(array, data):
            array = array.copy()
        self._data = array

    def _asNumpyArray(self, numericRequired=False):
        return asNumeric(self._data, numericRequired).copy()

    def _getitem_implementation(self, x, y):
        return self._data[x, y]


class MatrixView(BaseView, Matrix):
    """Read-only access to a Matrix object."""

    _pointsClass = PointsView
    _featuresClass = FeaturesView


Matrix._viewClass = MatrixView
