"""Read-only views and the nested object of one point of a higher-dimensional object."""
import numpy as np
import pandas as pd
import pytest



@pytest.fixture
def recordView(module, monkeypatch):
    """Replace DataFrameView by a subclass recording its keyword arguments."""
    calls = []

    class RecordingView(module.DataFrameView):
        def __init__(self, *args, **kwds):
            assert args == ()
            calls.append(dict(kwds))
            super().__init__(**kwds)

    monkeypatch.setattr(module, "DataFrameView", RecordingView)
    return calls


def labelled(values, index, columns):
    return pd.DataFrame(values, index=index, columns=columns)


def test_view_relabels_both_axes(make, module):
    obj = make(np.arange(30).reshape(6, 5))
    obj._data.index = pd.RangeIndex(10, 16)       # whatever the source says
    obj._data.columns = list("abcde")
    view = obj._view_implementation(2, 5, 1, 3, False)
    assert isinstance(view, module.DataFrameView)
    assert view._data.index.equals(pd.RangeIndex(3))
    assert isinstance(view._data.index, pd.RangeIndex)
    assert isinstance(view._data.columns, pd.RangeIndex)
    assert list(view._data.columns) == [0, 1]
    assert view._data.values.tolist() == [[11, 12], [16, 17], [21, 22]]
    assert view.shape == (3, 2)
    assert list(obj._data.columns) == list("abcde")   # the source keeps its labels


def test_view_keywords_for_two_dimensions(make, recordView):
    obj = make(np.arange(12).reshape(3, 4))
    obj._view_implementation(1, 3, 0, 2, False)
    (kwds,) = recordView
    assert list(kwds) == ["data", "source", "pointStart", "pointEnd", "featureStart",
                          "featureEnd"]
    assert kwds["source"] is obj
    assert (kwds["pointStart"], kwds["pointEnd"], kwds["featureStart"], kwds["featureEnd"]) \
        == (1, 3, 0, 2)


@pytest.mark.parametrize("bounds, shape", [
    ((2, 2, 0, 3), (0, 3)),
    ((0, 2, 1, 1), (2, 0)),
    ((1, 1, 2, 2), (0, 0)),
])
def test_empty_views(make, bounds, shape):
    obj = make(np.arange(9).reshape(3, 3).astype(float))
    view = obj._view_implementation(*bounds, False)
    assert view.shape == shape and view._data.shape == shape
    assert view._data.index.equals(pd.RangeIndex(shape[0]))
    assert view._data.columns.equals(pd.RangeIndex(shape[1]))
    view.checkInvariants(level=2)


def test_views_over_views(make):
    obj = make(np.arange(48).reshape(6, 8), pointNames=[f"p{i}" for i in range(6)])
    outer = obj.view(1, 5, 2, 8)
    inner = outer.view(1, 3, 1, 4)
    assert inner._data.values.tolist() == [[19, 20, 21], [27, 28, 29]]
    assert inner.points.getNames() == ["p2", "p3"]
    innermost = inner._view_implementation(1, 2, 2, 3, False)
    assert innermost._getitem_implementation(0, 0) == obj._getitem_implementation(3, 5)
    for v in (outer, inner, innermost):
        assert v._data.index.equals(pd.RangeIndex(v.shape[0]))
        v.checkInvariants(level=2)


def test_view_keeps_dtypes_and_objects(make):
    stored = "stored"
    source = pd.DataFrame({0: [1, 2], 1: np.array([stored, None], dtype=object), 2: [0.5, 1.5]})
    obj = make(source)
    view = obj.view(0, 2, 1, 3)
    assert list(view._data.dtypes) == [object, np.float64]
    assert view._getitem_implementation(0, 0) is obj._data.iat[0, 1]


@pytest.mark.parametrize("change", [
    lambda obj: obj.transform(lambda v: v * 10),
    lambda obj: obj.replaceRectangle(0, 0, 0, 1, 1),
    lambda obj: obj.transpose(),
], ids=["transform", "replaceRectangle", "transpose"])
@pytest.mark.parametrize("table", [
    pd.DataFrame({0: [1.0, 2.0], 1: [3.0, 4.0]}),
    pd.DataFrame({0: [1, 2], 1: [3.0, 4.0]}),
], ids=["one type", "two types"])
def test_view_shows_the_source_as_it_was(make, table, change):
    obj = make(table)
    view = obj.view(0, 2, 0, 2)
    change(obj)
    assert view.copy("pythonlist") == table.values.tolist()


def test_views_are_read_only(make):
    from kestro.exceptions import ImproperObjectAction
    view = make([[1, 2], [3, 4]]).view()
    with pytest.raises(ImproperObjectAction):
        view.transform(lambda v: v)


# ---- objects of more than two dimensions -------------------------------------------------

