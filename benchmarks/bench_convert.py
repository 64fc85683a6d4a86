"""Copies and file writers of a DataFrame data object against the library
call each one wraps, on a 10,000 x 50 float table.

    PYTHONPATH=src python benchmarks/bench_convert.py [--repeats N]

Prints the median time of each side, measured alternately in one process,
and their ratio.
"""
import argparse
import os
import statistics
import sys
import tempfile
import time

import numpy as np
import pandas as pd
import scipy.io
import scipy.sparse

import kestro.core.data
from kestro.core.data.dataframe import DataFrame

POINTS, FEATURES = 10_000, 50


def median_time(call, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def compare(label, ours, library, repeats):
    ours(), library()  # warm up
    mine, theirs = [], []
    for _ in range(repeats):  # alternate so that drift hits both sides
        mine.append(median_time(ours, 1))
        theirs.append(median_time(library, 1))
    a, b = statistics.median(mine), statistics.median(theirs)
    print(f"{label:<34}{a * 1e3:>10.2f}{b * 1e3:>12.2f}{a / b:>8.2f}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=15)
    repeats = parser.parse_args().repeats

    rng = np.random.default_rng(5)
    values = rng.standard_normal((POINTS, FEATURES))
    ptNames = [f"p{i}" for i in range(POINTS)]
    ftNames = [f"f{j}" for j in range(FEATURES)]
    obj = DataFrame(values, pointNames=ptNames, featureNames=ftNames)
    table = obj._data
    named = table.copy()
    named.index, named.columns = ptNames, ftNames

    print(f"numpy {np.__version__}, pandas {pd.__version__}, scipy {scipy.__version__}; "
          f"median of {repeats}")
    print(f"{'operation':<34}{'ours ms':>10}{'library ms':>12}{'ratio':>8}")
    def labelled():
        frame = table.copy()
        frame.index, frame.columns = ptNames, ftNames
        return frame

    copies = [
        ("numpyarray", lambda: table.to_numpy().copy(), "to_numpy().copy()"),
        ("numpyarray", lambda: table.to_numpy(copy=True), "to_numpy(copy=True)"),
        ("pythonlist", lambda: table.to_numpy().tolist(), "to_numpy().tolist()"),
        ("numpymatrix", lambda: np.matrix(table), "numpy.matrix"),
        ("scipycoo", lambda: scipy.sparse.coo_matrix(table), "coo_matrix"),
        ("scipycsc", lambda: scipy.sparse.csc_matrix(table.to_numpy()), "csc_matrix"),
        ("scipycsr", lambda: scipy.sparse.csr_matrix(table.to_numpy()), "csr_matrix"),
        ("pandasdataframe", labelled, "copy + labels"),
    ]
    if "DataFrame" in getattr(kestro.core.data, "available", ()):
        # the new object is built by the host; the reference pays for it too
        copies.append(("DataFrame", lambda: DataFrame(table.copy(), reuseData=True,
                                                      pointNames=ptNames, featureNames=ftNames),
                       "copy + constructor"))
    for target, library, name in copies:
        compare(f"copy {target} / {name}", lambda t=target: obj._copy_implementation(t),
                library, repeats)

    writes = max(3, repeats // 3)
    with tempfile.TemporaryDirectory() as folder:
        ours = os.path.join(folder, "ours.csv")
        theirs = os.path.join(folder, "theirs.csv")
        compare("saveCSV / to_csv", lambda: obj._saveCSV_implementation(ours, True, True),
                lambda: named.to_csv(theirs), writes)
        ours = os.path.join(folder, "ours.mtx")
        theirs = os.path.join(folder, "theirs.mtx")
        compare("saveMTX / astype+mmwrite",
                lambda: obj._saveMTX_implementation(ours, True, True),
                lambda: scipy.io.mmwrite(theirs, table.astype(np.float64), comment="#"),
                writes)
    return 0


if __name__ == "__main__":
    sys.exit(main())
