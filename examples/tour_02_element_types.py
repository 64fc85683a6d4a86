"""Element types, element access, views, queries and the invariants check."""
import numpy as np
import pandas as pd

import kestro

CSV_PATH = globals().get("CSV_PATH", "examples/data/iris_small.csv")

iris = kestro.data(CSV_PATH, pointNames=True, featureNames=True)
print("element types per feature:", [str(d) for d in iris.features.getTypes()])
asArray = iris.copy("numpyarray")
print("as one array:", asArray.dtype, asArray.shape)

first, last = iris.features.getNames()[0], iris.features.getNames()[-1]
point = iris.points.getNames()[0]
print(f"iris[{point!r}, {first!r}] =", repr(iris[point, first]))
print(f"iris[0, -1] =", repr(iris[0, -1]), "| by name:", repr(iris[point, last]))

corner = iris.view(0, 3, 0, 2)
print("a read-only view of 3 points x 2 features:")
print(corner)
print("view of the view, element [1, 1]:", repr(corner.view(1, 3)[1, 1]))

print("unique values of the last feature:", iris.countUniqueElements(features=[last]))
zeros = kestro.data([[1.5, 0.0], [2.0, 3.0]])
print("contains zero?", iris.containsZero(), "| a table holding 0.0?", zeros.containsZero())
asMatrix = kestro.data(asArray, returnType="Matrix")
print("identical to a rebuilt object?", iris.isIdentical(kestro.data(iris.copy("pandasdataframe"))),
      "| to its view of all values?", iris.isIdentical(iris.view()),
      "| to a Matrix of the same values?", iris.isIdentical(asMatrix))
print("first five values, feature by feature:",
      list(iris.view(0, 5, 0, 1).iterateElements(order="feature")))

iris.checkInvariants(level=2)
print("invariants hold at level 2")

numbers = kestro.data(pd.DataFrame({"n": [1, 2], "t": ["3", "4.5"]}))
numbers.convertToNumericTypes()
print("converted to numbers:", [str(d) for d in numbers.features.getTypes()],
      numbers.copy("pythonlist"))

cube = kestro.data(np.arange(24).reshape(2, 3, 4))   # two points of 3 x 4 values
print("an object of dimensions", cube.copy("numpyarray").shape, "stored as", cube.shape)
inner = cube.points[1]
print("its point 1 is an object of dimensions", inner.shape, "holding")
print(inner.copy("numpyarray"))
