"""Arithmetic and comparison between objects and with scalars; matrix product."""
import numpy as np

import kestro

CSV_PATH = globals().get("CSV_PATH", "examples/data/iris_small.csv")

iris = kestro.data(CSV_PATH, pointNames=True, featureNames=True)
sizes = iris._data.iloc[:, :4].to_numpy(float)
names = iris.features.getNames()[:4]
measures = kestro.data(sizes, pointNames=iris.points.getNames(), featureNames=names)
print("measures:", measures.shape, list(measures._data.dtypes))

print("\nmeasures * 10 (names kept):")
print(measures * 10)
print("\n1 / measures, element types:", list((1 / measures)._data.dtypes))

counts = kestro.data([[1, 2], [3, 4]], featureNames=["a", "b"])
print("\ninteger + integer keeps int64:", list((counts + counts)._data.dtypes))
print("integer / integer gives float64:", list((counts / counts)._data.dtypes))
print("integer ** integer with a negative exponent keeps the fractions:")
print(counts ** kestro.data([[-1, 2], [1, -1]]))

print("\ncomparisons give boolean features:")
wide = measures > 3
print(wide, list(wide._data.dtypes), sep="\n")

other = kestro.data(np.ones((6, 4)), returnType="Matrix")
print("\nDataFrame - Matrix ->", (measures - other).getTypeString())

weights = kestro.data(np.eye(4)[:, :2], pointNames=names, featureNames=["sepal_l", "sepal_w"],
                      returnType="Sparse")
print("\nmatrix product with a Sparse object (first two features picked out):")
print(measures @ weights)
