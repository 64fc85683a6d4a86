"""
Axis objects: the points or the features of a data object.

An axis knows its length (read from its data object's shape) and the names
of its positions. Names are optional per position; an unnamed position is
reported under a generated default name ("_DEFAULT_#" followed by its
position), which is never stored.
"""

from __future__ import annotations

import numbers

import numpy as np

from kestro.exceptions import (ImproperObjectAction, InvalidArgumentType,
                               InvalidArgumentValue)

DEFAULT_PREFIX = "_DEFAULT_#"
_UNSET = object()


def isDefaultName(name) -> bool:
    """True for a generated default name such as "_DEFAULT_#3"."""
    return (isinstance(name, str) and name.startswith(DEFAULT_PREFIX)
            and name[len(DEFAULT_PREFIX):].isdigit())


def _isPosition(key) -> bool:
    return isinstance(key, (numbers.Integral, np.integer)) and not isinstance(key, (bool, np.bool_))


class Axis:
    """
    Names and access for one axis of a data object.

    Parameters
    ----------
    base : Base
        The data object the axis belongs to.
    names : list, dict or None
        One name (str, or None for unnamed) per position, or a dict mapping
        names to positions, or None when no position is named.
    """

    _dimIndex = 0
    _kind = "axis"  # "point" or "feature", used in messages

    def __init__(self, base, names=None):
        self._base = base
        self._names: list | None = None
        self._nameIndex: dict[str, int] = {}
        self._setNamesRaw(names)

    # ---- names -----------------------------------------------------------

    def _setNamesRaw(self, names) -> None:
        """Store names without the read-only check; used by the framework."""
        if names is None:  # the common case of every unnamed view, made cheap
            self._names, self._nameIndex = None, {}
            return
        normalized = self._normalizeNames(names, len(self))
        self._names = normalized
        self._nameIndex = {} if normalized is None else {
            n: i for i, n in enumerate(normalized) if n is not None}

    def _normalizeNames(self, names, length):
        argName = self._kind + "Names"
        if names is None:
            return None
        if isinstance(names, dict):
            ordered = [_UNSET] * length
            for name, pos in names.items():
                if not _isPosition(pos) or not 0 <= pos < length or ordered[pos] is not _UNSET:
                    ordered = None
                    break
                ordered[int(pos)] = name
            if ordered is None or _UNSET in ordered:
                raise InvalidArgumentValue(
                    f"{argName} as a dict must map names to the positions 0 to "
                    f"{length - 1}, each exactly once")
            names = ordered
        elif isinstance(names, (str, bytes)) or not hasattr(names, "__iter__"):
            raise InvalidArgumentType(
                f"{argName} must be a list of str, a dict mapping names to positions, "
                f"or None; got {type(names).__name__}")
        names = list(names)
        if len(names) != length:
            raise InvalidArgumentValue(
                f"{argName} must hold one name per {self._kind}: {length} expected, "
                f"{len(names)} given")
        seen = set()
        cleaned = []
        for name in names:
            if name is not None and not isinstance(name, str):
                raise InvalidArgumentType(
                    f"{argName} may only contain str (or None for unnamed); got "
                    f"{type(name).__name__} {name!r}")
            if isDefaultName(name):
                name = None
            if name is not None:
                if name in seen:
                    raise InvalidArgumentValue(f"{argName} contains the name {name!r} twice")
                seen.add(name)
            cleaned.append(name)
        return cleaned if seen else None

    def setNames(self, names) -> None:
        """
        Set the names of this axis: a list with one str (or None) per
        position, a dict mapping names to positions, or None to remove all.
        """
        self._setNamesRaw(names)

    def getNames(self) -> list[str]:
        """One name per position; unnamed positions get their default name."""
        if self._names is None:
            return [DEFAULT_PREFIX + str(i) for i in range(len(self))]
        return [DEFAULT_PREFIX + str(i) if n is None else n for i, n in enumerate(self._names)]

    def _getNamesNoGeneration(self) -> list | None:
        """The stored names (None for unnamed positions), or None if none is named."""
        return None if self._names is None else list(self._names)

    def _hasAllNames(self) -> bool:
        return self._names is not None and None not in self._names

    def getName(self, index) -> str:
        """The name of the position ``index`` (its default name if unnamed)."""
        pos = self._resolve(index, "index")
        name = None if self._names is None else self._names[pos]
        return DEFAULT_PREFIX + str(pos) if name is None else name

    def getIndex(self, identifier) -> int:
        """The position of ``identifier``, a name or a (possibly negative) position."""
        return self._resolve(identifier, "identifier")

    def hasName(self, name) -> bool:
        """True when ``name`` names a position of this axis."""
        return name in self._nameIndex

    # ---- resolving user input -----------------------------------------------

    def _resolve(self, key, argName, allowEnd=False) -> int:
        """
        Turn a name or a position (negative counts from the end) into a
        position; ``allowEnd`` also accepts the position one past the last.
        """
        length = len(self)
        if isinstance(key, str):
            if key in self._nameIndex:
                return self._nameIndex[key]
            if isDefaultName(key):
                pos = int(key[len(DEFAULT_PREFIX):])
                if pos < length and (self._names is None or self._names[pos] is None):
                    return pos
            raise InvalidArgumentValue(f"{argName}: {key!r} is not the name of a {self._kind}")
        if not _isPosition(key):
            raise InvalidArgumentType(
                f"{argName} must be a {self._kind} name (str) or position (int); got "
                f"{type(key).__name__}")
        pos = int(key)
        limit = length + 1 if allowEnd else length
        if pos < 0:
            pos += length
        if not 0 <= pos < limit:
            raise InvalidArgumentValue(
                f"{argName}: position {int(key)} is out of range for {length} {self._kind}s")
        return pos

    def _resolveMany(self, keys, argName) -> list[int] | None:
        """Names/positions (or a single one) to a list of positions; None stays None."""
        if keys is None:
            return None
        if isinstance(keys, str) or _isPosition(keys):
            keys = [keys]
        elif not hasattr(keys, "__iter__") or isinstance(keys, (dict, bytes)):
            raise InvalidArgumentType(
                f"{argName} must be None, a {self._kind} name or position, or a list of them; "
                f"got {type(keys).__name__}")
        length = len(self)
        # in-range plain ints are their own positions: no per-key look-up
        positions = [k if type(k) is int and 0 <= k < length else self._resolve(k, argName)
                     for k in keys]
        if len(set(positions)) != len(positions):
            raise InvalidArgumentValue(f"{argName} selects the same {self._kind} more than once")
        return positions

    def _resolveRange(self, start, end, startName, endName) -> tuple[int, int]:
        """Start and exclusive end (names or positions; None for the axis ends)."""
        first = 0 if start is None else self._resolve(start, startName, allowEnd=True)
        stop = len(self) if end is None else self._resolve(end, endName, allowEnd=True)
        if stop < first:
            raise InvalidArgumentValue(
                f"{endName} ({stop}) must not come before {startName} ({first})")
        return first, stop

    def _sliceRange(self, key: slice) -> tuple[int, int]:
        if key.step not in (None, 1):
            raise InvalidArgumentValue("only contiguous ranges (step 1) can be viewed")
        start, stop = (self._sliceBound(k) for k in (key.start, key.stop))
        first, stop, _ = slice(start, stop).indices(len(self))
        return first, max(first, stop)

    def _sliceBound(self, bound) -> int | None:
        """A slice bound as a position (past-the-end ones clipped later) or None."""
        if bound is None:
            return None
        if isinstance(bound, str):
            return self._resolve(bound, "slice", allowEnd=True)
        if not _isPosition(bound):
            raise InvalidArgumentType(
                f"slice bounds must be {self._kind} names (str), positions (int) or None; got "
                f"{type(bound).__name__}")
        return int(bound)

    # ---- access --------------------------------------------------------------

    def __len__(self):
        return self._base.shape[self._dimIndex]

    def __getitem__(self, key):
        if isinstance(key, slice):
            return self._viewRange(*self._sliceRange(key))
        return self._viewOne(self._resolve(key, "index"))

    def __iter__(self):
        for i in range(len(self)):
            yield self._viewOne(i)

    def _viewRange(self, start, stop):
        raise NotImplementedError

    def _viewOne(self, position):
        return self._viewRange(position, position + 1)

    def __repr__(self):
        return f"<{type(self).__name__}: {len(self)} {self._kind}s, names {self.getNames()!r}>"


