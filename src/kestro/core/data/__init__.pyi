from collections.abc import Sequence
from typing import Any

from .axis import Features as Features, FeaturesView as FeaturesView, Points as Points, \
    PointsView as PointsView
from .base import Base as Base
from .dataframe import DataFrame as DataFrame, DataFrameView as DataFrameView
from .dataframeAxis import DataFrameFeatures as DataFrameFeatures, \
    DataFrameFeaturesView as DataFrameFeaturesView, DataFramePoints as DataFramePoints, \
    DataFramePointsView as DataFramePointsView
from .listData import List as List, ListView as ListView
from .matrix import Matrix as Matrix, MatrixView as MatrixView
from .sparse import Sparse as Sparse, SparseView as SparseView
from .views import BaseView as BaseView

available: list[str]

def createDataNoValidation(to: str, data: Any, ptNames: Sequence[str | None] | None,
                           ftNames: Sequence[str | None] | None, reuseData: bool = True,
                           shape: Sequence[int] | None = None) -> Base: ...

__all__ = ["available", "Base", "BaseView", "DataFrame", "DataFrameView", "Matrix",
           "MatrixView", "Sparse", "SparseView", "List", "ListView",
           "createDataNoValidation", "Points", "Features", "PointsView", "FeaturesView",
           "DataFramePoints", "DataFramePointsView", "DataFrameFeatures",
           "DataFrameFeaturesView"]
