"""
Base: the generic two-dimensional data object.

Every public operation is implemented here once: it checks its arguments,
turns names into positions, keeps the names and the shape up to date, and
hands the part that touches the values to one storage hook of the concrete
class (the methods whose names end in ``_implementation``).
"""

from __future__ import annotations

import collections
import functools
import inspect
import math
import numbers
import operator
import os
import sys

import numpy as np

from kestro._utility import isAllowedSingleElement
from kestro.exceptions import (ImproperObjectAction, InvalidArgumentType,
                               InvalidArgumentValue)

from ._dataHelpers import (binaryFeatureValues, createDataNoValidation, getFeatureDtypes,
                           isMissing, isValid2DObject, mergedPointPositions)
from .axis import Features, Points, isDefaultName

RAW_FORMATS = ("pythonlist", "numpyarray", "numpymatrix", "scipycoo", "scipycsc",
               "scipycsr", "pandasdataframe")
ORDERS = ("point", "feature")
MERGE_RULES = ("strict", "left", "union", "intersection")
FLATTENED_NAME_SEPARATOR = " | "

MergeAlignment = collections.namedtuple(
    "MergeAlignment", "points features pointNames featureNames matchingFtIdx onFeature")
MergeAlignment.__doc__ = """
Where the points and features of a merge result come from.

points, features : lists of (position in self or None, position in other or None)
pointNames, featureNames : the result's names (None entries for unnamed), or None
matchingFtIdx : (positions in self, positions in other) of features matched by name
onFeature : the name of the feature points are matched on, or None
"""


def _checkOrder(order, argName="order"):
    if not isinstance(order, str):
        raise InvalidArgumentType(f"{argName} must be 'point' or 'feature'; got "
                                  f"{type(order).__name__}")
    if order not in ORDERS:
        raise InvalidArgumentValue(f"{argName} must be 'point' or 'feature'; got {order!r}")


def _checkBool(value, argName):
    if not isinstance(value, (bool, np.bool_)):
        raise InvalidArgumentType(f"{argName} must be True or False; got {type(value).__name__}")


def _checkCallable(function, argName):
    if not callable(function):
        raise InvalidArgumentType(f"{argName} must be callable; got {type(function).__name__}")


def _bindsPositional(function, count):
    """True/False whether ``function`` accepts ``count`` positional arguments; None if unknown."""
    try:
        signature = inspect.signature(function)
    except (TypeError, ValueError):
        return None
    try:
        signature.bind(*range(count))
    except TypeError:
        return False
    return True


class _PreparedFunction(functools.partial):
    """A user function as the transform hook receives it, with ``oneArg`` set."""


def _prepareFunction(function):
    oneArg = _bindsPositional(function, 1)
    if oneArg is False and not _bindsPositional(function, 3):
        raise InvalidArgumentValue(
            "function must take one argument (the value) or three (the value, its point "
            "position and its feature position)")
    prepared = _PreparedFunction(function)
    prepared.oneArg = oneArg is not False
    return prepared


def _frozenSelection(positions: list[int] | None) -> tuple[int, ...] | None:
    """Resolved positions as a tuple: a selection no function can edit."""
    return None if positions is None else tuple(positions)


def _isScalarOperand(value):
    return value is not None and isAllowedSingleElement(value)


def _broadcastShape(left, right):
    """Result shape of an element-wise operation, or None when the shapes do not fit."""
    if left == right:
        return left
    ones = [side for l, r in zip(left, right) if l != r
            for side, size in (("left", l), ("right", r)) if size == 1]
    differing = sum(l != r for l, r in zip(left, right))
    if len(ones) == differing and len(set(ones)) == 1:
        return tuple(r if l == 1 else l for l, r in zip(left, right))
    return None


def _uniqueOrNone(names):
    """Names with repeats blanked; None when nothing is named."""
    seen, out = set(), []
    for name in names:
        if name is not None and name in seen:
            name = None
        if name is not None:
            seen.add(name)
        out.append(name)
    return out if seen else None


