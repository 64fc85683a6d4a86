"""The entry points of kestro against the pandas call each one wraps.

    PYTHONPATH=src python -m benchmarks.bench_entry [--repeats N]

* ``kestro.data`` from a nested list of 10^6 numbers (10^5 x 10) against
  ``pd.DataFrame(list)``;
* ``kestro.data(df)`` from a 10^5 x 5 table with one text feature against
  ``df.copy()``;
* ``kestro.data(path)`` from a CSV file of 10^6 x 5 values (about 50 MB)
  against ``pd.read_csv(path)``, in time and in peak memory.

Each pair alternates in one process; the medians and their ratio are
printed.  ``cases`` gives the same comparisons to the benchmark report.
"""
import argparse
import os
import statistics
import sys
import tempfile
import time
import tracemalloc

import numpy as np
import pandas as pd

import kestro


def nested_list(points, features):
    return np.random.default_rng(3).standard_normal((points, features)).round(6).tolist()


def text_table(points):
    rng = np.random.default_rng(4)
    table = pd.DataFrame(rng.standard_normal((points, 4)), columns=list("abcd"))
    table["t"] = pd.Series([f"w{i % 97}" for i in range(points)], dtype=object)
    return table


def csv_file(folder, points):
    table = text_table(points)
    path = os.path.join(folder, "entry.csv")
    table.to_csv(path, index=False)
    return path


def cases(table, folder):
    """(label, hook, floor label, floor) for the report, on `table`."""
    values = table.to_numpy().tolist()
    path = os.path.join(folder, "entry_report.csv")
    named = table.set_axis([f"f{j}" for j in range(table.shape[1])], axis=1)
    named.to_csv(path, index=False)
    yield ("kestro.data(nested list)", lambda _: kestro.data(values),
           "pd.DataFrame(list)", lambda _: pd.DataFrame(values))
    yield ("kestro.data(pandas table)", lambda _: kestro.data(table),
           "df.copy()", lambda _: table.copy())
    yield ("kestro.data(CSV path)", lambda _: kestro.data(path),
           "pd.read_csv", lambda _: pd.read_csv(path))


def timed(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def peak(call):
    tracemalloc.start()
    try:
        call()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def compare(label, ours, library, repeats, memory=False):
    ours(), library()  # warm up
    mine, theirs = [], []
    for _ in range(repeats):  # alternate so that drift hits both sides
        mine.append(timed(ours))
        theirs.append(timed(library))
    a, b = statistics.median(mine), statistics.median(theirs)
    print(f"{label:<44}{a * 1e3:>10.1f}{b * 1e3:>10.1f}{a / b:>8.2f}")
    if memory:
        pa, pb = peak(ours), peak(library)
        print(f"{'  peak memory (MB)':<44}{pa / 2**20:>10.1f}{pb / 2**20:>10.1f}{pa / pb:>8.2f}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=7)
    repeats = parser.parse_args().repeats
    print(f"Python {sys.version.split()[0]}, numpy {np.__version__}, pandas {pd.__version__}")
    print(f"{'':<44}{'ms':>10}{'floor ms':>10}{'ratio':>8}")
    values = nested_list(10**5, 10)
    compare("kestro.data(10^6-element nested list)", lambda: kestro.data(values),
            lambda: pd.DataFrame(values), repeats)
    table = text_table(10**5)
    compare("kestro.data(df 10^5 x 5, one text feature)", lambda: kestro.data(table),
            lambda: table.copy(), repeats)
    with tempfile.TemporaryDirectory() as folder:
        path = csv_file(folder, 10**6)
        print(f"CSV file: {os.path.getsize(path) / 1e6:.0f} MB")
        compare("kestro.data(path)", lambda: kestro.data(path), lambda: pd.read_csv(path),
                max(3, repeats // 2), memory=True)


if __name__ == "__main__":
    main()
