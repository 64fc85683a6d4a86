"""Arithmetic and comparison between objects and with scalars; matrix product."""
import numpy as np

import kestro

CSV_PATH = globals().get("CSV_PATH", "examples/data/iris_small.csv")

iris = kestro.data(CSV_PATH, pointNames=True, featureNames=True)
sizes = iris[:, :4].copy("numpyarray").astype(float)
names = iris.features.getNames()[:4]
measures = kestro.data(sizes, pointNames=iris.points.getNames(), featureNames=names)
print("measures:", measures.shape, measures.features.getTypes())

print("\nmeasures * 10 (names kept):")
print(measures * 10)
print("\n1 / measures, element types:", (1 / measures).features.getTypes())

counts = kestro.data([[1, 2], [3, 4]], featureNames=["a", "b"])
print("\ninteger + integer keeps int64:", (counts + counts).features.getTypes())
print("integer / integer gives float64:", (counts / counts).features.getTypes())
print("integer ** integer with a negative exponent keeps the fractions:")
print(counts ** kestro.data([[-1, 2], [1, -1]]))

print("\ncomparisons give boolean features:")
wide = measures > 3
print(wide, wide.features.getTypes(), sep="\n")

other = kestro.data(np.ones((6, 4)), returnType="Matrix")
print("\nDataFrame - Matrix ->", (measures - other).getTypeString())

weights = kestro.data(np.eye(4)[:, :2], pointNames=names, featureNames=["sepal_l", "sepal_w"],
                      returnType="Sparse")
print("\nmatrix product with a Sparse object (first two features picked out):")
print(measures @ weights)
