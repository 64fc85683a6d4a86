import os
from typing import Any, Literal

from kestro.core.data.base import Base, _AxisNames
from kestro.exceptions import (ImproperObjectAction as ImproperObjectAction,
                               InvalidArgumentType as InvalidArgumentType,
                               InvalidArgumentValue as InvalidArgumentValue,
                               KestroException as KestroException,
                               PackageException as PackageException)

__version__: str
__all__ = ["data", "KestroException", "InvalidArgumentType", "InvalidArgumentValue",
           "PackageException", "ImproperObjectAction"]

def data(source: Any, pointNames: _AxisNames | bool = None,
         featureNames: _AxisNames | bool = None,
         returnType: Literal["DataFrame", "Matrix", "Sparse", "List"] = "DataFrame",
         fileFormat: Literal["csv"] | None = None) -> Base: ...
