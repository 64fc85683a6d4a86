"""Copy a data object into other formats, then save it as CSV and Matrix Market."""
import os
import tempfile

import pandas as pd
import scipy.io

import kestro

CSV_PATH = globals().get("CSV_PATH", "examples/data/iris_small.csv")

iris = kestro.data(CSV_PATH, pointNames=True, featureNames=True)
numeric = iris.features.getNames()[:2]
head = kestro.data(pd.read_csv(CSV_PATH, index_col=0).iloc[:3][numeric],
                   pointNames=iris.points.getNames()[:3], featureNames=numeric)

print("as a nested list:", head.copy("pythonlist"))
print("as a numpy array:\n", head.copy("numpyarray"))
print("as a scipy CSR matrix of shape", head.copy("scipycsr").shape)
print("as a pandas DataFrame, names included:\n", head.copy("pandasdataframe"))
asList = head.copy("List")
print("as the List storage type:", asList.getTypeString(), asList.features.getNames())

dated = kestro.data(pd.DataFrame({"when": pd.to_datetime(["2024-03-01", "2024-03-02"]),
                                  "amount": [1.5, 2.5]}), featureNames=["when", "amount"])
print("datetime feature as a list:", dated.copy("pythonlist")[0])
print("datetime feature as an array:", dated.copy("numpyarray")[0])

with tempfile.TemporaryDirectory() as folder:
    csvPath = os.path.join(folder, "head.csv")
    head.save(csvPath)
    with open(csvPath, encoding="utf-8") as file:
        print("the CSV file:\n" + file.read().rstrip())
    print("read back by pandas:\n", pd.read_csv(csvPath, index_col=0))

    mtxPath = os.path.join(folder, "head.mtx")
    head.save(mtxPath)
    with open(mtxPath, encoding="utf-8") as file:
        comments = [line.rstrip() for line in file if line.startswith("%")]
    print("Matrix Market header and comments:", comments)
    print("read back by scipy:\n", scipy.io.mmread(mtxPath))