def three_d(module):
    return module.DataFrame(np.arange(24).reshape(4, 6), shape=[4, 2, 3])


def shaped_view_keywords(recordView):
    (kwds,) = recordView
    assert list(kwds) == ["data", "source", "shape", "pointStart", "pointEnd",
                          "featureStart", "featureEnd"]
    return kwds


def test_drop_dimension_view(module, recordView):
    obj = three_d(module)
    view = obj._view_implementation(2, 3, 0, 6, True)
    kwds = shaped_view_keywords(recordView)
    assert kwds["shape"] == [2, 3]
    assert (kwds["pointStart"], kwds["pointEnd"], kwds["featureStart"], kwds["featureEnd"]) \
        == (0, 2, 0, 3)
    source = kwds["source"]
    assert source is not obj and isinstance(source, module.DataFrame)
    assert source._dims == [2, 3]
    assert kwds["data"] is source._data
    assert view._dims == [2, 3] and view.shape == (2, 3)
    assert view._data.values.tolist() == [[12, 13, 14], [15, 16, 17]]
    assert view._data.index.equals(pd.RangeIndex(2))
    assert view._data.columns.equals(pd.RangeIndex(3))


def test_view_keeps_inner_dimensions(module, recordView):
    obj = three_d(module)
    view = obj._view_implementation(1, 3, 0, 6, False)
    kwds = shaped_view_keywords(recordView)
    assert kwds["shape"] == [2, 2, 3]
    assert obj._dims == [4, 2, 3]                   # the source's list is not changed
    assert kwds["source"] is obj
    assert view._dims == [2, 2, 3] and view.shape == (2, 6)


def test_points_of_a_four_dimensional_object(module):
    obj = module.DataFrame(np.arange(2 * 2 * 2 * 3).reshape(2, 12), shape=[2, 2, 2, 3])
    point = obj.points[1]
    assert point._dims == [2, 2, 3] and point.shape == (2, 6)
    assert point._data.values.tolist() == [list(range(12, 18)), list(range(18, 24))]
    inner = point.points[0]
    assert inner._dims == [2, 3]
    assert inner._data.values.tolist() == [[12, 13, 14], [15, 16, 17]]


@pytest.mark.parametrize("index, first", [(1, 12), (-1, 12), (0, 0)])
def test_create_nested_object(module, index, first):
    obj = module.DataFrame(np.arange(24).reshape(2, 12), shape=[2, 3, 4])
    nested = obj._createNestedObject(index)
    assert type(nested) is module.DataFrame
    assert nested._dims == [3, 4] and nested.shape == (3, 4)
    assert nested._data.values.tolist() == np.arange(first, first + 12).reshape(3, 4).tolist()
    assert nested.points._getNamesNoGeneration() is None
    nested.checkInvariants(level=2)


def test_nested_object_of_four_dimensions(module):
    obj = module.DataFrame(np.arange(24).reshape(2, 12), shape=[2, 2, 2, 3])
    nested = obj._createNestedObject(0)
    assert nested._dims == [2, 2, 3] and nested.shape == (2, 6)
    assert nested._data.values.tolist() == [[0, 1, 2, 3, 4, 5], [6, 7, 8, 9, 10, 11]]


def test_nested_object_of_mixed_types_is_object(module):
    source = pd.DataFrame({0: [1, 2], 1: ["a", "b"], 2: [1.5, 2.5], 3: [True, False]})
    obj = module.DataFrame(source, shape=[2, 2, 2])
    nested = obj._createNestedObject(1)
    assert nested._data.values.tolist() == [[2, "b"], [2.5, False]]
    assert list(nested._data.dtypes) == [object, object]


@pytest.mark.parametrize("index, error", [(2, IndexError), (-3, IndexError)])
def test_nested_object_bad_index(module, index, error):
    obj = module.DataFrame(np.arange(24).reshape(2, 12), shape=[2, 3, 4])
    with pytest.raises(error):
        obj._createNestedObject(index)


def test_nested_object_of_two_dimensions_raises(make):
    obj = make([[1, 2], [3, 4]])
    obj._dims = [2]
    with pytest.raises(IndexError):
        obj._createNestedObject(0)


# Printing ----------------------------------------------------------------------

def test_print_shows_integers_as_integers_and_reads_only_what_it_shows():
    import kestro

    class Counted(kestro.core.data.DataFrame):
        reads = 0

        def _getitem_implementation(self, x, y):
            Counted.reads += 1
            return super()._getitem_implementation(x, y)

        def _asNumpyArray(self, numericRequired=False):
            raise AssertionError("printing exported every value")

    obj = Counted(pd.DataFrame({"id": np.arange(1000), "x": np.arange(1000) / 2}))
    text = repr(obj)
    assert text.splitlines()[3].split() == ["1", "1", "0.5"]
    assert Counted.reads == 20 * 2
