"""Base's public operations: validation, hook arguments and names bookkeeping."""
from pathlib import Path

import numpy as np
import pytest

import kestro
from kestro.core.data import Base, BaseView
from kestro.exceptions import (ImproperObjectAction, InvalidArgumentType,
                               InvalidArgumentValue, PackageException)

BAD_CALLS = [
    (lambda o: o.copy("table"), InvalidArgumentValue),
    (lambda o: o.copy(3), InvalidArgumentType),
    (lambda o: o.transform("abs"), InvalidArgumentType),
    (lambda o: o.transform(lambda a, b: a), InvalidArgumentValue),
    (lambda o: o.transform(abs, points=["nobody"]), InvalidArgumentValue),
    (lambda o: o.transform(abs, features=[0, "x"]), InvalidArgumentValue),
    (lambda o: o.calculate(abs, preserveZeros=1), InvalidArgumentType),
    (lambda o: o.calculate(abs, points=2.0), InvalidArgumentType),
    (lambda o: o.countUniqueElements(features=[3]), InvalidArgumentValue),
    (lambda o: o.iterateElements(order="row"), InvalidArgumentValue),
    (lambda o: o.iterateElements(only=5), InvalidArgumentType),
    (lambda o: o.view(2, 1), InvalidArgumentValue),
    (lambda o: o.view(0, 3), InvalidArgumentValue),
    (lambda o: o["a", "w"], InvalidArgumentValue),
    (lambda o: o[1.0, 0], InvalidArgumentType),
    (lambda o: o[0], InvalidArgumentValue),
    (lambda o: o[0:1.5, :], InvalidArgumentType),
    (lambda o: o[:, "x":np.float64(2)], InvalidArgumentType),
    (lambda o: o.points[0:1.5], InvalidArgumentType),
    (lambda o: o.replaceRectangle(1, 0, 0, 2, 0), InvalidArgumentValue),
    (lambda o: o.replaceRectangle(1, 1, 0, 0, 0), InvalidArgumentValue),
    (lambda o: o.replaceRectangle("s", 0, 0), InvalidArgumentType),
    (lambda o: o.replaceRectangle([[1, 2]], 0, 0, 0, 0), InvalidArgumentValue),
    (lambda o: o.save(3), InvalidArgumentType),
    (lambda o: o.save("out.txt"), InvalidArgumentValue),
    (lambda o: o.save("out.csv", fileFormat="xls"), InvalidArgumentValue),
    (lambda o: o.flatten("rows"), InvalidArgumentValue),
    (lambda o: o.unflatten((3, 2)), ImproperObjectAction),
    (lambda o: o.merge([[1]]), InvalidArgumentType),
    (lambda o: o.merge(o, point="outer"), InvalidArgumentValue),
    (lambda o: o.replaceFeatureWithBinaryFeatures(5), InvalidArgumentValue),
    (lambda o: o.checkInvariants("deep"), InvalidArgumentType),
    (lambda o: o + [1, 2, 3], InvalidArgumentType),
    (lambda o: o < None, InvalidArgumentType),
    (lambda o: o * kestro.data([[1, 2], [3, 4]]), InvalidArgumentValue),
    (lambda o: o + kestro.data([[1], [2], [3]]), InvalidArgumentValue),
    (lambda o: o @ o, InvalidArgumentValue),
    (lambda o: o @ kestro.data([["a"], ["b"], ["c"]], returnType="List"), InvalidArgumentValue),
    (lambda o: o @ np.ones((3, 1)), InvalidArgumentType),
    (lambda o: o ** (2, 3), InvalidArgumentType),
]


@pytest.mark.parametrize("call, error", BAD_CALLS)
def test_arguments_checked_before_any_hook(monkeypatch, named, noHooks, call, error):
    before = (values(named), named.points.getNames(), named.features.getNames())
    with pytest.raises(error):
        call(noHooks(named))
    monkeypatch.undo()
    assert (values(named), named.points.getNames(), named.features.getNames()) == before


def record(monkeypatch, obj, hook, result=None):
    calls = []

    def recorder(*args):
        calls.append(args)
        return result
    monkeypatch.setattr(obj, hook, recorder, raising=False)
    return calls


