"""Every hook of `DataFrame` on tables of growing size, beside its floor.

    python -m benchmarks [--quick] [--out DIR]

For each hook, each table size (10^3 to 10^6 elements, 10 features) and each
kind of table (all float64; mixed int64 / float64 / object / datetime64 /
bool features) it times

* the hook itself,
* its floor: the pandas / numpy / scipy call the hook wraps, or for
  per-element work a bare Python loop calling the same function on the same
  values -- what no implementation can beat,
* where one applies, the per-element pandas walk an interpreted version
  would make (iat/iloc for transform, `at` for the invariants check); when
  the whole walk would take too long it runs on the first rows only and is
  scaled up, which the table marks with the factor.

Hook and floor alternate within one process and each figure is the median of
the repeats.  The table is printed and written to DIR/results.md, the chart
(time against size, log-log, one panel per hook) to DIR/hooks.png when
matplotlib is installed (`pip install ".[bench]"`).
"""
import argparse
import dataclasses
import gc
import itertools
import math
import os
import pathlib
import platform
import statistics
import sys
import tempfile
import time
import tracemalloc
import warnings

ROOT = pathlib.Path(__file__).resolve().parents[1]
# a module built in place (tools/devbuild) wins over an installed one
if any((ROOT / "src" / "kestro" / "core" / "data").glob("dataframe*.so")) and \
        str(ROOT / "src") not in sys.path:
    sys.path.insert(0, str(ROOT / "src"))

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
import scipy  # noqa: E402
import scipy.io  # noqa: E402
import scipy.sparse  # noqa: E402

from kestro._utility import allowedNumpyDType, isAllowedSingleElement  # noqa: E402
from kestro.core.data._dataHelpers import (  # noqa: E402
    KestroElementIterator, allDataIdentical, denseCountUnique)
from kestro.core.data.dataframe import DataFrame  # noqa: E402

from benchmarks import bench_entry  # noqa: E402
from benchmarks.bench_element_types import at_walk  # noqa: E402
from benchmarks.bench_transform import element_walk, float_table, keep_type, mixed_table  # noqa: E402

FEATURES = 10
KINDS = ("float64", "mixed")


@dataclasses.dataclass
class Case:
    """One hook call and its floor on one table.

    `hook` and `floor` take the state their `setup` returns (None without
    one); a case with a setup gets a fresh state before every timed call.
    """
    hook: str
    floorLabel: str
    run: object
    floor: object
    setup: object = None
    floorSetup: object = None
    walk: object = None  # (label, run, setup, scale)
    maxSize: object = None  # larger tables are skipped


@dataclasses.dataclass
class Result:
    hook: str
    kind: str
    size: int
    hookTime: float = float("nan")
    floorTime: float = float("nan")
    walkTime: float = float("nan")
    walkScale: float = 1.0
    peak: float = float("nan")  # traced peak of one hook call / the table's bytes
    floorPeak: float = float("nan")  # the same for one floor call
    note: str = ""


def oneArg(function):
    function.oneArg = True
    return function


DOUBLE = oneArg(lambda v: v * 2)
KEEP_TYPE = oneArg(keep_type)


def values_of(table):
    """The values `iat` hands out, feature by feature (numpy scalars,
    Timestamps for datetime features, the objects themselves otherwise)."""
    out = []
    for j in range(table.shape[1]):
        column = table.iloc[:, j]
        out.extend(column if column.dtype.kind == "M" else column.to_numpy())
    return out


def bare_loop(function, values):
    def loop(_=None):
        for v in values:
            function(v)
    return loop


def fresh(table):
    return lambda: DataFrame(table)


def reset(obj, table):
    """Put a copy of `table` (or of what calling it returns) back into `obj`."""
    def setup():
        obj._data = (table() if callable(table) else table).copy()
        return obj
    return setup


