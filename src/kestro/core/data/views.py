"""
BaseView: the read-only view of a rectangle of another data object.

A concrete view class derives from BaseView and from its storage class, in
that order (for example ``DataFrameView(BaseView, DataFrame)``), so that
BaseView's constructor runs first and hands the remaining keywords on to the
storage constructor.
"""

from kestro.exceptions import ImproperObjectAction

from .base import Base


def _namesInRange(axis, start, end):
    names = axis._names  # read in place: a view of one point copies one name, not all
    if names is None:
        return None
    names = names[start:end]
    return names if any(n is not None for n in names) else None


def _readOnly(name):
    def refuse(self, *args, **kwargs):
        raise ImproperObjectAction(
            f"{name} is not allowed on a view: views are read-only. Make a copy with "
            "copy() and change that instead")

    refuse.__name__ = refuse.__qualname__ = name
    refuse.__doc__ = "Not available on a read-only view: raises ImproperObjectAction."
    return refuse


class BaseView(Base):
    """
    Read-only access to the points pointStart to pointEnd and the features
    featureStart to featureEnd (ends exclusive) of ``source``.

    The names of that range of ``source`` become the view's names. The
    storage constructor is called with ``reuseData=True`` and the remaining
    keywords (``data``, ``shape``, ...), so the view may share the source's
    values. Every operation that would change the object raises
    ImproperObjectAction.
    """

    def __init__(self, source, pointStart, pointEnd, featureStart, featureEnd, **kwds):
        self._source = source
        self._pStart, self._pEnd = pointStart, pointEnd
        self._fStart, self._fEnd = featureStart, featureEnd
        kwds.setdefault("pointNames", _namesInRange(source.points, pointStart, pointEnd))
        kwds.setdefault("featureNames", _namesInRange(source.features, featureStart, featureEnd))
        kwds["reuseData"] = True
        super().__init__(**kwds)

    transform = _readOnly("transform")
    transpose = _readOnly("transpose")
    replaceRectangle = _readOnly("replaceRectangle")
    flatten = _readOnly("flatten")
    unflatten = _readOnly("unflatten")
    merge = _readOnly("merge")
    replaceFeatureWithBinaryFeatures = _readOnly("replaceFeatureWithBinaryFeatures")
    convertToNumericTypes = _readOnly("convertToNumericTypes")
