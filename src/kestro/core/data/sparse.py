"""Sparse: a data object whose values live in a scipy COO sparse matrix."""

import numpy as np

from kestro._utility import scipy
from kestro.exceptions import InvalidArgumentValue, PackageException

from ._arrayStorage import ArrayStorage, asNumeric
from ._dataHelpers import _isSparseMatrix, toNumpy2D
from .axis import FeaturesView, PointsView
from .views import BaseView


class Sparse(ArrayStorage):
    """Data object storing numeric values in a scipy COO matrix (``_data``)."""

    _typeString = "Sparse"

    def _setData(self, data, reuseData, width):
        if not scipy.kestroAccessible():
            raise PackageException("To use class Sparse, scipy must be installed.")
        if _isSparseMatrix(data):
            self._data = data.tocoo(copy=not reuseData)
            return
        array = toNumpy2D(data, width)
        if array.dtype.kind not in "biufc":
            try:
                array = array.astype(np.float64)
            except (TypeError, ValueError) as error:
                raise InvalidArgumentValue("Sparse objects can only hold numeric values") \
                    from error
        self._data = scipy.sparse.coo_matrix(array)

    def _asNumpyArray(self, numericRequired=False):
        return asNumeric(self._data.toarray(), numericRequired)

    def _getitem_implementation(self, x, y):
        return self._data.tocsr()[x, y]


class SparseView(BaseView, Sparse):
    """Read-only access to a Sparse object."""

    _pointsClass = PointsView
    _featuresClass = FeaturesView


Sparse._viewClass = SparseView
