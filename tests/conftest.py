import os

import numpy as np
import pandas as pd
import pytest
from hypothesis import settings

# CI selects this with HYPOTHESIS_PROFILE=ci: no deadlines (a sanitized build
# runs several times slower) and the failing example printed for replay.
settings.register_profile("ci", deadline=None, print_blob=True)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))


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
