"""Transpose, replace a rectangle, flatten and unflatten, merge, binary features."""
import pandas as pd

import kestro

CSV_PATH = globals().get("CSV_PATH", "examples/data/iris_small.csv")

source = pd.read_csv(CSV_PATH, index_col=0).iloc[:2, :3]
small = kestro.data(source)
print("start:", small.shape, small.points.getNames(), small.features.getNames())
print(small)

small.transpose()
print("\ntransposed:", small.shape, "points are now", small.points.getNames())
small.transpose()

small.replaceRectangle(0, 0, 1, 1, 2)
print("\nrectangle of points 0..1, features 1..2 set to 0:")
print(small)

table = kestro.data(pd.DataFrame({"count": [1, 2], "weight": [0.5, 1.5]}), pointNames=["a", "b"])
table.flatten()
print("\nflattened (point order):", table.features.getNames(), table.features.getTypes())
table.unflatten((2, 2))
print("unflattened:", table.points.getNames(), table.features.getNames(),
      table.features.getTypes())

left = kestro.data(pd.DataFrame({"x": [1.0, 2.0], "y": [3.0, 4.0]}), pointNames=["p", "q"])
right = kestro.data(pd.DataFrame({"y": [4.0, 9.0], "z": [7.0, 8.0]}), pointNames=["q", "r"])
left.merge(right, point="union", feature="union")
print("\nmerged (union of points and features):", left.points.getNames(),
      left.features.getNames())
print(left)

colours = kestro.data([[1, "red"], [2, "blue"], [3, "red"]], featureNames=["id", "colour"])
print("\nbinary features:", colours.replaceFeatureWithBinaryFeatures("colour"))
print(colours)
