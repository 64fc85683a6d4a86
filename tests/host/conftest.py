"""Fixtures for the host framework tests: one parameter per storage type."""
import pytest

import kestro

PURE = ["Matrix", "List", "Sparse"]


@pytest.fixture(params=PURE + ["DataFrame"])
def storage(request):
    """A storage type name."""
    return request.param


@pytest.fixture
def build(storage):
    """kestro.data with the storage type of the current parameter."""
    def make(source, pointNames=None, featureNames=None):
        return kestro.data(source, pointNames, featureNames, returnType=storage)
    return make


@pytest.fixture
def named(build):
    """2 x 3 object with points a, b and features x, y, z holding 1..6."""
    return build([[1, 2, 3], [4, 5, 6]], ["a", "b"], ["x", "y", "z"])


@pytest.fixture
def noHooks(monkeypatch):
    """Make every storage hook of one object fail, to prove validation comes first."""
    def disable(obj):
        def fail(*args, **kwargs):
            raise AssertionError("a storage hook ran before validation finished")
        for name in dir(obj):
            if name.endswith("_implementation") and name != "_getTypeString_implementation":
                monkeypatch.setattr(obj, name, fail, raising=False)
        return obj
    return disable
