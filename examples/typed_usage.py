"""Typed use of kestro: checked in CI with `mypy --strict examples/typed_usage.py`."""
from __future__ import annotations

import numpy as np

import kestro
from kestro.core.data import Base


def scaled(obj: Base, factor: float) -> Base:
    """A new object holding every value times ``factor``; ``obj`` is left as it is."""
    return obj * factor


def describe(obj: Base) -> str:
    names = obj.features.getNames()
    types = obj.features.getTypes()
    return ", ".join(f"{name}: {dtype}" for name, dtype in zip(names, types))


def main() -> None:
    obj = kestro.data([[1, 2.5], [3, 4.5]], pointNames=["a", "b"], featureNames=["x", "y"])
    print(kestro.__version__, obj.getTypeString(), obj.shape, describe(obj))
    values: np.ndarray = obj.copy("numpyarray")
    rows: list[list[object]] = obj.copy("pythonlist")
    print(values.dtype, rows, scaled(obj, 2.0)["b", "y"])
    obj.transform(lambda v: v + 1, features=["y"])
    try:
        obj.view("a", "b").transform(abs)
    except kestro.ImproperObjectAction as error:
        print("refused:", error)


if __name__ == "__main__":
    main()
