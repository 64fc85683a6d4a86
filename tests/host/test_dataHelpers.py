"""kestro.core.data._dataHelpers."""
import numpy as np
import pandas as pd
import pytest
import scipy.sparse

from kestro.core.data import available
from kestro.core.data._dataHelpers import (KestroElementIterator, allDataIdentical,
                                           convertToNumpyOrder, createDataNoValidation,
                                           denseCountUnique, getFeatureDtypes, isValid2DObject)
from kestro.exceptions import InvalidArgumentValue

NAN = float("nan")


@pytest.mark.parametrize("a, b, same", [
    ([[1.0, NAN]], [[1.0, NAN]], True),
    ([[1, 2]], [[1.0, 2.0]], True),
    ([[1, 2]], [[1, 3]], False),
    ([[1, 2]], [[1], [2]], False),
    (np.array([["a", NAN, 3]], dtype=object), np.array([["a", NAN, 3]], dtype=object), True),
    (np.array([[None]], dtype=object), np.array([[NAN]], dtype=object), False),
    (np.array([["a"]], dtype=object), np.array([[1]], dtype=object), False),
    (np.array([["2020-01-01", "NaT"]], dtype="M8[ns]"),
     np.array([["2020-01-01", "NaT"]], dtype="M8[ns]"), True),
    (np.empty((0, 3)), np.empty((0, 3), dtype=object), True),
])
def test_allDataIdentical(a, b, same):
    assert allDataIdentical(np.array(a), np.array(b)) is same


@pytest.mark.parametrize("to", available)
@pytest.mark.parametrize("data", [
    [[1, 2, 3], [4, 5, 6]],
    np.array([[1, 2, 3], [4, 5, 6]]),
    pd.DataFrame([[1, 2, 3], [4, 5, 6]], index=[7, 8], columns=list("pqr")),
    scipy.sparse.coo_matrix(np.array([[1, 2, 3], [4, 5, 6]])),
])
def test_createDataNoValidation(to, data):
    obj = createDataNoValidation(to, data, ["a", "b"], None)
    assert obj.getTypeString() == to
    assert obj.shape == (2, 3) and obj._dims == [2, 3]
    assert obj.points.getNames() == ["a", "b"]
    assert obj.features._getNamesNoGeneration() is None
    assert obj._asNumpyArray().tolist() == [[1, 2, 3], [4, 5, 6]]


@pytest.mark.parametrize("to", available)
@pytest.mark.parametrize("shape", [(0, 3), (3, 0), (0, 0)])
def test_createDataNoValidation_keeps_empty_shapes(to, shape):
    assert createDataNoValidation(to, np.empty(shape), None, None).shape == shape


def test_createDataNoValidation_refuses_unknown_type():
    with pytest.raises(InvalidArgumentValue):
        createDataNoValidation("Table", [[1]], None, None)


def test_createDataNoValidation_reuses_only_when_asked():
    frame = pd.DataFrame([[1.0, 2.0]])
    assert createDataNoValidation("DataFrame", frame, None, None)._data is frame
    assert createDataNoValidation("DataFrame", frame, None, None, reuseData=False)._data \
        is not frame


def test_denseCountUnique_selection_and_nan():
    obj = createDataNoValidation("Matrix", [[1.0, NAN, 2.0], [1.0, NAN, 5.0]], None, None)
    counts = denseCountUnique(obj, None, None)
    assert counts[1.0] == 2 and counts[np.nan] == 2 and len(counts) == 4
    assert denseCountUnique(obj, [1], [0, 2]) == {1.0: 1, 5.0: 1}


@pytest.mark.parametrize("order, only, expected", [
    ("point", None, [1, 2, 3, 4, 5, 6]),
    ("feature", None, [1, 4, 2, 5, 3, 6]),
    ("feature", lambda v: v % 2 == 0, [4, 2, 6]),
])
def test_KestroElementIterator(order, only, expected):
    iterator = KestroElementIterator(np.array([[1, 2, 3], [4, 5, 6]]), order, only)
    assert iter(iterator) is iterator
    assert list(iterator) == expected


def test_convertToNumpyOrder_drives_reshape():
    values = np.arange(6).reshape(2, 3)
    assert values.ravel(order=convertToNumpyOrder("point")).tolist() == [0, 1, 2, 3, 4, 5]
    assert values.ravel(order=convertToNumpyOrder("feature")).tolist() == [0, 3, 1, 4, 2, 5]


@pytest.mark.parametrize("data, valid", [
    ([], True), ([[1, 2], (3, 4)], True), ([[]], True), (np.zeros((2, 0)), True),
    ([1, 2], False), ([[1, 2], [3]], False), (np.zeros(3), False), (np.zeros((2, 2, 2)), False),
    (((1, 2),), False), ("ab", False), (pd.DataFrame([[1]]), False),
])
def test_isValid2DObject(data, valid):
    assert isValid2DObject(data) is valid


@pytest.mark.parametrize("to, expected", [
    ("DataFrame", (np.dtype(np.int64), np.dtype(np.float64))),
    ("Matrix", (np.dtype(np.float64),) * 2),
    ("Sparse", (np.dtype(np.float64),) * 2),
    ("List", (np.dtype(object),) * 2),
])
@pytest.mark.parametrize("managerList", [True, False], ids=["manager list", "per column"])
def test_getFeatureDtypes(to, expected, managerList, monkeypatch):
    frame = pd.DataFrame({0: [1, 2], 1: [0.5, 1.5]})
    if not managerList:  # a pandas whose manager has no type list
        monkeypatch.setattr(type(frame._mgr), "get_dtypes", None)
    obj = createDataNoValidation(to, frame, None, None)
    assert getFeatureDtypes(obj) == expected
    # the public reader, on the object and on a view of its second feature
    types = obj.features.getTypes()
    assert types == list(expected) and all(type(t) is type(e) for t, e in zip(types, expected))
    assert obj.view(0, 1, 1, 2).features.getTypes() == list(expected[1:])
