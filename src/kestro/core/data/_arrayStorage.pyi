from typing import Any

import numpy as np

from .base import Base

NUMERIC_DTYPES: tuple[np.dtype[Any], ...]

def asNumeric(array: np.ndarray[Any, Any], numericRequired: bool) -> np.ndarray[Any, Any]: ...

class ArrayStorage(Base):
    def __init__(self, data: Any, reuseData: bool = False, **kwds: Any) -> None: ...