class Points(Axis):
    """The points (rows) of a data object."""

    _dimIndex = 0
    _kind = "point"

    def _viewRange(self, start, stop):
        return self._base._view_implementation(start, stop, 0, self._base.shape[1], False)

    def _viewOne(self, position):
        # the position is resolved: the hook is called directly; one point of
        # a higher-dimensional object has one dimension less
        base = self._base
        return base._view_implementation(position, position + 1, 0, base.shape[1],
                                         len(base._dims) > 2)


class Features(Axis):
    """The features (columns) of a data object."""

    _dimIndex = 1
    _kind = "feature"

    def _viewRange(self, start, stop):
        if len(self._base._dims) > 2:
            raise InvalidArgumentValue(
                "the features of an object of more than two dimensions cannot be viewed "
                "on their own; view points instead")
        return self._base._view_implementation(0, self._base.shape[0], start, stop, False)

    def getTypes(self) -> list[np.dtype]:
        """
        The element type of each feature, in order, as numpy dtypes: for
        example ``[dtype('int64'), dtype('float64'), dtype('O')]``. Text and
        mixed values are held in object features.
        """
        from ._dataHelpers import getFeatureDtypes
        return list(getFeatureDtypes(self._base))


class AxisView:
    """Mixin for the axes of a read-only view: names cannot be changed."""

    def setNames(self, names) -> None:
        raise ImproperObjectAction(
            f"setNames is not allowed on the {self._kind}s of a view: views are read-only; "
            "make a copy first")


class PointsView(AxisView, Points):
    """The points of a read-only view."""


class FeaturesView(AxisView, Features):
    """The features of a read-only view."""
