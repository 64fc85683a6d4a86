"""Interpreter hygiene: a clean exit after heavy use, and objects used from
several threads at once."""
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pandas as pd
import pytest

import kestro

HEAVY_USE = textwrap.dedent("""
    import os, sys, tempfile
    import numpy as np, pandas as pd
    import kestro

    table = pd.DataFrame({0: np.arange(6), 1: np.linspace(0, 1, 6),
                          2: np.array(list("abcdef"), dtype=object), 3: [True, False] * 3})
    keep = []
    num = kestro.data(np.arange(12.0).reshape(3, 4))
    with tempfile.TemporaryDirectory() as folder:
        for n in range(150):
            obj = kestro.data(table, returnType="DataFrame")
            obj.transform(lambda v: v * 2 if isinstance(v, (int, float)) else v, features=[0, 1])
            obj.transform(lambda v: "x", points=[n % 6], features=[0])   # upcasts a column
            flipped = num.copy("Matrix").copy("DataFrame")
            flipped.transpose()
            product = (num + num * 2 - 1) @ flipped.view(0, 4)
            num.transpose(); num.flatten("feature"); num.unflatten([3, 4], "point")
            num.replaceRectangle(np.nan, 0, 0, 1, 1)
            view = obj.view(1, 4, 0, 3)
            view.copy("numpyarray"); view.copy("List"); product.copy("scipycsr")
            obj.calculate(str, features=[2]).copy("pythonlist")
            obj.save(os.path.join(folder, "t.csv"))
            num.save(os.path.join(folder, "t.mtx"))
            obj.checkInvariants(level=2)
            keep.append(view)          # objects alive at exit as well
    print(len(keep))
""")


def test_interpreter_exits_cleanly_after_heavy_use():
    run = subprocess.run([sys.executable, "-X", "dev", "-W", "error", "-c", HEAVY_USE],
                         capture_output=True, text=True, timeout=300)
    assert (run.returncode, run.stderr, run.stdout) == (0, "", "150\n")


def work(seed):
    """Transform, copy and arithmetic on objects of one thread's own."""
    rng = np.random.default_rng(seed)
    table = pd.DataFrame({0: rng.integers(-9, 9, 20), 1: rng.normal(size=20),
                          2: np.array([f"s{v}" for v in rng.integers(0, 5, 20)], dtype=object)})
    results = []
    for step in range(30):
        obj = kestro.data(table, returnType="DataFrame")
        obj.transform(lambda v: v + step, features=[0, 1])
        obj.transform(lambda v, i, j: f"{v}:{i}", points=list(range(0, 20, 3)), features=[2])
        other = obj.copy("DataFrame")
        numeric = other.view(None, None, 0, 2).copy("DataFrame")
        numeric.transpose()
        total = (numeric * 2 + numeric) - step
        results.append((obj.copy("pythonlist"), total.copy("numpyarray").tolist(),
                        obj.isIdentical(other)))
    return results


@pytest.mark.parametrize("threads", [4])
def test_threads_using_their_own_objects(threads):
    expected = [work(seed) for seed in range(threads)]
    got = [None] * threads
    errors = []
    barrier = threading.Barrier(threads)

    def run(seed):
        try:
            barrier.wait()
            got[seed] = work(seed)
        except BaseException as error:  # reported below, in the main thread
            errors.append(error)

    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)   # switch threads as often as the interpreter can
    try:
        workers = [threading.Thread(target=run, args=(seed,)) for seed in range(threads)]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
    finally:
        sys.setswitchinterval(previous)
    assert not errors, errors
    assert got == expected