class Base:
    """
    A two-dimensional data object: points (rows) by features (columns),
    each axis with optional names.

    Parameters
    ----------
    shape : tuple or list of int
        The dimension sizes. With more than two entries the object holds
        higher-dimensional data stored flattened: ``_dims[0]`` points by the
        product of the remaining sizes as features.
    pointNames, featureNames : list, dict or None
        One name (str) per position, or a dict mapping names to positions.
    kwds
        Accepted for cooperative construction; no other keyword is known here.
    """

    __hash__ = None          # element-wise == makes data objects unhashable

    def __init__(self, shape, pointNames=None, featureNames=None, **kwds):
        if kwds:
            raise TypeError(f"unexpected keyword arguments: {', '.join(sorted(kwds))}")
        self._dims = self._validateDims(shape, "shape")
        self._points = self._getPoints(pointNames)
        self._features = self._getFeatures(featureNames)

    @staticmethod
    def _validateDims(shape, argName, minimum=0):
        if type(shape) in (tuple, list) and len(shape) == 2:
            first, second = shape          # the common case: two plain ints
            if type(first) is int and type(second) is int and first >= minimum \
                    and second >= minimum:
                return [first, second]
        if not isinstance(shape, (tuple, list)):
            raise InvalidArgumentType(
                f"{argName} must be a tuple or list of ints; got {type(shape).__name__}")
        if len(shape) < 2 or not all(
                isinstance(s, (numbers.Integral, np.integer)) and not isinstance(s, bool)
                and s >= minimum for s in shape):
            raise InvalidArgumentValue(
                f"{argName} must hold at least two ints, each at least {minimum}; got {shape!r}")
        return [int(s) for s in shape]

    # ---- structure ------------------------------------------------------------------

    @property
    def shape(self) -> tuple[int, int]:
        """(number of points, number of features)."""
        return self._dims[0], math.prod(self._dims[1:])

    @property
    def points(self):
        """The point axis: names, lookups and ``points[i]`` access."""
        return self._points

    @property
    def features(self):
        """The feature axis: names, lookups and ``features[j]`` access."""
        return self._features

    def _getPoints(self, names):
        return Points(self, names)

    def _getFeatures(self, names):
        return Features(self, names)

    def _storedShape(self) -> tuple[int, int]:
        """The shape of the values actually stored (read after a hook reshapes them)."""
        return tuple(self._data.shape)

    def _adoptValuesOf(self, other):
        """Take over the stored values (not names or shape) of ``other``, of the same storage."""
        for key, value in vars(other).items():
            if key not in ("_dims", "_points", "_features"):
                setattr(self, key, value)

    def _setNames(self, pointNames, featureNames):
        self._points._setNamesRaw(pointNames)
        self._features._setNamesRaw(featureNames)

    def _requireTwoDimensions(self, operation):
        if len(self._dims) > 2:
            raise ImproperObjectAction(
                f"{operation} is only possible on two-dimensional objects; this one has "
                f"dimensions {self._dims}. Flatten it first")

    def getTypeString(self) -> str:
        """The name of the storage type, for example "DataFrame"."""
        return self._getTypeString_implementation()

    def __len__(self):
        return self.shape[0]

    def __iter__(self):
        return iter(self.points)

    def __array__(self, dtype=None, copy=None):
        """
        The values as a new numpy array (shape ``_dims``), so that numpy and
        pandas functions take a data object like an array. The array is
        always a copy: ``copy=False`` raises ValueError, as numpy expects.
        """
        if copy is False:
            raise ValueError("a data object's values cannot be seen as an array without a copy")
        values = self.copy("numpyarray")
        return values if dtype is None else values.astype(dtype, copy=False)

    def __array_ufunc__(self, ufunc, method, *inputs, **kwargs):
        """
        numpy's side of a data object. Reductions (``np.sum``, ``np.min``,
        ``np.max``, ...) give what they give on ``np.asarray(obj)``. A ufunc
        that stands for an operator (``np.add``, ``np.less``, ``np.negative``,
        ...) called by numpy on a number and a data object, as in
        ``np.float64(2) * obj``, is that operator of the object. Any other
        use is refused with TypeError: use the object's own operators, or
        ``calculate`` for other functions.
        """
        if method == "reduce" and len(inputs) == 1 and inputs[0] is self \
                and kwargs.get("out") is None:
            return ufunc.reduce(np.asarray(self), **kwargs)
        operators = _UFUNC_OPERATORS.get(ufunc.__name__) if method == "__call__" else None
        # numpy may hand a number on as an array of no dimensions
        inputs = [x[()] if isinstance(x, np.ndarray) and x.ndim == 0 else x for x in inputs]
        if operators is not None and not kwargs and len(inputs) == len(operators):
            if len(inputs) == 1:
                return getattr(self, operators[0])()
            if inputs[0] is self and not isinstance(inputs[1], np.ndarray):
                return getattr(self, operators[0])(inputs[1])
            if inputs[1] is self and not isinstance(inputs[0], np.ndarray):
                return getattr(self, operators[1])(inputs[0])
        raise TypeError(
            f"numpy's {ufunc.__name__}{'' if method == '__call__' else '.' + method} cannot "
            "take a data object; use the object's own operators (+ - * / // % ** @, == != < <= "
            "> >=, -obj, abs(obj)) or obj.calculate(function) for other functions, or "
            "np.asarray(obj) for a plain array")

    def __bool__(self):
        raise ImproperObjectAction(
            "the truth value of a data object is ambiguous; use isIdentical, "
            "containsZero or compare the shape instead")

    # ---- copying and views ----------------------------------------------------------

    def copy(self, to="DataFrame"):
        """
        An independent copy of this object's values.

        Parameters
        ----------
        to : str
            A storage type (one of ``kestro.core.data.available``) or a raw
            format: "pythonlist", "numpyarray", "numpymatrix", "scipycoo",
            "scipycsc", "scipycsr" or "pandasdataframe" (any letter case).
        """
        from kestro.core.data import available
        if not isinstance(to, str):
            raise InvalidArgumentType(f"to must be a str; got {type(to).__name__}")
        lowered = {name.lower(): name for name in available}
        lowered.update((name, name) for name in RAW_FORMATS)
        target = lowered.get(to.lower())
        if target is None:
            raise InvalidArgumentValue(
                f"to must be one of {list(available) + list(RAW_FORMATS)}; got {to!r}")
        ret = self._copy_implementation(target)
        if isinstance(ret, Base) and len(self._dims) > 2:
            ret._dims = list(self._dims)
        return ret

    def view(self, pointStart=None, pointEnd=None, featureStart=None, featureEnd=None):
        """
        A read-only view of the points pointStart to pointEnd and the
        features featureStart to featureEnd. Bounds are names or positions
        (negative positions count from the end); ends are exclusive; None
        means the start or the end of the axis.
        """
        ps, pe = self.points._resolveRange(pointStart, pointEnd, "pointStart", "pointEnd")
        fs, fe = self.features._resolveRange(featureStart, featureEnd, "featureStart",
                                             "featureEnd")
        if len(self._dims) > 2 and (fs, fe) != (0, self.shape[1]):
            raise InvalidArgumentValue(
                "the features of an object of more than two dimensions cannot be limited "
                "in a view; give only pointStart and pointEnd")
        return self._view_implementation(ps, pe, fs, fe, False)

    def __getitem__(self, key):
        """
        ``obj[point, feature]``: one element by names or positions; a slice
        on either axis gives a view instead. Objects of one point or one
        feature also take a single index, ``obj[i]``.
        """
        if isinstance(key, tuple):
            if len(key) != 2:
                raise InvalidArgumentValue("give one point and one feature: obj[point, feature]")
            x, y = key
        elif self.shape[0] == 1:
            x, y = 0, key
        elif self.shape[1] == 1:
            x, y = key, 0
        else:
            raise InvalidArgumentValue(
                "this object has several points and features; index it as obj[point, feature]")
        if isinstance(x, slice) or isinstance(y, slice):
            ps, pe = self._keyRange(self.points, x)
            fs, fe = self._keyRange(self.features, y)
            return self.view(ps, pe, fs, fe)
        return self._getitem_implementation(self.points._resolve(x, "point"),
                                             self.features._resolve(y, "feature"))

    @staticmethod
    def _keyRange(axis, key):
        if isinstance(key, slice):
            return axis._sliceRange(key)
        pos = axis._resolve(key, axis._kind)
        return pos, pos + 1

    # ---- element-wise computation ----------------------------------------------------

    def transform(self, function, points=None, features=None) -> None:
        """
        Replace each selected element, in place, by ``function(value)`` or,
        for a function of three arguments, ``function(value, i, j)`` with
        the element's point and feature positions. ``points`` and
        ``features`` select by names or positions (None for all); the
        selection is read when the call starts, so a function that edits
        the list it was given does not change which elements are visited.

        Elements are written as they are computed. If ``function`` raises
        part way, its exception propagates and the elements written before
        it keep their new values (a feature converted to hold them stays
        converted); the rest keep their old ones. The DataFrame storage
        works this way; the Matrix, Sparse and List storages write nothing
        unless every call succeeds.
        """
        _checkCallable(function, "function")
        prepared = _prepareFunction(function)
        pts = _frozenSelection(self.points._resolveMany(points, "points"))
        fts = _frozenSelection(self.features._resolveMany(features, "features"))
        self._transform_implementation(prepared, pts, fts)

    def calculate(self, function, points=None, features=None, preserveZeros=False):
        """
        A new object holding ``function(value)`` for each element of the
        selected points and features (None for all), in selection order.
        With ``preserveZeros`` a storage may skip zeros, which stay zero.
        This object is never changed: if ``function`` raises, its exception
        propagates and no new object is made.
        """
        _checkCallable(function, "function")
        if _bindsPositional(function, 1) is False:
            raise InvalidArgumentValue("function must take one argument (the value)")
        _checkBool(preserveZeros, "preserveZeros")
        pts = self.points._resolveMany(points, "points")
        fts = self.features._resolveMany(features, "features")
        if fts is not None and len(self._dims) > 2:
            raise InvalidArgumentValue(
                "features cannot be selected in an object of more than two dimensions")
        values = self._calculate_implementation(function, pts, fts, preserveZeros)
        ret = createDataNoValidation(self.getTypeString(), values,
                                     self._selectedNames(self.points, pts),
                                     self._selectedNames(self.features, fts), reuseData=True)
        if len(self._dims) > 2:
            ret._dims = [ret.shape[0]] + self._dims[1:]
        return ret

    @staticmethod
    def _selectedNames(axis, positions):
        names = axis._getNamesNoGeneration()
        if names is None or positions is None:
            return names
        return _uniqueOrNone([names[i] for i in positions])

    def countUniqueElements(self, points=None, features=None) -> dict:
        """A dict mapping each distinct value of the selection to its count."""
        pts = self.points._resolveMany(points, "points")
        fts = self.features._resolveMany(features, "features")
        return self._countUnique_implementation(pts, fts)

    def containsZero(self) -> bool:
        """True when some element equals zero."""
        return bool(self._containsZero_implementation())

    def isIdentical(self, other) -> bool:
        """True when ``other`` has the same storage, names, shape and values."""
        if not isinstance(other, Base):
            return False
        if (self._dims != other._dims
                or self.points._getNamesNoGeneration() != other.points._getNamesNoGeneration()
                or self.features._getNamesNoGeneration()
                != other.features._getNamesNoGeneration()):
            return False
        return bool(self._isIdentical_implementation(other))

    def iterateElements(self, order="point", only=None):
        """
        An iterator over the elements, point by point ("point") or feature
        by feature ("feature"), limited to values for which ``only(value)``
        is true when ``only`` is given. An exception raised by ``only``
        propagates out of the iteration.
        """
        _checkOrder(order)
        if only is not None:
            _checkCallable(only, "only")
        return self._iterateElements_implementation(order, only)

    # ---- structural changes ------------------------------------------------------------

    def transpose(self) -> None:
        """Exchange points and features, with their names, in place."""
        self._requireTwoDimensions("transpose")
        ptNames = self.points._getNamesNoGeneration()
        ftNames = self.features._getNamesNoGeneration()
        self._transpose_implementation()
        self._dims = [self._dims[1], self._dims[0]]
        self._setNames(ftNames, ptNames)

    def replaceRectangle(self, replaceWith, pointStart, featureStart, pointEnd=None,
                         featureEnd=None) -> None:
        """
        Overwrite, in place, the points pointStart to pointEnd and the
        features featureStart to featureEnd (ends inclusive; names or
        positions) with one number or with a data object (or 2-D list or
        array) of the rectangle's shape. Missing ends reach to the end of
        the axis, or for a data object span its size.

        A value that a feature cannot hold converts that feature (for
        example to float64 or object). If the replacement fails (a value
        too large for any numeric type, for example), the error propagates
        and the object is left as it was.
        """
        if isinstance(replaceWith, (list, np.ndarray)):
            if not isValid2DObject(replaceWith):
                raise InvalidArgumentValue("replaceWith as a list or array must be two-dimensional")
            replaceWith = createDataNoValidation(self.getTypeString(), replaceWith, None, None)
        if replaceWith is None:
            replaceWith = np.nan
        isObject = isinstance(replaceWith, Base)
        if not isObject and not (isinstance(replaceWith, (numbers.Number, np.bool_))
                                 and isAllowedSingleElement(replaceWith)):
            raise InvalidArgumentType(
                "replaceWith must be a number, None or a data object; got "
                f"{type(replaceWith).__name__}")
        ps = self.points._resolve(pointStart, "pointStart")
        fs = self.features._resolve(featureStart, "featureStart")
        if pointEnd is None:
            pe = ps + replaceWith.shape[0] - 1 if isObject else self.shape[0] - 1
        else:
            pe = self.points._resolve(pointEnd, "pointEnd")
        if featureEnd is None:
            fe = fs + replaceWith.shape[1] - 1 if isObject else self.shape[1] - 1
        else:
            fe = self.features._resolve(featureEnd, "featureEnd")
        if pe < ps or fe < fs or pe >= self.shape[0] or fe >= self.shape[1]:
            raise InvalidArgumentValue(
                f"the rectangle points {ps}..{pe}, features {fs}..{fe} does not fit in an "
                f"object of shape {self.shape} (ends are inclusive and may not precede starts)")
        if isObject and replaceWith.shape != (pe - ps + 1, fe - fs + 1):
            raise InvalidArgumentValue(
                f"replaceWith has shape {replaceWith.shape} but the rectangle has shape "
                f"{(pe - ps + 1, fe - fs + 1)}")
        self._replaceRectangle_implementation(replaceWith, ps, fs, pe, fe)

    def flatten(self, order="point") -> None:
        """
        Turn this object, in place, into one point holding every element,
        read point by point ("point") or feature by feature ("feature").
        Element names become "pointName | featureName".
        """
        _checkOrder(order)
        numPts, numFts = self.shape
        named = (self.points._getNamesNoGeneration() is not None
                 or self.features._getNamesNoGeneration() is not None)
        ptNames, ftNames = self.points.getNames(), self.features.getNames()
        self._flatten_implementation(order)
        names = None
        if named:
            pairs = ([(p, f) for p in ptNames for f in ftNames] if order == "point"
                     else [(p, f) for f in ftNames for p in ptNames])
            names = [p + FLATTENED_NAME_SEPARATOR + f for p, f in pairs]
        self._dims = [1, numPts * numFts]
        self._setNames(None, names)

    def unflatten(self, dataDimensions, order="point") -> None:
        """
        Undo ``flatten``, in place: an object of one point (or one feature)
        becomes an object of the dimensions ``dataDimensions`` (a tuple or
        list of at least two sizes whose product is the number of elements),
        read point by point or feature by feature as ``order`` says.
        Flattened names of the form "pointName | featureName" are restored.
        """
        _checkOrder(order)
        dims = self._validateDims(dataDimensions, "dataDimensions")
        numPts, numFts = self.shape
        if numPts != 1 and numFts != 1:
            raise ImproperObjectAction(
                f"only an object of one point or one feature can be unflattened; this one has "
                f"{numPts} points and {numFts} features")
        if math.prod(dims) != numPts * numFts:
            raise InvalidArgumentValue(
                f"dataDimensions {dims} hold {math.prod(dims)} elements but this object holds "
                f"{numPts * numFts}")
        vectorAxis = self.features if numPts == 1 else self.points
        flatNames = vectorAxis._getNamesNoGeneration()
        reshape = (dims[0], math.prod(dims[1:]))
        self._unflatten_implementation(reshape, order)
        self._dims = dims
        names = (None, None)
        if len(dims) == 2 and flatNames is not None:
            names = _splitFlattenedNames(flatNames, reshape, order)
        self._setNames(*names)

    def merge(self, other, point="strict", feature="union", onFeature=None) -> None:
        """
        Combine the values of ``other`` into this object, in place.

        Points are matched by name or, when ``onFeature`` (a name or
        position of a feature named alike in both objects) is given, by
        the values of that feature. Features are matched by name. ``point``
        and ``feature`` decide what the result keeps of each axis:

        - "strict": both objects hold the same points (features); where
          neither object names them, the same number, matched by position;
        - "left": those of this object;
        - "union": those of this object, then those only ``other`` has;
        - "intersection": those of this object also found in ``other``.

        The result keeps this object's order; values that a point and a
        feature of both objects share must agree (a missing value is filled
        from the other side); positions neither object fills are missing.

        Refusals (bad rules, unmatched names, shared values that disagree)
        raise InvalidArgumentValue and leave this object as it was.
        """
        if not isinstance(other, Base):
            raise InvalidArgumentType(f"other must be a data object; got {type(other).__name__}")
        alignment = self._mergeAlignment(other, point, feature, onFeature)
        self._merge_implementation(other, point, feature, alignment.onFeature,
                                   alignment.matchingFtIdx)
        stored = self._storedShape()
        self._dims = [int(stored[0]), int(stored[1])]
        self._setNames(
            alignment.pointNames if stored[0] == len(alignment.points) else None,
            alignment.featureNames if stored[1] == len(alignment.features) else None)

    # The one point alignment of a merge, shared by every storage's hook.
    _mergedPointPositions = staticmethod(mergedPointPositions)

    def _mergeAlignment(self, other, point, feature, onFeature) -> MergeAlignment:
        """
        Validate merge arguments and work out where each point and feature of
        the result comes from (see MergeAlignment). The storage hooks follow
        the order given here.
        """
        for argName, rule in (("point", point), ("feature", feature)):
            if not isinstance(rule, str) or rule not in MERGE_RULES:
                raise InvalidArgumentValue(f"{argName} must be one of {MERGE_RULES}; got {rule!r}")
        self._requireTwoDimensions("merge")
        other._requireTwoDimensions("merge")

        features, matching = _alignFeatures(self, other, feature)
        selfFtNames = self.features._getNamesNoGeneration() or [None] * self.shape[1]
        otherFtNames = other.features._getNamesNoGeneration() or [None] * other.shape[1]

        onName = None
        if onFeature is None:
            if self.points._hasAllNames() and other.points._hasAllNames():
                selfKeys = self.points.getNames()
                otherKeys = other.points.getNames()
            elif (point == "strict" and self.points._getNamesNoGeneration() is None
                  and other.points._getNamesNoGeneration() is None):
                selfKeys, otherKeys = list(range(self.shape[0])), list(range(other.shape[0]))
            else:
                raise InvalidArgumentValue(
                    "matching points by name needs every point of both objects to be named; "
                    "name the points, or match them on a feature with onFeature")
        else:
            position = self.features._resolve(onFeature, "onFeature")
            onName = selfFtNames[position]
            if onName is None or not other.features.hasName(onName):
                raise InvalidArgumentValue(
                    "onFeature must identify a feature that has the same name in both objects")
            otherPosition = other.features.getIndex(onName)
            selfKeys = self._asNumpyArray()[:, position].tolist()
            otherKeys = other._asNumpyArray()[:, otherPosition].tolist()

        points = _alignPoints(selfKeys, otherKeys, point)
        selfPtNames = self.points._getNamesNoGeneration() or [None] * self.shape[0]
        otherPtNames = other.points._getNamesNoGeneration() or [None] * other.shape[0]
        pointNames = _uniqueOrNone([selfPtNames[i] if i is not None else otherPtNames[j]
                                    for i, j in points])
        featureNames = _uniqueOrNone([selfFtNames[i] if i is not None else otherFtNames[j]
                                      for i, j in features])
        return MergeAlignment(points, features, pointNames, featureNames, matching, onName)

    def replaceFeatureWithBinaryFeatures(self, featureToReplace) -> list[str]:
        """
        Replace one feature, in place, by one 0/1 feature per distinct value
        (in order of first appearance), named "featureName=value". Returns
        the new feature names. New names that clash with other features'
        names raise InvalidArgumentValue and leave the object as it was.
        """
        self._requireTwoDimensions("replaceFeatureWithBinaryFeatures")
        position = self.features._resolve(featureToReplace, "featureToReplace")
        ftNames = self.features._getNamesNoGeneration() or [None] * self.shape[1]
        baseName = ftNames[position] if ftNames[position] is not None else str(position)
        typeString = self.getTypeString()

        extracted = self.view(None, None, position, position + 1).copy(typeString)
        uniqueIdx: dict = {}
        for value in binaryFeatureValues(extracted._asNumpyArray()[:, 0]):
            # every missing value (None, NaN, NaT) is one value, whatever the
            # storage type made of it: one feature named "name=nan"
            uniqueIdx.setdefault(np.nan if isMissing(value) else value, len(uniqueIdx))
        newNames = [f"{baseName}={value}" for value in uniqueIdx]
        clashes = set(newNames).intersection(n for i, n in enumerate(ftNames) if i != position)
        if clashes:
            raise InvalidArgumentValue(
                f"the new feature names {sorted(clashes)} are already used by other features")
        if len(set(newNames)) != len(newNames):
            twice = sorted(n for n, count in collections.Counter(newNames).items() if count > 1)
            raise InvalidArgumentValue(
                f"different values of the feature give the same new feature names {twice}; "
                "make the values distinct as text first")

        returned = extracted._replaceFeatureWithBinaryFeatures_implementation(uniqueIdx)
        if isinstance(returned, Base):
            extracted = returned
        extracted._dims = list(extracted._storedShape())
        extracted._setNames(None, None)

        from kestro._utility import pd
        whole = self.copy("pandasdataframe")
        binary = extracted.copy("pandasdataframe")
        pieces = [whole.iloc[:, :position], binary, whole.iloc[:, position + 1:]]
        for piece in pieces:
            piece.index = pd.RangeIndex(piece.shape[0])
        pieces = [p for p in pieces if p.shape[1]]
        combined = (pd.concat(pieces, axis=1) if pieces
                    else pd.DataFrame(np.empty((self.shape[0], 0))))
        combined.columns = pd.RangeIndex(combined.shape[1])
        self._adoptValuesOf(createDataNoValidation(typeString, combined, None, None))
        ptNames = self.points._getNamesNoGeneration()
        self._dims = [self.shape[0], combined.shape[1]]
        self._setNames(ptNames, ftNames[:position] + newNames + ftNames[position + 1:])
        return newNames

    # ---- output and checks ----------------------------------------------------------

    def save(self, outPath, fileFormat=None, includeNames=True) -> None:
        """
        Write the object to ``outPath`` as CSV ("csv") or Matrix Market
        ("mtx"); without ``fileFormat`` the path's extension decides. With
        ``includeNames`` the names of each axis that has any are written too.

        A failure (a full disk, a value a Matrix Market file cannot hold
        exactly, ...) raises. Every storage writes under a temporary name
        beside ``outPath`` and moves the file over it only when it is
        complete, so a failed save leaves an existing file as it was and no
        partial file behind.
        """
        if not isinstance(outPath, (str, os.PathLike)):
            raise InvalidArgumentType(
                f"outPath must be a str or path; got {type(outPath).__name__}")
        if fileFormat is None:
            fileFormat = os.path.splitext(os.fspath(outPath))[1].lstrip(".")
            if fileFormat.lower() not in ("csv", "mtx"):
                raise InvalidArgumentValue(
                    "cannot tell the file format from the extension of outPath; end it in "
                    ".csv or .mtx, or give fileFormat")
        elif not isinstance(fileFormat, str):
            raise InvalidArgumentType(f"fileFormat must be a str; got {type(fileFormat).__name__}")
        fileFormat = fileFormat.lower()
        if fileFormat not in ("csv", "mtx"):
            raise InvalidArgumentValue(f"fileFormat must be 'csv' or 'mtx'; got {fileFormat!r}")
        _checkBool(includeNames, "includeNames")
        includePointNames = includeNames and self.points._getNamesNoGeneration() is not None
        includeFeatureNames = includeNames and self.features._getNamesNoGeneration() is not None
        if fileFormat == "csv":
            self._saveCSV_implementation(outPath, includePointNames, includeFeatureNames)
        else:
            self._saveMTX_implementation(outPath, includePointNames, includeFeatureNames)

    def checkInvariants(self, level=1) -> None:
        """
        Check this object's consistency (names against the shape, then the
        storage); raises AssertionError on the first problem found. Higher
        levels check more thoroughly.
        """
        if not isinstance(level, (numbers.Integral, np.integer)) or isinstance(level, bool):
            raise InvalidArgumentType(f"level must be an int; got {type(level).__name__}")
        if not (isinstance(self._dims, list) and len(self._dims) >= 2
                and all(isinstance(d, int) and d >= 0 for d in self._dims)):
            raise AssertionError(f"_dims must be a list of at least two sizes; got {self._dims!r}")
        for axis, size in ((self.points, self.shape[0]), (self.features, self.shape[1])):
            if len(axis) != size:
                raise AssertionError(f"{axis._kind} axis length {len(axis)} != {size}")
            names = axis._getNamesNoGeneration()
            if names is not None:
                if len(names) != size:
                    raise AssertionError(f"{len(names)} {axis._kind} names for {size} positions")
                for i, name in enumerate(names):
                    if name is not None and (axis._nameIndex.get(name) != i or isDefaultName(name)):
                        raise AssertionError(f"{axis._kind} name {name!r} is not indexed at {i}")
        self._checkInvariants_implementation(level)

    def convertToNumericTypes(self) -> None:
        """
        Make every feature numeric in place (bool, int64 or float64). If a
        value cannot be converted the error propagates and the object is
        left as it was.
        """
        usableTypes = [np.dtype(bool), np.dtype(np.int64), np.dtype(np.float64)]
        self._convertToNumericTypes_implementation(usableTypes)

    # ---- operators -------------------------------------------------------------------

    def _binaryOperation(self, opName, other):
        if isinstance(other, Base):
            resultShape = _broadcastShape(self.shape, other.shape)
            if resultShape is None:
                raise InvalidArgumentValue(
                    f"{opName}: the shapes {self.shape} and {other.shape} do not fit; give "
                    "equal shapes, or one object of one point (or one feature) matching the "
                    "other's features (points)")
        elif _isScalarOperand(other):
            resultShape = self.shape
        elif opName in ("__eq__", "__ne__"):
            return NotImplemented
        else:
            raise InvalidArgumentType(
                f"{opName}: the other operand must be a data object or a single number, bool "
                f"or str; got {type(other).__name__}")
        resultNames = self._operandNames(opName, other, resultShape)
        ret = self._binaryOperations_implementation(opName, other)
        if isinstance(ret, Base) and ret.shape == resultShape:
            ret._setNames(*resultNames)
            if len(self._dims) > 2 and resultShape == self.shape:
                ret._dims = list(self._dims)
        return ret

    def _operandNames(self, opName, other, resultShape):
        """
        The (point names, feature names) of the result, of shape
        ``resultShape``, of an element-wise operation with ``other``. Values
        are paired by position, so where both operands name an axis of the
        result's length the names must agree position by position (an unnamed
        position agrees with any name not used elsewhere on that axis); the
        first disagreement raises InvalidArgumentValue. Each position keeps
        whichever name it has; an operand broadcast along an axis gives none.
        """
        operands = [self, other] if isinstance(other, Base) else [self]
        result = []
        for axisName, length in zip(("points", "features"), resultShape):
            axes = [getattr(o, axisName) for o in operands]
            named = [axis._getNamesNoGeneration() for axis in axes if len(axis) == length]
            names = named[0] if named else None
            if len(named) == 2:
                names = _pairedNames(opName, axes[0]._kind, *named)
            result.append(names)
        return result

    # Element-wise operators: checked by _binaryOperation, computed by the
    # storage hook, named after self (or other) where the axis lengths agree.
    def __add__(self, other): return self._binaryOperation("__add__", other)
    def __radd__(self, other): return self._binaryOperation("__radd__", other)
    def __sub__(self, other): return self._binaryOperation("__sub__", other)
    def __rsub__(self, other): return self._binaryOperation("__rsub__", other)
    def __mul__(self, other): return self._binaryOperation("__mul__", other)
    def __rmul__(self, other): return self._binaryOperation("__rmul__", other)
    def __truediv__(self, other): return self._binaryOperation("__truediv__", other)
    def __rtruediv__(self, other): return self._binaryOperation("__rtruediv__", other)
    def __floordiv__(self, other): return self._binaryOperation("__floordiv__", other)
    def __rfloordiv__(self, other): return self._binaryOperation("__rfloordiv__", other)
    def __mod__(self, other): return self._binaryOperation("__mod__", other)
    def __rmod__(self, other): return self._binaryOperation("__rmod__", other)
    def __eq__(self, other): return self._binaryOperation("__eq__", other)
    def __ne__(self, other): return self._binaryOperation("__ne__", other)
    def __lt__(self, other): return self._binaryOperation("__lt__", other)
    def __le__(self, other): return self._binaryOperation("__le__", other)
    def __gt__(self, other): return self._binaryOperation("__gt__", other)
    def __ge__(self, other): return self._binaryOperation("__ge__", other)

    def __pow__(self, other, modulo=None):
        if modulo is not None:
            raise InvalidArgumentValue("pow with a modulo is not supported")
        return self._binaryOperation("__pow__", other)

    def __rpow__(self, other, modulo=None):
        if modulo is not None:
            raise InvalidArgumentValue("pow with a modulo is not supported")
        return self._binaryOperation("__rpow__", other)

    def __neg__(self): return self._unaryOperation("-", -1)
    def __pos__(self): return self._unaryOperation("+", 1)
    def __abs__(self): return self._unaryOperation("abs", 1, abs)

    def _unaryOperation(self, symbol, factor, function=None):
        """
        ``symbol obj`` as the multiplication by ``factor`` (so the result has
        the element types and names of that binary operation on every
        storage type), then ``function`` applied to each non-missing element.
        Refused for features holding values other than numbers and None.
        """
        bad = _nonNumericFeatures(self, allowNone=True)
        if bad:
            raise InvalidArgumentValue(
                f"{symbol} needs numeric data, but the object has non-numeric features: "
                f"{bad[:5]}")
        ret = self._binaryOperation("__mul__", factor)
        if function is not None:
            ret.transform(lambda value: value if value is None else function(value))
        return ret

    def __matmul__(self, other):
        return Base._matmul(self, other)

    def __rmatmul__(self, other):
        return Base._matmul(other, self)

    @staticmethod
    def _matmul(left, right):
        """``left @ right`` for two data objects, validated, names carried."""
        for operand in (left, right):
            if not isinstance(operand, Base):
                raise InvalidArgumentType(
                    f"matrix multiplication needs a data object on both sides; got "
                    f"{type(operand).__name__}")
        left._requireTwoDimensions("matrix multiplication")
        right._requireTwoDimensions("matrix multiplication")
        if left.shape[1] != right.shape[0]:
            raise InvalidArgumentValue(
                f"matrix multiplication needs as many features in the left object "
                f"({left.shape[1]}) as points in the right object ({right.shape[0]})")
        for side, obj in (("left", left), ("right", right)):
            bad = _nonNumericFeatures(obj)
            if bad:
                raise InvalidArgumentValue(
                    f"matrix multiplication needs numeric data, but the {side} object has "
                    f"non-numeric features: {bad[:5]}")
        ret = left._matmul__implementation(right)
        if isinstance(ret, Base):
            ret._setNames(left.points._getNamesNoGeneration(),
                          right.features._getNamesNoGeneration())
        return ret

    def _defaultBinaryOperations_implementation(self, opName, other):
        """
        The generic element-wise operation: numpy's ``opName`` on the dense
        values of this object and of ``other`` (a data object or a scalar).
        Returns a new object of this object's storage type, without names.
        """
        values = self._asNumpyArray()
        otherValues = other._asNumpyArray() if isinstance(other, Base) else other
        if isinstance(other, Base) and _broadcastShape(values.shape, otherValues.shape) is None:
            raise InvalidArgumentValue(
                f"{opName}: shapes {values.shape} and {otherValues.shape} do not fit")
        if values.dtype == object or getattr(otherValues, "dtype", None) == object:
            result = _objectOperation(opName, values, otherValues)
            from kestro._utility import pd
            if result.dtype == object and pd.kestroAccessible():
                # a table of object features: pandas infers no type (text,
                # dates) for the computed values, on any version
                result = pd.DataFrame(result, dtype=result.dtype)
            return createDataNoValidation(self.getTypeString(), result, None, None)
        if "pow" in opName:
            base, exponent = (otherValues, values) if opName.startswith("__r") \
                else (values, otherValues)
            exponent = np.asarray(exponent)
            if (np.asarray(base).dtype.kind in "biu" and exponent.dtype.kind in "iu"
                    and (exponent < 0).any()):
                # numpy refuses negative powers of integers; 2 ** -1 is 0.5
                values = values.astype(np.float64)
        result = _computeElements(opName, values, otherValues)
        return createDataNoValidation(self.getTypeString(), np.asarray(result), None, None)

    # ---- display -----------------------------------------------------------------------

    def __repr__(self):
        dims = " x ".join(str(d) for d in self._dims)
        kind = self.getTypeString() + (" view" if getattr(self, "_source", None) is not None
                                       else "")
        header = f"{kind} {dims} ({self.shape[0]}pt x {self.shape[1]}ft)"
        try:
            return header + "\n" + self._formatTable()
        except Exception as error:  # a broken storage must not break its repr
            return f"{header}\n<values unavailable: {type(error).__name__}: {error}>"

    __str__ = __repr__

    def _formatTable(self, maxPoints=20, maxFeatures=10) -> str:
        """
        The shown corner of the values as aligned text: at most ``maxPoints``
        points and ``maxFeatures`` features, each element read on its own in
        its feature's type, so the cost does not grow with the object.
        """
        numPts, numFts = self.shape
        rows = _elidedPositions(numPts, maxPoints)
        cols = _elidedPositions(numFts, maxFeatures)
        ptNames = self.points._getNamesNoGeneration()
        ftNames = self.features._getNamesNoGeneration()
        table = [[""] + [_label(ftNames, j) for j in cols]]
        for i in rows:
            table.append([_label(ptNames, i)] + [
                "..." if i is None or j is None
                else _formatValue(self._getitem_implementation(i, j)) for j in cols])
        widths = [max(len(row[c]) for row in table) for c in range(len(table[0]))]
        return "\n".join("  ".join(cell.rjust(w) for cell, w in zip(row, widths)).rstrip()
                         for row in table)

    # ---- storage hooks ------------------------------------------------------------------
    # Each concrete storage overrides these; the public operations above
    # call them with validated, resolved arguments.

    def _getTypeString_implementation(self):
        """The storage type name."""
        raise NotImplementedError(type(self).__name__ + "._getTypeString_implementation")

    def _asNumpyArray(self, numericRequired=False):
        """The values as one two-dimensional numpy array."""
        raise NotImplementedError(type(self).__name__ + "._asNumpyArray")

    def _copy_implementation(self, to):
        """A copy as storage type or raw format ``to`` (already validated)."""
        raise NotImplementedError(type(self).__name__ + "._copy_implementation")

    def _view_implementation(self, pointStart, pointEnd, featureStart, featureEnd, dropDimension):
        """A read-only view of positions [pointStart, pointEnd) x [featureStart, featureEnd)."""
        raise NotImplementedError(type(self).__name__ + "._view_implementation")

    def _getitem_implementation(self, x, y):
        """The element at point position x, feature position y."""
        raise NotImplementedError(type(self).__name__ + "._getitem_implementation")

    def _transform_implementation(self, toTransform, points, features):
        """Apply ``toTransform`` (flag ``oneArg``) in place to the selected elements."""
        raise NotImplementedError(type(self).__name__ + "._transform_implementation")

    def _calculate_implementation(self, function, points, features, preserveZeros):
        """Raw values of ``function`` applied to the selection, for a new object."""
        raise NotImplementedError(type(self).__name__ + "._calculate_implementation")

    def _countUnique_implementation(self, points, features):
        """A dict value -> count over the selection."""
        raise NotImplementedError(type(self).__name__ + "._countUnique_implementation")

    def _containsZero_implementation(self):
        """True when an element equals zero."""
        raise NotImplementedError(type(self).__name__ + "._containsZero_implementation")

    def _isIdentical_implementation(self, other):
        """True when ``other`` has the same storage and values."""
        raise NotImplementedError(type(self).__name__ + "._isIdentical_implementation")

    def _iterateElements_implementation(self, order, only):
        """An iterator over the elements in ``order``, filtered by ``only``."""
        raise NotImplementedError(type(self).__name__ + "._iterateElements_implementation")

    def _transpose_implementation(self):
        """Transpose the stored values in place."""
        raise NotImplementedError(type(self).__name__ + "._transpose_implementation")

    def _saveCSV_implementation(self, outPath, includePointNames, includeFeatureNames):
        """Write the values (and optionally names) as CSV."""
        raise NotImplementedError(type(self).__name__ + "._saveCSV_implementation")

    def _saveMTX_implementation(self, outPath, includePointNames, includeFeatureNames):
        """Write the values as Matrix Market, names in the comment."""
        raise NotImplementedError(type(self).__name__ + "._saveMTX_implementation")

    def _replaceRectangle_implementation(self, replaceWith, pointStart, featureStart,
                                         pointEnd, featureEnd):
        """Overwrite the inclusive rectangle in place with a scalar or data object."""
        raise NotImplementedError(type(self).__name__ + "._replaceRectangle_implementation")

    def _flatten_implementation(self, order):
        """Reshape the stored values in place to one point."""
        raise NotImplementedError(type(self).__name__ + "._flatten_implementation")

    def _unflatten_implementation(self, reshape, order):
        """Reshape one stored point (or feature) in place to ``reshape`` = (points, features)."""
        raise NotImplementedError(type(self).__name__ + "._unflatten_implementation")

    def _merge_implementation(self, other, point, feature, onFeature, matchingFtIdx):
        """
        Replace the stored values in place by the merge with ``other``:
        points and features in the order ``self._mergeAlignment(other,
        point, feature, onFeature)`` gives (``onFeature`` is a feature name
        or None; ``matchingFtIdx`` the pair of position lists of features
        matched by name). Conflicting shared values raise InvalidArgumentValue.
        """
        raise NotImplementedError(type(self).__name__ + "._merge_implementation")

    def _replaceFeatureWithBinaryFeatures_implementation(self, uniqueIdx):
        """
        On a one-feature object: replace its values in place by one 0/1
        feature per entry of ``uniqueIdx`` (value -> new feature position).
        """
        raise NotImplementedError(
            type(self).__name__ + "._replaceFeatureWithBinaryFeatures_implementation")

    def _checkInvariants_implementation(self, level):
        """Assert the storage's own invariants."""
        raise NotImplementedError(type(self).__name__ + "._checkInvariants_implementation")

    def _binaryOperations_implementation(self, opName, other):
        """A new object holding the element-wise ``opName`` with ``other``."""
        return self._defaultBinaryOperations_implementation(opName, other)

    def _matmul__implementation(self, other):
        """A new object holding the matrix product with ``other``."""
        raise NotImplementedError(type(self).__name__ + "._matmul__implementation")

    def _convertToNumericTypes_implementation(self, usableTypes):
        """Make every stored value numeric, keeping dtypes found in ``usableTypes``."""
        raise NotImplementedError(type(self).__name__ + "._convertToNumericTypes_implementation")