@pytest.mark.parametrize("call, hook, expected", [
    (lambda o: o.copy("NumPyArray"), "_copy_implementation", ("numpyarray",)),
    (lambda o: o.copy("matrix"), "_copy_implementation", ("Matrix",)),
    (lambda o: o.view("b", None, -2), "_view_implementation", (1, 2, 1, 3, False)),
    (lambda o: o.view(), "_view_implementation", (0, 2, 0, 3, False)),
    (lambda o: o["b", "z"], "_getitem_implementation", (1, 2)),
    (lambda o: o[-1, 0], "_getitem_implementation", (1, 0)),
    (lambda o: o.replaceRectangle(7, "a", "y", "b"), "_replaceRectangle_implementation",
     (7, 0, 1, 1, 2)),
    (lambda o: o.calculate(abs, ["b", "a"], None), "_calculate_implementation",
     (abs, [1, 0], None, False)),
    (lambda o: o.countUniqueElements(features="y"), "_countUnique_implementation",
     (None, [1])),
    (lambda o: o.iterateElements("feature"), "_iterateElements_implementation",
     ("feature", None)),
    (lambda o: o.save("f.MTX"), "_saveMTX_implementation", ("f.MTX", True, True)),
    (lambda o: o.save("f", "CSV", includeNames=False), "_saveCSV_implementation",
     ("f", False, False)),
    (lambda o: o.containsZero(), "_containsZero_implementation", ()),
    (lambda o: o.checkInvariants(2), "_checkInvariants_implementation", (2,)),
    (lambda o: o.convertToNumericTypes(), "_convertToNumericTypes_implementation",
     ([np.dtype(bool), np.dtype(np.int64), np.dtype(np.float64)],)),
])
def test_hook_arguments(monkeypatch, named, call, hook, expected):
    result = np.zeros((2, 3)) if hook == "_calculate_implementation" else None
    calls = record(monkeypatch, named, hook, result)
    call(named)
    assert calls == [expected]


@pytest.mark.parametrize("function, oneArg", [
    (abs, True), (lambda v: v, True), (lambda v, i=0, j=0: v, True),
    (lambda v, i, j: v, False), (np.sqrt, True),
])
def test_transform_prepares_function(monkeypatch, named, function, oneArg):
    calls = record(monkeypatch, named, "_transform_implementation")
    named.transform(function, points="b", features=["x", -1])
    (prepared, points, features), = calls
    assert prepared.oneArg is oneArg and (points, features) == ((1,), (0, 2))
    assert prepared(4, 0, 0) == 4 if not oneArg else prepared(4) == function(4)


def test_save_leaves_out_names_nobody_gave(monkeypatch, build):
    obj = build([[1, 2]], featureNames=["p", "q"])
    calls = record(monkeypatch, obj, "_saveCSV_implementation")
    obj.save("out.csv")
    assert calls == [("out.csv", False, True)]


def values(obj):
    return obj.copy("numpyarray").tolist()


def test_transpose_swaps_names(named):
    named.transpose()
    assert named.shape == (3, 2) and named._dims == [3, 2]
    assert named.points.getNames() == ["x", "y", "z"]
    assert named.features.getNames() == ["a", "b"]
    assert values(named) == [[1, 4], [2, 5], [3, 6]]


@pytest.mark.parametrize("order, names, flat", [
    ("point", ["a | x", "a | y", "a | z", "b | x", "b | y", "b | z"], [1, 2, 3, 4, 5, 6]),
    ("feature", ["a | x", "b | x", "a | y", "b | y", "a | z", "b | z"], [1, 4, 2, 5, 3, 6]),
])
def test_flatten_and_unflatten_round_trip(named, order, names, flat):
    original = named.copy(named.getTypeString())
    named.flatten(order)
    assert named.shape == (1, 6) and named.features.getNames() == names
    assert named.points._getNamesNoGeneration() is None
    assert values(named) == [flat]
    named.unflatten([2, 3], order)
    assert named.isIdentical(original)


def test_unflatten_feature_vector_and_foreign_names(build):
    obj = build([[1], [2], [3], [4]], ["p", "q", "r", "s"])
    obj.unflatten((2, 2))
    assert values(obj) == [[1, 2], [3, 4]] and obj.points._getNamesNoGeneration() is None
    with pytest.raises(InvalidArgumentValue):
        build([[1, 2, 3]]).unflatten((2, 2))


