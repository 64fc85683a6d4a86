import numpy as np
import pandas as pd
import pytest


@pytest.fixture
def module():
    import kestro.core.data.dataframe as dataframe

    return dataframe


@pytest.fixture
def DataFrame(module):
    return module.DataFrame


@pytest.fixture
def make(DataFrame):
    """Build a DataFrame data object from anything the constructor takes."""

    def build(data, pointNames=None, featureNames=None, **kwds):
        return DataFrame(data, pointNames=pointNames, featureNames=featureNames, **kwds)

    return build


@pytest.fixture
def mixed_table():
    return pd.DataFrame(
        {
            0: np.array([1, 2, 3], dtype=np.int64),
            1: np.array([1.5, np.nan, -2.0]),
            2: np.array(["a", None, 3], dtype=object),
            3: np.array([True, False, True]),
        }
    )