# ---- helpers of the operations above ----------------------------------------------------

def _alignFeatures(left, right, rule):
    """Feature pairs (left position or None, right position or None) and matchingFtIdx."""
    leftNames = left.features._getNamesNoGeneration()
    rightNames = right.features._getNamesNoGeneration()
    if rule == "strict" and leftNames is None and rightNames is None:
        if left.shape[1] != right.shape[1]:
            raise InvalidArgumentValue(
                f"feature='strict' needs the same features in both objects; they have "
                f"{left.shape[1]} and {right.shape[1]} unnamed features")
        pairs = [(i, i) for i in range(left.shape[1])]
        return pairs, ([i for i, _ in pairs], [j for _, j in pairs])
    leftNames = leftNames or [None] * left.shape[1]
    rightIndex = {n: j for j, n in enumerate(rightNames or []) if n is not None}
    matched = {i: rightIndex[n] for i, n in enumerate(leftNames) if n in rightIndex}
    if rule == "strict" and (len(matched) != left.shape[1] or len(matched) != right.shape[1]):
        raise InvalidArgumentValue(
            "feature='strict' needs both objects to have the same named features")
    if rule == "intersection":
        pairs = [(i, matched[i]) for i in range(left.shape[1]) if i in matched]
    else:
        pairs = [(i, matched.get(i)) for i in range(left.shape[1])]
    if rule == "union":
        used = set(matched.values())
        pairs += [(None, j) for j in range(right.shape[1]) if j not in used]
    return pairs, (list(matched), list(matched.values()))