def walk_subsample(table, walkElements):
    rows = max(1, min(table.shape[0], walkElements // table.shape[1]))
    return table.iloc[:rows].copy(), table.shape[0] / rows


def optional_reshape_baselines():
    try:
        from benchmarks import bench_reshape
    except ImportError:
        return None
    return bench_reshape


def cases(kind, table, folder, walkElements):
    """The cases for one table, in the order of the report."""
    points = table.shape[0]
    function = DOUBLE if kind == "float64" else KEEP_TYPE
    values = values_of(table)
    obj = DataFrame(table)
    # the floors read the table the hooks read: the object's own copy, laid
    # out in memory as pandas lays out its blocks (the source table may be
    # laid out otherwise, which changes what a reshape or a scan costs)
    own = obj._data
    other = DataFrame(table.copy())
    floating = kind == "float64"

    yield Case("constructor", "pd.DataFrame(copy=True)",
               lambda _: DataFrame(table), lambda _: pd.DataFrame(table, copy=True))
    for hook, run, floorLabel, floor in bench_entry.cases(table, folder):
        yield Case(hook, floorLabel, run, floor)

    small, scale = walk_subsample(table, walkElements)
    yield Case("_transform_implementation", "bare loop of the function",
               lambda o: o._transform_implementation(function, None, None),
               bare_loop(function, values), setup=fresh(table),
               walk=("iat/iloc walk", lambda o: element_walk(o, function, None, None),
                     fresh(small), scale))
    yield Case("_calculate_implementation", "bare loop of the function",
               lambda _: obj._calculate_implementation(function, None, None, False),
               bare_loop(function, values))
    yield Case("_checkInvariants_implementation(2)",
               "bare loop of isAllowedSingleElement" if not floating else "dtype checks",
               lambda _: obj._checkInvariants_implementation(2),
               bare_loop(isAllowedSingleElement, values) if not floating else
               lambda _: all(allowedNumpyDType(d) for d in table.dtypes),
               walk=None if floating else ("at walk", lambda t: at_walk(t), lambda: small, scale))
    yield Case("_countUnique_implementation", "denseCountUnique",
               lambda _: obj._countUnique_implementation(None, None),
               lambda _: denseCountUnique(obj, None, None))
    yield Case("_containsZero_implementation", "0 in to_numpy()",
               lambda _: obj._containsZero_implementation(), lambda _: 0 in own.to_numpy())
    yield Case("_isIdentical_implementation", "allDataIdentical(to_numpy() x 2)",
               lambda _: obj._isIdentical_implementation(other),
               lambda _: allDataIdentical(own.to_numpy(), other._data.to_numpy()))
    yield Case("_iterateElements_implementation", "KestroElementIterator(to_numpy())",
               lambda _: sum(1 for _ in obj._iterateElements_implementation("point", None)),
               lambda _: sum(1 for _ in KestroElementIterator(own.to_numpy(), "point", None)))
    yield Case("_asNumpyArray", "to_numpy()",
               lambda _: obj._asNumpyArray(), lambda _: own.to_numpy())
    # each call widens int64 to float64 and narrows float64 to float32
    change = {np.dtype(np.int64): np.dtype(np.float64), np.dtype(np.float64): np.dtype(np.float32)}
    dtypes = tuple(change.get(d, d) for d in table.dtypes)
    changed = {j: change[d] for j, d in enumerate(table.dtypes) if d in change}
    yield Case("_setDtypes", "astype of the changed features",
               lambda o: o._setDtypes(dtypes), lambda _: own.astype(changed),
               setup=reset(DataFrame(table), table))
    usable = [np.dtype(bool), np.dtype(np.int64), np.dtype(np.float64)]
    yield Case("_convertToNumericTypes_implementation", "dtype membership test",
               lambda _: obj._convertToNumericTypes_implementation(usable),
               lambda _: all(d in usable for d in table.dtypes), setup=fresh(table))
    yield Case("_getitem_implementation", "iat",
               lambda _: obj._getitem_implementation(points // 2, 3),
               lambda _: own.iat[points // 2, 3])
    half = points // 2
    yield Case("_view_implementation", "iloc rectangle",
               lambda _: obj._view_implementation(0, half, 0, FEATURES // 2, False),
               lambda _: own.iloc[0:half, 0:FEATURES // 2])

    for target, label, library in (
            ("numpyarray", "to_numpy(copy=True)", lambda _: own.to_numpy(copy=True)),
            ("pythonlist", "to_numpy().tolist()", lambda _: own.to_numpy().tolist()),
            ("scipycsr", "csr_matrix(to_numpy())",
             lambda _: scipy.sparse.csr_matrix(own.to_numpy())),
            ("pandasdataframe", "copy()", lambda _: own.copy()),
            ("DataFrame", "copy() + constructor",
             lambda _: DataFrame(own.copy(), reuseData=True))):
        if target == "scipycsr" and not floating:
            continue  # no sparse matrix of strings and dates
        yield Case(f"_copy_implementation({target})", label,
                   lambda _, t=target: obj._copy_implementation(t), library)

    ours, theirs = os.path.join(folder, "ours"), os.path.join(folder, "theirs")
    yield Case("_saveCSV_implementation", "to_csv",
               lambda _: obj._saveCSV_implementation(ours + ".csv", False, False),
               lambda _: own.to_csv(theirs + ".csv", index=False, header=False))
    if floating:
        yield Case("_saveMTX_implementation", "mmwrite",
                   lambda _: obj._saveMTX_implementation(ours + ".mtx", False, False),
                   lambda _: scipy.io.mmwrite(theirs + ".mtx", own.to_numpy(), comment="#"))

    if floating:
        yield Case("_binaryOperations_implementation(__add__)", "numpy + and constructor",
                   lambda _: obj._binaryOperations_implementation("__add__", other),
                   lambda _: DataFrame(own.to_numpy() + other._data.to_numpy()))
        square = DataFrame(pd.DataFrame(np.random.default_rng(3).random((FEATURES, FEATURES))))
        yield Case("_matmul__implementation", "numpy @ and constructor",
                   lambda _: obj._matmul__implementation(square),
                   lambda _: DataFrame(own.to_numpy() @ square._data.to_numpy()))
    else:
        yield Case("_binaryOperations_implementation(__eq__)", "numpy == and constructor",
                   lambda _: obj._binaryOperations_implementation("__eq__", other),
                   lambda _: DataFrame(own.to_numpy() == other._data.to_numpy()))

    yield Case("_transpose_implementation", ".T",
               lambda o: o._transpose_implementation(), lambda _: own.T,
               setup=reset(DataFrame(table), table))

    reshape = optional_reshape_baselines()
    if reshape is None:
        return
    target = DataFrame(table.copy())
    plain = table.copy()
    if floating:
        rectangle, value = (0, 0, half - 1, FEATURES // 2 - 1), 2.5
    else:  # the int64 and float64 features of every point
        rectangle, value = (0, 0, points - 1, 1), 7
    block = (slice(rectangle[0], rectangle[2] + 1), slice(rectangle[1], rectangle[3] + 1))

    def assign(_):
        plain.iloc[block] = value

    yield Case("_replaceRectangle_implementation", "iloc assignment of the value",
               lambda _: target._replaceRectangle_implementation(value, *rectangle), assign)
    # 10^6 features of mixed types take over 10 s a call, hook and floor alike
    limit = None if floating else 10**5
    flat = {}

    def flatTable():  # what flatten leaves, made once and only when needed
        if not flat:
            source = DataFrame(table)
            source._flatten_implementation("point")
            flat["table"] = source._data
        return flat["table"]

    # the floors reshape the very table the hook gets (a copy of `table`,
    # laid out in memory as pandas lays out its blocks)
    yield Case("_flatten_implementation", "to_numpy + reshape + pd.DataFrame",
               lambda o: o._flatten_implementation("point"),
               lambda o: pd.DataFrame(o._data.to_numpy().reshape(1, -1)),
               setup=reset(DataFrame(table), table), maxSize=limit,
               floorSetup=reset(DataFrame(table), table))
    yield Case("_unflatten_implementation", "to_numpy + reshape + pd.DataFrame",
               lambda o: o._unflatten_implementation((points, FEATURES), "point"),
               lambda o: pd.DataFrame(o._data.to_numpy().reshape(points, FEATURES)),
               setup=reset(DataFrame(table), flatTable), maxSize=limit,
               floorSetup=reset(DataFrame(table), flatTable))
    if hasattr(reshape, "plainMerge"):
        names = [f"p{i}" for i in range(points)]
        left = DataFrame(table, pointNames=names)
        right = DataFrame(table.iloc[::2].reset_index(drop=True), pointNames=names[::2])
        yield Case("_merge_implementation", "factorize + pd.merge + concat",
                   lambda o: o._merge_implementation(right, "left", "union", None, [[], []]),
                   lambda o: reshape.plainMerge(o, right, names, names[::2]),
                   setup=reset(left, table), floorSetup=reset(left, table))
    if hasattr(reshape, "plainBinary"):
        column = pd.DataFrame({0: (np.arange(points * FEATURES) % 20).astype(str).astype(object)})
        mapping = {str(v): i for i, v in enumerate(range(20))}
        single = DataFrame(column)
        yield Case("_replaceFeatureWithBinaryFeatures_implementation", "get_indexer + scatter",
                   lambda o: o._replaceFeatureWithBinaryFeatures_implementation(mapping),
                   lambda o: reshape.plainBinary(o, mapping),
                   setup=reset(single, column), floorSetup=reset(single, column))


def timed(run, setup, number):
    """Seconds per call.  The cycle collector runs before the clock starts and
    not while it runs, so garbage that one side leaves (data objects are
    cyclic) is not charged to the other."""
    state = setup() if setup else None
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        for _ in range(number):
            run(state)
        return (time.perf_counter() - start) / number
    finally:
        gc.enable()


def measure(case, repeats, budget):
    """Median seconds of hook and floor, alternated call by call."""
    once = max(timed(case.run, case.setup, 1), timed(case.floor, case.floorSetup, 1))
    number = 1
    if case.setup is None and case.floorSetup is None and once < 1e-3:
        number = min(1000, int(1e-3 / max(once, 1e-7)))  # loop cheap calls
    repeats = max(3, min(repeats, int(budget / max(once * number, 1e-9))))
    hook, floor = [], []
    for _ in range(repeats):
        hook.append(timed(case.run, case.setup, number))
        floor.append(timed(case.floor, case.floorSetup, number))
    return statistics.median(hook), statistics.median(floor)


def measure_peak(case, tableBytes, floor=False):
    """The largest amount of memory traced during one hook (floor) call, in
    units of the table's own size (one extra copy of the table is 1.0)."""
    setup, run = (case.floorSetup, case.floor) if floor else (case.setup, case.run)
    state = setup() if setup else None
    gc.collect()
    tracemalloc.start()
    try:
        tracemalloc.reset_peak()
        start = tracemalloc.get_traced_memory()[0]
        run(state)
        peak = tracemalloc.get_traced_memory()[1] - start
    finally:
        tracemalloc.stop()
    return peak / max(tableBytes, 1)


def measure_walk(walk, repeats):
    _, run, setup, scale = walk
    return statistics.median(timed(run, setup, 1) for _ in range(repeats)) * scale, scale


def run_all(sizes, repeats, walkRepeats, budget, walkElements, report, kinds=KINDS, only=()):
    results = []
    with tempfile.TemporaryDirectory() as folder, warnings.catch_warnings():
        # the walks and floors use pandas idioms that it warns about
        for category in (FutureWarning, DeprecationWarning, pd.errors.PerformanceWarning):
            warnings.simplefilter("ignore", category)
        for kind, size in itertools.product(kinds, sizes):
            maker = float_table if kind == "float64" else mixed_table
            table = maker(size // FEATURES, FEATURES)
            tableBytes = int(table.memory_usage(index=False).sum())
            for case in cases(kind, table, folder, walkElements):
                if only and not any(part in case.hook for part in only):
                    continue
                # what exists by now outlives the case: keep it out of the
                # collections that `timed` makes
                gc.collect()
                gc.freeze()
                result = Result(case.hook, kind, size)
                if case.maxSize is not None and size > case.maxSize:
                    result.note = "skipped"
                    results.append(result)
                    report(result)
                    continue
                try:
                    result.hookTime, result.floorTime = measure(case, repeats, budget)
                    result.peak = measure_peak(case, tableBytes)
                    result.floorPeak = measure_peak(case, tableBytes, floor=True)
                    if case.walk is not None:
                        result.walkTime, result.walkScale = measure_walk(case.walk, walkRepeats)
                except NotImplementedError:
                    result.note = "not implemented"
                except Exception as error:  # a case this kind of table cannot take
                    result.note = f"raises {type(error).__name__}"
                results.append(result)
                report(result)
            gc.unfreeze()
            gc.collect()
    return results


LARGE = 10**5  # the sizes the summary's first ratio covers
SHAPES = (("tall", 30_000, 1), ("square", 300, 100), ("wide", 100, 300))


def costly_float(v):
    return math.sqrt(abs(v)) + math.sin(v) * 0.5


def costly_mixed(v):
    if isinstance(v, str):
        return v.upper() + "!"
    if isinstance(v, pd.Timestamp):
        return v.replace(day=1)
    if isinstance(v, np.bool_):
        return not v
    return abs(v) * 2 + 1


FUNCTIONS = {  # kind -> (label, function) pairs, cheap first
    "float64": (("cheap: v * 2", DOUBLE), ("costly: sqrt, sin", oneArg(costly_float))),
    "mixed": (("cheap: identity", oneArg(lambda v: v)), ("costly: per type", oneArg(costly_mixed))),
}


@dataclasses.dataclass
class ShapeResult:
    hook: str
    kind: str
    shape: str
    function: str
    hookTime: float
    floorTime: float
    peak: float
    floorPeak: float


def shape_sweep(repeats, budget, report, kinds=KINDS):
    """transform and calculate against the bare loop of the function, on
    tables of 30,000 elements in three shapes."""
    results = []
    for kind, (shape, points, features), (label, function) in (
            (k, s, f) for k in kinds for s in SHAPES for f in FUNCTIONS[k]):
        table = (float_table if kind == "float64" else mixed_table)(points, features)
        tableBytes = int(table.memory_usage(index=False).sum())
        values = values_of(table)
        obj = DataFrame(table)
        for hook, run, setup in (
                ("_transform_implementation",
                 lambda o: o._transform_implementation(function, None, None), fresh(table)),
                ("_calculate_implementation",
                 lambda _: obj._calculate_implementation(function, None, None, False), None)):
            case = Case(hook, "bare loop", run, bare_loop(function, values), setup=setup)
            gc.collect()
            hookTime, floorTime = measure(case, repeats, budget)
            result = ShapeResult(hook, kind, f"{shape} {points:,} x {features}", label,
                                 hookTime, floorTime, measure_peak(case, tableBytes),
                                 measure_peak(case, tableBytes, floor=True))
            results.append(result)
            report(result)
    return results


def shape_markdown(results):
    lines = ["| hook | kind | shape | function | hook ms | bare loop ms | hook / loop | peak memory "
             "| loop's peak |", "|---|---|---|---|---:|---:|---:|---:|---:|"]
    lines += [f"| {r.hook} | {r.kind} | {r.shape} | {r.function} | {ms(r.hookTime)} | "
              f"{ms(r.floorTime)} | {ratio(r.hookTime, r.floorTime)} | {r.peak:.2f} | "
              f"{r.floorPeak:.2f} |"
              for r in results]
    return lines


def summary_markdown(results, shapes):
    """Per hook and kind of table: the worst hook / floor ratio at 10^5
    elements and above, the worst over every size (and shape), the excess
    over the floor at the smallest size, and the largest peak memory at 10^5
    elements and above (below, the fixed allocations of pandas and of the
    host's objects outweigh a table of a few kilobytes)."""
    rows = {}
    smallest = min((r.size for r in results), default=0)
    largest = max((r.size for r in results), default=0)
    for r in results:
        if r.hookTime != r.hookTime:
            continue
        row = rows.setdefault((r.hook, r.kind), [0.0, float("nan"), 0.0, 0.0, float("nan")])
        row[0] = max(row[0], r.hookTime / r.floorTime)
        if r.size >= LARGE:
            row[4] = r.hookTime / r.floorTime if row[4] != row[4] else \
                max(row[4], r.hookTime / r.floorTime)
        if r.size == smallest:
            row[1] = (r.hookTime - r.floorTime) * 1e6
        if r.size >= min(LARGE, largest):
            row[2] = max(row[2], r.peak)
            row[3] = max(row[3], r.floorPeak)
    for r in shapes:
        row = rows.setdefault((r.hook, r.kind), [0.0, float("nan"), 0.0, 0.0, float("nan")])
        row[0] = max(row[0], r.hookTime / r.floorTime)
    lines = ["| hook | kind | worst hook / floor, 10^5 elements and above | worst hook / floor "
             f"| over the floor at {smallest:,} elements | peak memory, 10^5 elements and above "
             "| floor's peak |",
             "|---|---|---:|---:|---:|---:|---:|"]
    for (hook, kind), (worst, excess, peak, floorPeak, large) in rows.items():
        over = "" if excess != excess else f"{excess:+.0f} us"
        big = "" if large != large else f"{large:.2f}"
        lines.append(f"| {hook} | {kind} | {big} | {worst:.2f} | {over} | {peak:.2f} "
                     f"| {floorPeak:.2f} |")
    return lines


def ms(seconds):
    value = seconds * 1e3
    if value != value:
        return ""
    for limit, digits in ((100, 0), (10, 1), (1, 2), (0.01, 3)):
        if value >= limit:
            return f"{value:.{digits}f}"
    return f"{value:.4f}"


def ratio(a, b):
    return "" if a != a or b != b or b == 0 else f"{a / b:.2f}"


HEADER = ("hook", "kind", "elements", "hook ms", "floor ms", "hook / floor", "peak memory",
          "floor's peak", "walk ms", "walk / hook")


def cells(r):
    walk = ms(r.walkTime)
    if walk and r.walkScale != 1:
        walk += f" (x{r.walkScale:g})"
    return (r.hook, r.kind, f"{r.size:,}", ms(r.hookTime) or r.note, ms(r.floorTime),
            ratio(r.hookTime, r.floorTime), "" if r.peak != r.peak else f"{r.peak:.2f}",
            "" if r.floorPeak != r.floorPeak else f"{r.floorPeak:.2f}", walk, ratio(r.walkTime, r.hookTime))


def environment():
    cpu = "unknown CPU"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
        memory = next(int(line.split()[1]) for line in open("/proc/meminfo")
                      if line.startswith("MemTotal"))
        memory = f"{memory / 2**20:.0f} GiB"
    except OSError:
        memory = "unknown memory"
    return (f"{os.cpu_count()} cores ({cpu}), {memory}; Python {platform.python_version()}, "
            f"numpy {np.__version__}, pandas {pd.__version__}, scipy {scipy.__version__}")


def markdown(results, floors, settings, shapes=()):
    lines = [f"Machine: {environment()}.", "", settings, "", "Summary:", ""]
    lines += summary_markdown(results, shapes) + ["", "All figures:", "",
             "| " + " | ".join(HEADER) + " |",
             "|" + "|".join("---" if i < 2 else "---:" for i in range(len(HEADER))) + "|"]
    lines += ["| " + " | ".join(cells(r)) + " |" for r in results]
    if shapes:
        lines += ["", "transform and calculate by shape (30,000 elements; the floor is the bare "
                  "loop of the function):", ""] + shape_markdown(shapes)
    lines += ["", "Floors:", ""]
    lines += [f"- `{hook}`: {floor}" for hook, floor in floors.items()]
    lines += ["", "Peak memory: the largest amount of memory traced (tracemalloc) during one "
              "hook call, divided by the table's size in bytes; 1.00 is one extra copy of the "
              "table (object features count their pointers only)."]
    return "\n".join(lines) + "\n"


def chart(results, path):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed (pip install '.[bench]'): no chart", file=sys.stderr)
        return False
    from matplotlib.ticker import FuncFormatter, LogLocator, NullFormatter

    def panel(hook):  # the two binary operations share a panel
        return hook.split("(")[0] if hook.startswith("_binary") else hook

    panels = list(dict.fromkeys(panel(r.hook) for r in results if r.hookTime == r.hookTime))
    columns = 4
    rows = -(-len(panels) // columns)
    figure, axes = plt.subplots(rows, columns, figsize=(3.2 * columns, 2.2 * rows), squeeze=False)
    colours = {"float64": "tab:blue", "mixed": "tab:orange"}
    for axis, name in zip(axes.flat, panels):
        titles = []
        for kind in KINDS:
            mine = [r for r in results if panel(r.hook) == name and r.kind == kind
                    and r.hookTime == r.hookTime]
            if not mine:
                continue
            titles.append(mine[0].hook)
            sizes = [r.size for r in mine]
            colour = colours[kind]
            axis.loglog(sizes, [r.hookTime * 1e3 for r in mine], "o-", color=colour, ms=3,
                        label=f"hook, {kind}")
            axis.loglog(sizes, [r.floorTime * 1e3 for r in mine], "--", color=colour,
                        label=f"floor, {kind}")
            walked = [r for r in mine if r.walkTime == r.walkTime]
            if walked:
                axis.loglog([r.size for r in walked], [r.walkTime * 1e3 for r in walked], ":",
                            color=colour, lw=2, label=f"pandas walk, {kind}")
        title = " / ".join(dict.fromkeys(t.replace("_implementation", "") for t in titles))
        axis.set_title(title, fontsize=8)
        axis.set_xticks([r.size for r in results if r.hook == results[0].hook
                         and r.kind == results[0].kind])
        axis.xaxis.set_minor_formatter(NullFormatter())
        low, high = axis.get_ylim()
        if high / low < 30:  # less than about a decade and a half: label 1-2-5 steps
            axis.yaxis.set_major_locator(LogLocator(subs=(1.0, 2.0, 5.0)))
        axis.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}"))
        axis.yaxis.set_minor_formatter(NullFormatter())
        axis.tick_params(labelsize=7)
        axis.grid(True, which="major", lw=0.3)
    hooks = panels
    for axis in list(axes.flat)[len(hooks):]:
        axis.axis("off")
    handles, labels = [], []
    for axis in axes.flat:
        for handle, label in zip(*axis.get_legend_handles_labels()):
            if label not in labels:
                handles.append(handle)
                labels.append(label)
    figure.legend(handles, labels, loc="lower right", fontsize=8, ncol=2)
    figure.supxlabel("elements in the table", fontsize=9)
    figure.supylabel("milliseconds per call", fontsize=9)
    figure.tight_layout(rect=(0.01, 0.01, 1, 1))
    figure.savefig(path, dpi=64)
    plt.close(figure)
    return True


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m benchmarks", description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="sizes up to 10^5 elements, fewer repeats")
    parser.add_argument("--out", default=str(ROOT / "benchmarks" / "results"),
                        help="folder for results.md and hooks.png (default: %(default)s)")
    parser.add_argument("--only", action="append", default=[], metavar="TEXT",
                        help="only the hooks whose name contains TEXT (repeatable)")
    parser.add_argument("--kind", action="append", choices=KINDS, default=[],
                        help="only tables of this kind (repeatable)")
    parser.add_argument("--sizes", type=lambda text: [int(float(s)) for s in text.split(",")],
                        help="comma-separated table sizes in elements, e.g. 1e3,1e5")
    args = parser.parse_args(argv)
    sizes = [10**3, 10**4, 10**5] if args.quick else [10**3, 10**4, 10**5, 10**6]
    if args.sizes:
        sizes = args.sizes
    repeats, walkRepeats, budget, walkElements = (5, 1, 0.3, 2_000) if args.quick else \
        (11, 3, 1.5, 20_000)
    settings = (f"Median of up to {repeats} repeats (at least 3; hook and floor alternate), "
                f"tables of {FEATURES} features; walks over more than {walkElements:,} elements "
                "run on the first rows and are scaled (factor in brackets).")
    print(environment())
    print(settings)
    widths = (48, 8, 10, 10, 10, 12, 11, 12, 18, 11)
    print(" ".join(f"{h:<{w}}" if i < 2 else f"{h:>{w}}" for i, (h, w) in
                   enumerate(zip(HEADER, widths))))

    def report(result):
        print(" ".join(f"{c:<{w}}" if i < 2 else f"{c:>{w}}" for i, (c, w) in
                       enumerate(zip(cells(result), widths))), flush=True)

    started = time.perf_counter()
    with tempfile.TemporaryDirectory() as folder:
        floors = {c.hook: c.floorLabel for kind in KINDS
                  for c in cases(kind, float_table(10, FEATURES) if kind == "float64"
                                 else mixed_table(10, FEATURES), folder, 0)}
    kinds = tuple(args.kind) or KINDS
    results = run_all(sizes, repeats, walkRepeats, budget, walkElements, report,
                      kinds=kinds, only=tuple(args.only))
    shapes = []
    if not args.only or any(part in "_transform_implementation _calculate_implementation"
                            for part in args.only):
        print("\ntransform and calculate by shape")
        shapes = shape_sweep(repeats, budget, lambda r: print(
            f"{r.hook:<28} {r.kind:<8} {r.shape:<20} {r.function:<20} {ms(r.hookTime):>8} "
            f"{ms(r.floorTime):>8} {ratio(r.hookTime, r.floorTime):>6} {r.peak:>6.2f}",
            flush=True), kinds=kinds)
    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    (out / "results.md").write_text(markdown(results, floors, settings, shapes))
    written = [out / "results.md"]
    if chart(results, out / "hooks.png"):
        written.append(out / "hooks.png")
    print(f"\n{time.perf_counter() - started:.0f} s; wrote " + ", ".join(map(str, written)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
