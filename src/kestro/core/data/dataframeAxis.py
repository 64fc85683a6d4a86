"""Axis classes of the DataFrame storage variant and of its views."""

from .axis import AxisView, Features, Points


class DataFramePoints(Points):
    """The points of a DataFrame object."""


class DataFrameFeatures(Features):
    """The features of a DataFrame object."""


class DataFramePointsView(AxisView, DataFramePoints):
    """The points of a read-only DataFrame view."""


class DataFrameFeaturesView(AxisView, DataFrameFeatures):
    """The features of a read-only DataFrame view."""