def _alignPoints(leftKeys, rightKeys, rule):
    """Point pairs (left position or None, right position or None) matched by key."""
    leftPos, rightPos = mergedPointPositions(leftKeys, rightKeys, rule)
    return [(None if i < 0 else int(i), None if j < 0 else int(j))
            for i, j in zip(leftPos.tolist(), rightPos.tolist())]


def _splitFlattenedNames(names, reshape, order):
    """Point and feature names back from "pt | ft" names; (None, None) if inconsistent."""
    numPts, numFts = reshape
    ptNames, ftNames = [None] * numPts, [None] * numFts
    for k, name in enumerate(names):
        parts = None if name is None else name.split(FLATTENED_NAME_SEPARATOR)
        if parts is None or len(parts) != 2:
            return None, None
        p, f = (k // numFts, k % numFts) if order == "point" else (k % numPts, k // numPts)
        for store, pos, part in ((ptNames, p, parts[0]), (ftNames, f, parts[1])):
            if store[pos] is None:
                store[pos] = part
            elif store[pos] != part:
                return None, None
    return _uniqueOrNone(ptNames), _uniqueOrNone(ftNames)


def _pairedNames(opName, kind, left, right):
    """
    One list of names from the names of two equally long axes whose values
    are paired by position (None for an axis without names); raises
    InvalidArgumentValue at the first position where they disagree.
    """
    if left is None or right is None:
        return left if right is None else right
    leftIndex = {n: i for i, n in enumerate(left) if n is not None}
    rightIndex = {n: i for i, n in enumerate(right) if n is not None}
    for i, (mine, theirs) in enumerate(zip(left, right)):
        if mine == theirs:
            continue
        if mine is not None and theirs is not None:
            problem = f"{mine!r} against {theirs!r}"
        elif mine is not None and mine in rightIndex:
            problem = f"{mine!r} is at position {rightIndex[mine]} in the other operand"
        elif theirs is not None and theirs in leftIndex:
            problem = f"{theirs!r} of the other operand is at position {leftIndex[theirs]} here"
        else:
            continue
        raise InvalidArgumentValue(
            f"{opName}: the operands' {kind} names differ at position {i}: {problem}. Values are "
            f"paired by position, so the {kind}s must be named alike and in the same order; "
            "reorder or rename one operand first")
    return [mine if mine is not None else theirs for mine, theirs in zip(left, right)]


def _computeElements(opName, values, otherValues):
    """numpy's ``opName`` of ``values`` with ``otherValues``, refusals as our exceptions."""
    try:
        with np.errstate(all="ignore"):
            result = getattr(values, opName)(otherValues)
    except TypeError as error:
        raise InvalidArgumentType(f"{opName} cannot be applied to these values: {error}") \
            from error
    except ValueError as error:
        raise InvalidArgumentValue(f"{opName} cannot be applied to these values: {error}") \
            from error
    if result is NotImplemented:
        raise InvalidArgumentType(f"{opName} is not supported for these operands")
    return result


_isNone = np.frompyfunc(operator.is_, 2, 1)


def _noneMask(values):
    """Where ``values`` (an array or a scalar) holds None, as booleans."""
    if not isinstance(values, np.ndarray) or values.dtype != object:
        return np.zeros(np.shape(values), dtype=bool)
    pandas = sys.modules.get("pandas")
    if pandas is None:
        return _isNone(values, None).astype(bool)
    # pandas finds every missing marker in one pass; only those few are
    # then asked whether they are None itself
    mask = np.asarray(pandas.isna(values), dtype=bool)   # a fresh array
    flat = mask.reshape(-1)
    candidates = np.flatnonzero(flat)
    if candidates.size:
        flat[candidates] = _isNone(values.reshape(-1)[candidates], None).astype(bool)
    return mask


def _objectOperation(opName, values, otherValues):
    """
    ``opName`` element by element where either side holds objects. None is
    the missing marker of object values: an element paired with None is not
    computed but missing again (None), and a comparison there answers False
    (True for ``!=``), as it does for NaN.
    """
    if isinstance(otherValues, np.ndarray):
        values, otherValues = np.broadcast_arrays(values, otherValues)
    missing = _noneMask(values) | _noneMask(otherValues)
    comparison = opName in ("__eq__", "__ne__", "__lt__", "__le__", "__gt__", "__ge__")
    if not missing.any():   # nothing to leave out: one operation on the whole
        result = _computeElements(opName, values, otherValues)
        return result.astype(bool if comparison else object, copy=False)
    result = np.empty(values.shape, dtype=bool if comparison else object)
    present = ~missing
    if isinstance(otherValues, np.ndarray):
        otherValues = otherValues[present]
    result[present] = _computeElements(opName, values[present], otherValues)
    result[missing] = opName == "__ne__" if comparison else None
    return result


_UFUNC_OPERATORS = {  # ufunc name: (operator, reflected operator), or (unary operator,)
    "add": ("__add__", "__radd__"), "subtract": ("__sub__", "__rsub__"),
    "multiply": ("__mul__", "__rmul__"), "true_divide": ("__truediv__", "__rtruediv__"),
    "divide": ("__truediv__", "__rtruediv__"), "floor_divide": ("__floordiv__", "__rfloordiv__"),
    "remainder": ("__mod__", "__rmod__"), "power": ("__pow__", "__rpow__"),
    "equal": ("__eq__", "__eq__"), "not_equal": ("__ne__", "__ne__"),
    "less": ("__lt__", "__gt__"), "less_equal": ("__le__", "__ge__"),
    "greater": ("__gt__", "__lt__"), "greater_equal": ("__ge__", "__le__"),
    "negative": ("__neg__",), "positive": ("__pos__",), "absolute": ("__abs__",),
}


def _nonNumericFeatures(obj, allowNone=False):
    """
    Names of the features of ``obj`` holding values other than numbers (and
    None, with ``allowNone``).
    """
    dtypes = getFeatureDtypes(obj)
    suspects = [j for j, d in enumerate(dtypes) if getattr(d, "kind", "O") not in "biufc"]
    if not suspects:
        return []
    values = obj._asNumpyArray()
    names = obj.features.getNames()
    return [names[j] for j in suspects
            if not all(isinstance(v, (numbers.Number, np.bool_)) or (allowNone and v is None)
                       for v in values[:, j])]


def _elidedPositions(count, limit):
    if count <= limit:
        return list(range(count))
    half = limit // 2
    return list(range(half)) + [None] + list(range(count - (limit - half), count))


def _label(names, position) -> str:
    """How a point or feature is labelled when printed."""
    if position is None:
        return "..."
    name = None if names is None else names[position]
    return str(position) if name is None else name


def _formatValue(value) -> str:
    if isinstance(value, (float, np.floating)):
        text = f"{value:.6g}"
        return text + ".0" if text.lstrip("-").isdigit() else text
    return str(value)
