"""Build data objects from a CSV file, a list, an array and a pandas table."""
import numpy as np
import pandas as pd

import kestro

CSV_PATH = globals().get("CSV_PATH", "examples/data/iris_small.csv")

iris = kestro.data(CSV_PATH, pointNames=True, featureNames=True)
print("type:", iris.getTypeString(), "| shape:", iris.shape)
print("point names:", iris.points.getNames())
print("feature names:", iris.features.getNames())
print(iris)

fromList = kestro.data([[1, 2, 3], [4, 5, 6]], featureNames=["a", "b", "c"])
fromArray = kestro.data(np.eye(2))
fromPandas = kestro.data(pd.DataFrame({"x": [1.5, 2.5], "y": ["u", "v"]}))
for label, obj in [("a list", fromList), ("an array", fromArray), ("a pandas table", fromPandas)]:
    print(f"from {label}: shape {obj.shape}, element types {obj.features.getTypes()}")
