"""
Data objects: the generic Base class and its storage variants.

The native module ``dataframe`` imports ``base``, ``views``,
``dataframeAxis`` and ``_dataHelpers`` while it initialises, so those are
imported first and never import a storage class at module level.
"""

# storage type names, in the form copy() and createDataNoValidation accept
available = ["List", "Matrix", "Sparse", "DataFrame"]

from .base import Base  # noqa: E402
from .views import BaseView  # noqa: E402
from .axis import Features, FeaturesView, Points, PointsView  # noqa: E402
from .dataframeAxis import (DataFrameFeatures, DataFrameFeaturesView,  # noqa: E402
                            DataFramePoints, DataFramePointsView)
from ._dataHelpers import createDataNoValidation  # noqa: E402
from .dataframe import DataFrame, DataFrameView  # noqa: E402
from .matrix import Matrix, MatrixView  # noqa: E402
from .sparse import Sparse, SparseView  # noqa: E402
from .listData import List, ListView  # noqa: E402

__all__ = ["available", "Base", "BaseView", "DataFrame", "DataFrameView", "Matrix",
           "MatrixView", "Sparse", "SparseView", "List", "ListView",
           "createDataNoValidation", "Points", "Features", "PointsView", "FeaturesView",
           "DataFramePoints", "DataFramePointsView", "DataFrameFeatures",
           "DataFrameFeaturesView"]
