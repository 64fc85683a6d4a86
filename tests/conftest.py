import os
import sys
import sysconfig
from pathlib import Path

# A module built in place for this interpreter (tools/devbuild) is the one
# tested, whatever else is installed: src goes first on the path before
# anything imports kestro.  Without one (CI), the installed package is tested.
SRC = Path(__file__).resolve().parent.parent / "src"
IN_PLACE = SRC / "kestro" / "core" / "data" / ("dataframe" + sysconfig.get_config_var("EXT_SUFFIX"))
if IN_PLACE.exists():
    sys.path[:] = [str(SRC)] + [p for p in sys.path if Path(p or ".").resolve() != SRC]

import numpy as np
import pandas as pd
import pytest
from hypothesis import settings

# CI selects this with HYPOTHESIS_PROFILE=ci: no deadlines (a sanitized build
# runs several times slower) and the failing example printed for replay.
settings.register_profile("ci", deadline=None, print_blob=True)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))


def pytest_configure(config):
    import kestro.core.data.dataframe as dataframe

    loaded = Path(dataframe.__file__).resolve()
    if IN_PLACE.exists() and loaded != IN_PLACE.resolve():
        # an editable install's import hook comes before sys.path
        pytest.exit(f"the in-place build {IN_PLACE} is shadowed by {loaded}; "
                    "uninstall that kestro or remove the in-place build", returncode=4)


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
