"""Apply a function to every element, in place (transform) or into a new
object (calculate)."""
import warnings

import pandas as pd

import kestro

CSV_PATH = globals().get("CSV_PATH", "examples/data/iris_small.csv")

iris = kestro.data(CSV_PATH, pointNames=True, featureNames=True)
print("before:", iris.shape, iris.features.getTypes())

# In place: double the two sepal measurements of every point.
iris.transform(lambda v: v * 2, features=["sepal_length", "sepal_width"])
print("sepals doubled:", iris[:3, :2].copy("pythonlist"))

# A three-argument function also gets the element's point and feature positions.
iris.transform(lambda v, i, j: f"{v}#{i}", features=["species"])
print("species tagged with positions:", list(iris[:3, "species"].iterateElements()))

# A float result in an integer feature widens that feature, as pandas would
# (pandas 2 announces that it will refuse this some day).
counts = kestro.data([[1, 2], [3, 4]], featureNames=["a", "b"])
with warnings.catch_warnings():
    warnings.simplefilter("ignore", FutureWarning)
    counts.transform(lambda v: v / 2, features=["a"])
print("integer feature after halving:", counts.features.getTypes(), counts.copy("pythonlist"))

# A datetime feature that receives numbers becomes an object feature.
stamps = kestro.data(pd.DataFrame({"when": pd.to_datetime(["2024-01-01", "2024-06-30"])}))
stamps.transform(lambda v: v.day_of_year)
print("day of year:", stamps.features.getTypes(), list(stamps.iterateElements()))

# Calculate leaves the object alone and returns a new one for the selection.
petals = iris.calculate(lambda v: round(v / 10, 2), points=[2, 0],
                        features=["petal_length", "petal_width"])
print("petals in cm, points 2 and 0:", petals.points.getNames(), petals.copy("pythonlist"))
