"""Matrix product of a DataFrame object with data objects of every storage type."""
import numpy as np
import pandas as pd
import pytest
import scipy.sparse

import kestro
from kestro.core.data._dataHelpers import createDataNoValidation
from kestro.core.data.dataframe import DataFrame
from kestro.exceptions import InvalidArgumentType, InvalidArgumentValue

LEFT = np.array([[1.0, 2.0, 0.5], [0.0, -1.0, 3.0]])
RIGHT = np.array([[1.0, 0.0], [2.0, 1.0], [0.0, 4.0]])


def of_kind(kind, values):
    if kind == "DataFrame":
        return DataFrame(pd.DataFrame(values))
    if kind == "Matrix":
        return createDataNoValidation("Matrix", values, None, None)
    if kind == "Sparse":
        return createDataNoValidation("Sparse", scipy.sparse.coo_matrix(values), None, None)
    return createDataNoValidation("List", values.tolist(), None, None)


@pytest.mark.parametrize("kind", ["DataFrame", "Matrix", "Sparse", "List"])
def test_product_with_every_storage_type(kind):
    left = DataFrame(pd.DataFrame(LEFT))
    right = of_kind(kind, RIGHT)
    before = left._data.copy()
    result = left._matmul__implementation(right)
    assert type(result) is DataFrame
    assert result.shape == (2, 2)
    np.testing.assert_allclose(result._data.to_numpy(), LEFT @ RIGHT)
    assert list(result._data.dtypes) == [np.dtype(float)] * 2
    assert isinstance(result._data.index, pd.RangeIndex)
    assert isinstance(result._data.columns, pd.RangeIndex)
    pd.testing.assert_frame_equal(left._data, before)


def test_integer_product_stays_integer():
    a = np.array([[1, 2], [3, 4]])
    result = DataFrame(pd.DataFrame(a))._matmul__implementation(DataFrame(pd.DataFrame(a)))
    assert list(result._data.dtypes) == [np.dtype(np.int64)] * 2
    assert result._data.values.tolist() == (a @ a).tolist()


@pytest.mark.parametrize("kind", ["DataFrame", "Sparse"])
def test_boolean_product_counts(kind):
    a = np.array([[True, True], [True, False]])
    right = of_kind(kind, a)
    result = DataFrame(pd.DataFrame(a))._matmul__implementation(right)
    assert result._data.values.tolist() == [[2, 1], [1, 1]]


def test_mixed_feature_types_multiply_as_floats():
    left = DataFrame(pd.DataFrame({0: [1, 2], 1: [0.5, 1.5], 2: np.array([1, 0], np.int32)}))
    result = left._matmul__implementation(DataFrame(pd.DataFrame(RIGHT)))
    expected = np.array([[1, 0.5, 1], [2, 1.5, 0]]) @ RIGHT
    np.testing.assert_allclose(result._data.to_numpy(), expected)


def test_empty_inner_dimension_gives_zeros():
    left = DataFrame(pd.DataFrame(np.empty((2, 0))))
    right = DataFrame(pd.DataFrame(np.empty((0, 3))))
    result = left._matmul__implementation(right)
    assert result.shape == (2, 3)
    assert (result._data.to_numpy() == 0).all()


def test_public_operator_wires_names_and_checks_shapes():
    left = kestro.data(LEFT, pointNames=["p0", "p1"], featureNames=["a", "b", "c"],
                       returnType="DataFrame")
    right = kestro.data(RIGHT, pointNames=["a", "b", "c"], featureNames=["x", "y"],
                        returnType="Matrix")
    result = left @ right
    assert result.getTypeString() == "DataFrame"
    np.testing.assert_allclose(result._data.to_numpy(), LEFT @ RIGHT)
    assert result.points.getNames() == ["p0", "p1"]
    assert result.features.getNames() == ["x", "y"]
    with pytest.raises((InvalidArgumentValue, InvalidArgumentType)):
        left @ left


def test_public_operator_refuses_non_numeric():
    left = kestro.data([[1, "a"], [2, "b"]], returnType="DataFrame")
    right = kestro.data([[1.0], [2.0]], returnType="DataFrame")
    with pytest.raises((InvalidArgumentType, InvalidArgumentValue)):
        left @ right