def test_unflatten_to_more_dimensions(build):
    obj = build([list(range(8))])
    obj.unflatten([2, 2, 2])
    assert obj._dims == [2, 2, 2] and obj.shape == (2, 4)
    assert obj.copy("numpyarray").shape == (2, 2, 2)


@pytest.mark.parametrize("op, expected", [
    (lambda o: o + 1, [[2, 3, 4], [5, 6, 7]]),
    (lambda o: 10 - o, [[9, 8, 7], [6, 5, 4]]),
    (lambda o: o * o, [[1, 4, 9], [16, 25, 36]]),
    (lambda o: o // 2, [[0, 1, 1], [2, 2, 3]]),
    (lambda o: 7 % o, [[0, 1, 1], [3, 2, 1]]),
    (lambda o: 2 ** o, [[2, 4, 8], [16, 32, 64]]),
    (lambda o: o / 2, [[0.5, 1, 1.5], [2, 2.5, 3]]),
    (lambda o: np.int64(1) + o, [[2, 3, 4], [5, 6, 7]]),
    (lambda o: o - o.view(0, 1), [[0, 0, 0], [3, 3, 3]]),
    (lambda o: o.view(None, None, 0, 1) * o, [[1, 2, 3], [16, 20, 24]]),
])
def test_arithmetic_keeps_names(named, op, expected):
    result = op(named)
    assert values(result) == expected
    assert result.points.getNames() == ["a", "b"]
    assert result.features.getNames() == ["x", "y", "z"]
    assert values(named) == [[1, 2, 3], [4, 5, 6]]


@pytest.mark.parametrize("op, expected", [
    (lambda o: o == 2, [[0, 1, 0], [0, 0, 0]]),
    (lambda o: o != 2, [[1, 0, 1], [1, 1, 1]]),
    (lambda o: 3 < o, [[0, 0, 0], [1, 1, 1]]),
    (lambda o: o >= o.copy("List"), [[1, 1, 1], [1, 1, 1]]),
])
def test_comparisons_are_element_wise(named, op, expected):
    assert np.array(values(op(named)), dtype=int).tolist() == expected


def test_objects_have_no_truth_value_or_hash(named):
    assert (named == [1, 2]) is False and (named != None) is True  # noqa: E711
    with pytest.raises(ImproperObjectAction):
        bool(named)
    with pytest.raises(TypeError):
        hash(named)


def test_matmul_names(named, build):
    right = build([[1, 0], [0, 1], [1, 1]], featureNames=["u", "v"])
    product = named @ right
    assert values(product) == [[4, 5], [10, 11]]
    assert product.points.getNames() == ["a", "b"] and product.features.getNames() == ["u", "v"]
    assert values(right.__rmatmul__(named)) == [[4, 5], [10, 11]]


def test_calculate_selection_names_and_order(named):
    result = named.calculate(lambda v: v * 10, points=["b", "a"], features=["z"])
    assert values(result) == [[60], [30]]
    assert result.points.getNames() == ["b", "a"] and result.features.getNames() == ["z"]


def test_replaceFeatureWithBinaryFeatures(build):
    obj = build([[1.0, 7.5, 0.5], [2.0, 9.5, 1.5], [3.0, 7.5, 2.5]], ["a", "b", "c"],
                ["n", "colour", "f"])
    assert obj.replaceFeatureWithBinaryFeatures("colour") == ["colour=7.5", "colour=9.5"]
    assert obj.features.getNames() == ["n", "colour=7.5", "colour=9.5", "f"]
    assert obj.points.getNames() == ["a", "b", "c"]
    assert np.array(values(obj), dtype=float).tolist() == [
        [1, 1, 0, 0.5], [2, 0, 1, 1.5], [3, 1, 0, 2.5]]
    obj.checkInvariants()


def test_replaceFeatureWithBinaryFeatures_refuses_name_clash(build):
    obj = build([[1.5, 0]], featureNames=["k", "k=1.5"])
    with pytest.raises(InvalidArgumentValue):
        obj.replaceFeatureWithBinaryFeatures("k")
    assert obj.features.getNames() == ["k", "k=1.5"] and values(obj) == [[1.5, 0]]


@pytest.mark.parametrize("point, feature, ptNames, ftNames, expected", [
    ("union", "union", ["a", "b", "c"], ["k", "v", "w"],
     [[1, 2, None], [3, 4, 9], [5, 6, 8]]),
    ("intersection", "intersection", ["b"], ["k", "v"], [[3, 4]]),
    ("left", "union", ["a", "b"], ["k", "v", "w"], [[1, 2, None], [3, 4, 9]]),
])
def test_merge_by_point_names(build, point, feature, ptNames, ftNames, expected):
    left = build([[1, 2], [3, 4]], ["a", "b"], ["k", "v"])
    right = build([[3, 4, 9], [5, 6, 8]], ["b", "c"], ["k", "v", "w"])
    left.merge(right, point=point, feature=feature)
    assert left.points.getNames() == ptNames and left.features.getNames() == ftNames
    got = [[None if v != v else v for v in row] for row in values(left)]
    assert got == expected


def test_merge_on_feature_and_conflicts(build):
    left = build([[1, 10], [2, 20]], ["p", "q"], ["id", "x"])
    right = build([[2, 7], [3, 8]], ["r", "s"], ["id", "y"])
    left.merge(right, point="union", feature="union", onFeature="id")
    assert left.points.getNames() == ["p", "q", "s"]
    assert left.features.getNames() == ["id", "x", "y"]
    assert [[None if v != v else v for v in row] for row in values(left)] == [
        [1, 10, None], [2, 20, 7], [3, None, 8]]
    clash = build([[1, 99]], ["p"], ["id", "x"])
    with pytest.raises(InvalidArgumentValue) as info:
        build([[1, 10]], ["p"], ["id", "x"]).merge(clash, point="strict", feature="union")
    assert str(info.value) == ("The objects contain different values for the same point and "
                               "feature: point 'p', feature 'x' holds 10 here and 99 in the "
                               "other object")


def test_pandas_NA_from_user_functions_becomes_missing(build, storage):
    import pandas as pd

    obj = build([[1, 2], [3, 4]])
    obj.transform(lambda v: pd.NA if v == 2 else v)
    calculated = obj.calculate(lambda v: pd.NA)
    for result in (obj, calculated):
        assert not any(v is pd.NA for row in values(result) for v in row)
    assert values(obj)[0][1] != values(obj)[0][1]  # NaN among numbers
    if storage != "Sparse":  # holds floats only
        big = build([[1, 2**60 + 1]]).calculate(lambda v: pd.NA if v == 1 else v)
        assert int(values(big)[0][1]) == 2**60 + 1


def test_merge_needs_point_names_unless_strict(build):
    unnamed = build([[1, 2]])
    with pytest.raises(InvalidArgumentValue):
        build([[1, 2]]).merge(unnamed, point="union")
    strict = build([[1, 2]], featureNames=None)
    strict.merge(build([[1, 2]]), point="strict", feature="strict")
    assert values(strict) == [[1, 2]]


READ_ONLY = [
    lambda v: v.transform(abs), lambda v: v.transpose(), lambda v: v.flatten(),
    lambda v: v.unflatten((1, 2)), lambda v: v.replaceRectangle(0, 0, 0),
    lambda v: v.merge(v), lambda v: v.replaceFeatureWithBinaryFeatures(0),
    lambda v: v.convertToNumericTypes(), lambda v: v.points.setNames(["q"]),
    lambda v: v.features.setNames(None),
]


@pytest.mark.parametrize("change", READ_ONLY)
def test_views_are_read_only(named, change):
    view = named.view("b", None, "y")
    with pytest.raises(ImproperObjectAction, match="read-only"):
        change(view)
    assert values(named) == [[1, 2, 3], [4, 5, 6]]


def test_view_names_and_access(named, build):
    view = named.view("b", None, "y")
    assert isinstance(view, BaseView) and view.getTypeString() == named.getTypeString()
    assert view.points.getNames() == ["b"] and view.features.getNames() == ["y", "z"]
    assert view["b", "z"] == 6 and values(view) == [[5, 6]]
    assert named.points["a"].features.getNames() == ["x", "y", "z"]
    assert values(named[:, "y":]) == [[2, 3], [5, 6]]
    assert build([[1, 2]]).view(None, None, 1).features._getNamesNoGeneration() is None


def test_higher_dimensional_points(build):
    obj = build(np.arange(24).reshape(2, 3, 4))
    assert obj._dims == [2, 3, 4] and obj.shape == (2, 12)
    point = obj.points[1]
    assert point._dims == [3, 4] and values(point) == np.arange(12, 24).reshape(3, 4).tolist()
    assert obj.copy("numpyarray").shape == (2, 3, 4)
    assert obj.view(0, 1)._dims == [1, 3, 4]
    with pytest.raises(InvalidArgumentValue):
        obj.features[0]
    with pytest.raises(ImproperObjectAction):
        obj.transpose()


def test_replaceRectangle_with_object_and_default_ends(named, build):
    named.replaceRectangle(build([[0, 0]]), "b", "y")
    assert values(named) == [[1, 2, 3], [4, 0, 0]]
    named.replaceRectangle(9, 0, "z")
    assert values(named) == [[1, 2, 9], [4, 0, 9]]


def test_isIdentical_compares_names_then_values(named, build):
    same = build([[1, 2, 3], [4, 5, 6]], ["a", "b"], ["x", "y", "z"])
    assert named.isIdentical(same) and not named.isIdentical([[1, 2, 3], [4, 5, 6]])
    assert not named.isIdentical(build([[1, 2, 3], [4, 5, 6]], ["a", "c"], ["x", "y", "z"]))
    assert not named.isIdentical(build([[1, 2, 3], [4, 5, 7]], ["a", "b"], ["x", "y", "z"]))


def test_queries(named):
    assert named.countUniqueElements(points="a") == {1: 1, 2: 1, 3: 1}
    assert named.containsZero() is False and (named - 1).containsZero() is True
    assert list(named.iterateElements("feature", only=lambda v: v > 3)) == [4, 5, 6]
    assert "x" in repr(named) and "b" in str(named)


@pytest.mark.parametrize("names, error", [
    (["a"], InvalidArgumentValue), (["a", "a"], InvalidArgumentValue),
    (["a", 3], InvalidArgumentType), ("ab", InvalidArgumentType),
    ({"a": 0, "b": 0}, InvalidArgumentValue), ({"a": 0, "b": 2}, InvalidArgumentValue),
])
def test_bad_names(names, error):
    with pytest.raises(error):
        kestro.data([[1], [2]], pointNames=names, returnType="Matrix")


def test_names_defaults_and_lookup():
    obj = kestro.data([[1], [2], [3]], pointNames={"c": 2, "a": 0, "b": 1}, returnType="List")
    assert obj.points.getNames() == ["a", "b", "c"]
    obj.points.setNames([None, "_DEFAULT_#0", "z"])
    assert obj.points._getNamesNoGeneration() == [None, None, "z"]
    assert obj.points.getNames() == ["_DEFAULT_#0", "_DEFAULT_#1", "z"]
    assert [obj.points.getIndex(k) for k in ("_DEFAULT_#1", "z", -3)] == [1, 2, 0]
    assert obj.points.getName(-1) == "z"
    assert isinstance(obj, Base) and len(obj) == 3 and len(obj.features) == 1


@pytest.mark.parametrize("to", ["List", "Matrix", "Sparse", "DataFrame"])
@pytest.mark.parametrize("source", [[[1, 2, 3], [4, 5, 6]], np.empty((0, 3)), np.empty((2, 0))])
def test_copy_between_storages(build, to, source):
    obj = build(source)
    copy = obj.copy(to)
    assert copy.getTypeString() == to and copy.shape == obj.shape
    assert values(copy) == values(obj)


@pytest.mark.parametrize("to, check", [
    ("pythonlist", lambda r: r == [[1, 2, 3], [4, 5, 6]]),
    ("numpymatrix", lambda r: isinstance(r, np.matrix) and r.tolist() == [[1, 2, 3], [4, 5, 6]]),
    ("scipycoo", lambda r: r.format == "coo" and r.toarray().tolist() == [[1, 2, 3], [4, 5, 6]]),
    ("scipycsc", lambda r: r.format == "csc" and r.shape == (2, 3)),
    ("pandasdataframe", lambda r: list(r.index) == ["a", "b"] and list(r.columns) == list("xyz")
     and r.to_numpy().tolist() == [[1, 2, 3], [4, 5, 6]]),
])
def test_copy_raw_formats(named, to, check):
    assert check(named.copy(to))


def test_copy_to_scipy_needs_scipy(named):
    from kestro._utility import scipy
    with scipy.forcedUnavailable():
        with pytest.raises(PackageException, match="scipy is not available"):
            named.copy("scipycoo")


def test_text_to_coo_names_the_feature(build, storage):
    if storage == "Sparse":
        return  # holds numbers only
    obj = build([[1.0, "text"]], featureNames=["number", "word"])
    try:
        obj.copy("scipycoo")
    except ValueError as error:  # scipy releases that take objects give no error
        assert str(error) == ("Must create scipy coo matrix from numeric data: "
                              "feature 'word' holds values of type object")


@pytest.mark.parametrize("name", ["x.csv", "x.mtx"])
def test_save_refuses_missing_folders_and_folder_paths(tmp_path, named, name):
    target = tmp_path / "missing" / name
    with pytest.raises(FileNotFoundError) as info:
        named.save(target)
    assert info.value.filename == str(target)
    hook = named._saveCSV_implementation if name.endswith("csv") else named._saveMTX_implementation
    with pytest.raises(InvalidArgumentValue, match=r"^outPath must name a file, not a folder; "
                                                   r"got PosixPath\('\.'\)$"):
        hook(Path(""), False, False)
    assert list(tmp_path.iterdir()) == []


def test_mtx_keeps_integers_beyond_floats_exact(tmp_path, build, storage):
    build([[1, 2**60 + 1]], featureNames=["num", "big"]).save(tmp_path / "b.mtx")
    lines = (tmp_path / "b.mtx").read_text().splitlines()
    assert lines[0] == "%%MatrixMarket matrix array integer general"
    assert lines[-1] == str(2**60 + 1)
    if storage != "Sparse":  # Sparse holds numbers only
        with pytest.raises(ValueError, match="^could not convert string to float: 'x'$"):
            build([[1.5, "x"]]).save(tmp_path / "t.mtx")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["b.mtx"]


def test_copies_to_pandas_keep_integers_beyond_floats(build, storage):
    import pandas as pd

    if storage == "Sparse":
        return  # holds numbers only
    obj = build(pd.DataFrame({"a": pd.array([2**60 + 1, None, 3], dtype="Int64")}))
    for frame in (obj.copy("pandasdataframe"), obj.copy("DataFrame")._data):
        assert frame.iloc[:, 0].tolist() == [2**60 + 1, None, 3]


def test_saved_files(tmp_path, named):
    named.save(tmp_path / "out.csv")
    assert (tmp_path / "out.csv").read_text().splitlines() == [
        "pointNames,x,y,z", "a,1,2,3", "b,4,5,6"]
    named.save(str(tmp_path / "out.mtx"))
    text = (tmp_path / "out.mtx").read_text()
    assert "%#a,b\n%#x,y,z\n" in text and "2 3" in text


@pytest.mark.parametrize("select", [lambda o: o, lambda o: o[:, "y":]])
def test_numpy_and_pandas_take_objects_as_arrays(named, select):
    import pandas as pd

    obj = select(named)
    expected = np.array(values(obj))
    before = values(named)
    assert np.asarray(obj).tolist() == expected.tolist()
    assert np.asarray(obj, dtype=float).dtype == np.float64
    for reduction in (np.sum, np.min, np.max, np.mean, np.median, np.std):
        assert reduction(obj) == reduction(expected)
        assert reduction(obj, axis=0).tolist() == reduction(expected, axis=0).tolist()
    frame = pd.DataFrame(obj)
    assert frame.shape == obj.shape and frame.to_numpy().tolist() == expected.tolist()
    array = obj.__array__()
    array[0, 0] = -1  # a copy: the object is untouched
    with pytest.raises(ValueError, match="without a copy"):
        obj.__array__(copy=False)
    with pytest.raises(TypeError, match="numpy's exp cannot take a data object; use the "
                                        "object's own operators"):
        np.exp(obj)
    assert values(np.multiply(2, obj)) == values(obj * 2)
    assert values(named) == before and obj.shape == expected.shape
