"""Unique counts, zero detection, identity comparison and element iteration."""
import numpy as np
import pandas as pd
import pytest

from kestro.core.data import _dataHelpers


@pytest.fixture
def mixed(make):
    return make(pd.DataFrame({0: [1, 2, 2], 1: ["a", "b", "a"], 2: [0.5, 0.5, np.nan]}))


# ---- argument binding ---------------------------------------------------------------

@pytest.mark.parametrize("hook, args, expected", [
    ("_countUnique_implementation", (None,), "exactly 3 positional arguments (2 given)"),
    ("_containsZero_implementation", (1,), "exactly 1 positional argument (2 given)"),
    ("_isIdentical_implementation", (), "exactly 2 positional arguments (1 given)"),
    ("_iterateElements_implementation", ("point", None, 3),
     "exactly 3 positional arguments (4 given)"),
])
def test_query_arity(mixed, hook, args, expected):
    with pytest.raises(TypeError) as info:
        getattr(mixed, hook)(*args)
    assert str(info.value) == f"{hook}() takes {expected}"


# ---- _countUnique_implementation ------------------------------------------------------

def test_count_unique_hands_over_unchanged(mixed, module, monkeypatch):
    calls = []
    result = object()

    def counter(obj, points, features):
        calls.append((obj, points, features))
        return result

    monkeypatch.setattr(module, "denseCountUnique", counter)
    points, features = [0, 2], range(1, 3)
    assert mixed._countUnique_implementation(points, features) is result
    assert mixed._countUnique_implementation(features=None, points=None) is result
    assert calls == [(mixed, points, features), (mixed, None, None)]
    assert calls[0][1] is points and calls[0][2] is features


def test_count_unique_values(mixed):
    counts = mixed._countUnique_implementation(None, None)
    assert counts[2] == 2 and counts["a"] == 2 and counts[0.5] == 2 and counts[1] == 1
    assert mixed._countUnique_implementation([1], [0, 1]) == {2: 1, "b": 1}
    assert mixed.countUniqueElements(features=[0]) == {1: 1, 2: 2}


# ---- _containsZero_implementation ------------------------------------------------------

@pytest.mark.parametrize("source, expected", [
    ([[1, 2], [3, 0]], True),
    ([[1.0, 0.0]], True),
    ([[1.0, -0.0]], True),
    ([[True, False]], True),
    ([[1, 2], [3, 4]], False),
    ([[np.nan, 1e-300]], False),
    (pd.DataFrame({0: ["0", "a"], 1: [1, 2]}), False),   # the string "0" is not zero
    (pd.DataFrame({0: ["x", None], 1: [1.5, 0]}), True),
    (pd.DataFrame({0: np.array([7, 0], dtype=np.int32)}), True),
])
def test_contains_zero(make, source, expected):
    result = make(source)._containsZero_implementation()
    assert result is expected


@pytest.mark.parametrize("shape", [(0, 0), (0, 3), (3, 0)])
def test_contains_zero_empty(make, shape):
    obj = make(pd.DataFrame(np.zeros(shape)))
    assert obj._containsZero_implementation() is False


def test_contains_zero_reads_values_through_the_object(make):
    class Probe(type(make([[1]]))):
        def _asNumpyArray(self, numericRequired=False):
            return np.array([[0]])

    assert Probe([[5]])._containsZero_implementation() is True


# ---- _isIdentical_implementation ---------------------------------------------------------

def test_is_identical_other_storage_type_is_false_without_values(make, monkeypatch, module):
    from kestro.core.data._dataHelpers import createDataNoValidation
    obj = make([[1, 2], [3, 4]])
    other = createDataNoValidation("Matrix", np.array([[1, 2], [3, 4]]), None, None)

    def refuse(*args):
        raise AssertionError("values were compared")

    monkeypatch.setattr(module, "allDataIdentical", refuse)
    monkeypatch.setattr(type(obj), "_asNumpyArray", refuse)
    assert obj._isIdentical_implementation(other) is False
    assert obj._isIdentical_implementation(np.array([[1, 2], [3, 4]])) is False
    assert obj._isIdentical_implementation(None) is False


def test_is_identical_with_views_and_copies(make):
    obj = make(pd.DataFrame({0: [1.0, np.nan], 1: ["a", None]}))
    assert obj._isIdentical_implementation(obj.view()) is True
    assert obj.view()._isIdentical_implementation(obj) is True
    assert obj._isIdentical_implementation(make(obj._data)) is True
    changed = make(obj._data)
    changed._data.iat[0, 0] = 2.0
    assert obj._isIdentical_implementation(changed) is False
    assert obj._isIdentical_implementation(obj.view(0, 1)) is False


def test_is_identical_converts_self_first_and_passes_result(make, module, monkeypatch):
    order = []
    verdict = object()

    class Probe(module.DataFrame):
        def _asNumpyArray(self, numericRequired=False):
            order.append(self.tag)
            return self.tag

    a, b = Probe([[1]]), Probe([[1]])
    a.tag, b.tag = "self", "other"
    monkeypatch.setattr(module, "allDataIdentical", lambda x, y: (x, y, verdict))
    assert a._isIdentical_implementation(b) == ("self", "other", verdict)
    assert order == ["self", "other"]


def test_is_identical_propagates_errors(make):
    class Broken(type(make([[1]]))):
        def _asNumpyArray(self, numericRequired=False):
            raise RuntimeError("boom")

    with pytest.raises(RuntimeError, match="boom"):
        make([[1]])._isIdentical_implementation(Broken([[1]]))


# ---- _iterateElements_implementation -----------------------------------------------------

@pytest.mark.parametrize("order, only, expected", [
    ("point", None, [1, "a", 2, "b"]),
    ("feature", None, [1, 2, "a", "b"]),
    ("point", lambda v: isinstance(v, str), ["a", "b"]),
    ("feature", lambda v: not isinstance(v, str), [1, 2]),
])
def test_iterate_elements(make, order, only, expected):
    obj = make(pd.DataFrame({0: [1, 2], 1: ["a", "b"]}))
    assert list(obj._iterateElements_implementation(order, only)) == expected


def test_iterate_elements_hands_arguments_unchanged(make, module, monkeypatch):
    calls = []
    monkeypatch.setattr(module, "KestroElementIterator", lambda *a: calls.append(a) or "it")
    obj = make([[1.5, 2.5]])
    only = object()
    assert obj._iterateElements_implementation(only=only, order="feature") == "it"
    (array, order, passed), = calls
    assert isinstance(array, np.ndarray) and array.tolist() == [[1.5, 2.5]]
    assert array.dtype == np.float64
    assert order == "feature" and passed is only


def test_iterate_elements_only_that_raises(make):
    def only(value):
        raise ValueError("rejected")

    iterator = make([[1, 2]])._iterateElements_implementation("point", only)
    with pytest.raises(ValueError, match="rejected"):
        next(iterator)


def test_iterator_sees_the_values_at_call_time(make):
    obj = make(pd.DataFrame({0: [1, 2], 1: ["x", "y"]}))   # object array is a copy
    iterator = obj._iterateElements_implementation("point", None)
    obj._data.iat[0, 0] = 100
    assert list(iterator) == [1, "x", 2, "y"]
