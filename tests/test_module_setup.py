"""Module initialisation, class set-up and method binding of the native module."""
import ctypes
import inspect
import subprocess
import sys
import sysconfig
import textwrap
import weakref
from pathlib import Path

import pytest

import kestro.core.data.base as base_module
import kestro.core.data.views as views_module

FRAME_METHODS = [
    "__init__", "_getPoints", "_getFeatures", "_transform_implementation",
    "_calculate_implementation", "_countUnique_implementation", "_transpose_implementation",
    "_getTypeString_implementation", "_isIdentical_implementation", "_saveCSV_implementation",
    "_saveMTX_implementation", "_copy_implementation", "_replaceRectangle_implementation",
    "_flatten_implementation", "_unflatten_implementation", "_merge_implementation",
    "_replaceFeatureWithBinaryFeatures_implementation", "_getitem_implementation",
    "_view_implementation", "_createNestedObject", "_checkInvariants_implementation",
    "_containsZero_implementation", "_binaryOperations_implementation",
    "_matmul__implementation", "_convertToNumericTypes_implementation",
    "_iterateElements_implementation", "_setDtypes", "_asNumpyArray",
]

def test_the_in_place_build_is_the_one_tested(module):
    # tools/devbuild's module when there is one for this interpreter; else an
    # editable install of this checkout (the Python half from src, the module
    # from site-packages, or from the build directory in the checkout that an
    # install with editable.rebuild rebuilds on import); else the installed
    # package, both halves from the same directory
    checkout = Path(__file__).resolve().parent.parent
    data = checkout / "src" / "kestro" / "core" / "data"
    name = "dataframe" + sysconfig.get_config_var("EXT_SUFFIX")
    loaded = Path(module.__file__).resolve()
    if (data / name).exists():
        assert loaded == (data / name).resolve(), f"{loaded} shadows the in-place build"
        expected = data
    elif _editableInstallOf(checkout):
        from importlib.metadata import distribution
        installed = Path(str(distribution("kestro").locate_file("kestro/core/data/" + name)))
        assert loaded == installed.resolve() or loaded.is_relative_to(checkout), (
            f"{loaded} is not this checkout's editable build")
        expected = data
    else:
        expected = loaded.parent
    assert Path(base_module.__file__).resolve().parent == expected, (
        f"the Python half comes from {base_module.__file__}, the module from {loaded}")


def _editableInstallOf(checkout):
    """True when the installed kestro is an editable install (pip install -e) of ``checkout``."""
    import json
    from importlib.metadata import PackageNotFoundError, distribution
    from urllib.parse import unquote, urlparse
    try:
        origin = json.loads(distribution("kestro").read_text("direct_url.json") or "{}")
    except PackageNotFoundError:
        return False
    url = urlparse(origin.get("url", ""))
    return (origin.get("dir_info", {}).get("editable", False) and url.scheme == "file"
            and Path(unquote(url.path)).resolve() == checkout)


SIGNATURES = {
    "__init__": "(self, data, reuseData=False, **kwds)",
    "_getPoints": "(self, names)",
    "_transform_implementation": "(self, toTransform, points, features)",
    "_calculate_implementation": "(self, function, points, features, preserveZeros)",
    "_replaceRectangle_implementation":
        "(self, replaceWith, pointStart, featureStart, pointEnd, featureEnd)",
    "_merge_implementation": "(self, other, point, feature, onFeature, matchingFtIdx)",
    "_view_implementation":
        "(self, pointStart, pointEnd, featureStart, featureEnd, dropDimension)",
    "_asNumpyArray": "(self, numericRequired=False)",
    "_getitem_implementation": "(self, x, y)",
}

IMPORTED_NAMES = [
    "itertools", "numbers", "np", "kestro", "InvalidArgumentType", "InvalidArgumentValue",
    "PackageException", "allowedNumpyDType", "inheritDocstringsFactory",
    "isAllowedSingleElement", "pandasDataFrameToList", "scipy", "pd", "Base", "BaseView",
    "DataFramePoints", "DataFramePointsView", "DataFrameFeatures", "DataFrameFeaturesView",
    "allDataIdentical", "createDataNoValidation", "denseCountUnique", "KestroElementIterator",
    "convertToNumpyOrder", "isValid2DObject", "getFeatureDtypes", "DataFrame",
    "DataFrameView", "__test__",
]


def test_module_surface(module):
    assert module.__doc__ == "\nClass extending Base, using a pandas DataFrame to store data.\n"
    assert module.__test__ == {}
    names = [n for n in vars(module) if not n.startswith("__") or n == "__test__"]
    assert names == IMPORTED_NAMES
    assert module.np is sys.modules["numpy"]
    assert module.Base is base_module.Base
    assert module.BaseView is views_module.BaseView


def test_classes(module):
    DataFrame, DataFrameView = module.DataFrame, module.DataFrameView
    assert DataFrame.__bases__ == (module.Base,)
    assert DataFrameView.__bases__ == (module.BaseView, DataFrame)
    assert type(DataFrame) is type(module.Base)
    assert DataFrame.__module__ == DataFrameView.__module__ == "kestro.core.data.dataframe"
    assert DataFrame.__qualname__ == "DataFrame"
    assert DataFrame.__doc__.startswith("\n    Class providing implementations of data manip")
    assert DataFrameView.__doc__ == "\n    Read only access to a DataFrame object.\n    "
    own = [n for n in vars(DataFrame) if n in FRAME_METHODS]
    assert own == FRAME_METHODS
    assert [n for n in vars(DataFrameView) if not n.startswith("__")] == [
        "_getPoints", "_getFeatures"]
    import kestro.core.data as data
    assert data.DataFrame is DataFrame and data.DataFrameView is DataFrameView


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_signatures(DataFrame, make, name):
    assert str(inspect.signature(getattr(DataFrame, name))) == SIGNATURES[name]
    bound = getattr(make([[1]]), name)
    assert str(inspect.signature(bound)) == "(" + SIGNATURES[name][len("(self, "):].lstrip()
    # pydoc wraps long signatures over several lines from Python 3.13 on
    assert "".join((name + SIGNATURES[name]).split()) in "".join(
        _help_text(getattr(DataFrame, name)).split())


def _help_text(obj):
    import pydoc
    return pydoc.render_doc(obj, renderer=pydoc.plaintext)


def test_help_shows_signatures(DataFrame):
    assert "__init__(self, data, reuseData=False, **kwds)" in _help_text(DataFrame)
    assert "_asNumpyArray(self, numericRequired=False)" in _help_text(DataFrame._asNumpyArray)


def test_docstrings(DataFrame):
    assert DataFrame._asNumpyArray.__doc__.startswith(
        "\n        Convert the dataframe to a numpy array with appropriate dtype.")
    assert "Copy the current DataFrame object to one in a specified format." in (
        DataFrame._copy_implementation.__doc__)


BINDING_ERRORS = [
    # (method, args, kwargs, message)
    ("_copy_implementation", (), {},
     "_copy_implementation() takes exactly 2 positional arguments (1 given)"),
    ("_copy_implementation", ("a", "b"), {},
     "_copy_implementation() takes exactly 2 positional arguments (3 given)"),
    ("_getitem_implementation", (1,), {},
     "_getitem_implementation() takes exactly 3 positional arguments (2 given)"),
    ("_getitem_implementation", (), {"y": 1},
     "_getitem_implementation() takes exactly 3 positional arguments (1 given)"),
    ("_containsZero_implementation", (1,), {},
     "_containsZero_implementation() takes exactly 1 positional argument (2 given)"),
    ("_asNumpyArray", (True, 2), {},
     "_asNumpyArray() takes at most 2 positional arguments (3 given)"),
    ("_copy_implementation", ("List",), {"bogus": 1},
     "_copy_implementation() got an unexpected keyword argument 'bogus'"),
    ("_copy_implementation", ("List",), {"to": "List"},
     "_copy_implementation() got multiple values for keyword argument 'to'"),
    ("_asNumpyArray", (), {"numericrequired": True},
     "_asNumpyArray() got an unexpected keyword argument 'numericrequired'"),
]


@pytest.mark.parametrize("name, args, kwargs, message", BINDING_ERRORS)
def test_binding_errors(make, name, args, kwargs, message):
    obj = make([[1, 2]])
    with pytest.raises(TypeError) as info:
        getattr(obj, name)(*args, **kwargs)
    assert str(info.value) == message


def test_unbound_calls_count_self(DataFrame):
    with pytest.raises(TypeError, match=r"^_asNumpyArray\(\) takes at least 1 positional "
                                        r"argument \(0 given\)$"):
        DataFrame._asNumpyArray()
    with pytest.raises(TypeError, match=r"^__init__\(\) takes at least 2 positional "
                                        r"arguments \(1 given\)$"):
        DataFrame()
    with pytest.raises(TypeError, match=r"^__init__\(\) takes at most 3 positional "
                                        r"arguments \(4 given\)$"):
        DataFrame([[1]], False, 3)


@pytest.mark.parametrize("owner, name", [("DataFrame", "_asNumpyArray"),
                                         ("DataFrame", "__init__"),
                                         ("DataFrameView", "_getPoints")])
def test_methods_behave_like_python_functions(module, owner, name):
    cls = getattr(module, owner)
    method = getattr(cls, name)
    assert method is vars(cls)[name]
    assert method.__get__(None, cls) is method
    assert (method.__name__, method.__qualname__) == (name, owner + "." + name)
    assert method.__module__ == "kestro.core.data.dataframe"
    assert inspect.isroutine(method) and callable(method)
    assert repr(method) == "<native function %s.%s>" % (owner, name)
    ref = weakref.ref(method)
    assert ref() is method
    with pytest.raises(TypeError):
        type(method)()


def test_every_method_binds_like_a_function(module, make):
    DataFrame = module.DataFrame
    assert str(inspect.signature(DataFrame)) == "(data, reuseData=False, **kwds)"
    obj = make([[1, 2]])
    for name in FRAME_METHODS:
        method = vars(DataFrame)[name]
        assert getattr(DataFrame, name) is method
        assert method.__qualname__ == "DataFrame." + name
        bound = getattr(obj, name)
        assert inspect.ismethod(bound) and bound.__self__ is obj and bound.__func__ is method


@pytest.mark.parametrize("name", ["_getTypeString_implementation", "_getitem_implementation",
                                  "_view_implementation", "_checkInvariants_implementation"])
def test_missing_docstrings_inherited_from_base(module, name):
    assert getattr(module.Base, name).__doc__
    assert getattr(module.DataFrame, name).__doc__ == getattr(module.Base, name).__doc__


def test_saved_method_assigned_back_still_binds(module, make):
    obj = make([[1, 2]])
    saved = module.DataFrame._asNumpyArray
    try:
        module.DataFrame._asNumpyArray = lambda self, numericRequired=False: "patched"
        assert obj._asNumpyArray() == "patched"
    finally:
        module.DataFrame._asNumpyArray = saved
    assert obj._asNumpyArray().tolist() == [[1, 2]]
    assert obj._asNumpyArray(numericRequired=True).dtype == "int64"
    bound = obj._asNumpyArray
    assert bound.__self__ is obj and bound.__func__ is saved


def test_method_docstring_and_attributes_can_be_set(module):
    method = module.DataFrame._getPoints
    original = method.__doc__
    try:
        method.__doc__ = "replaced"
        assert method.__doc__ == "replaced"
        assert module.DataFrame([[1]])._getPoints.__doc__ == "replaced"
    finally:
        method.__doc__ = original
    method.marker = 1
    assert method.__dict__ == {"marker": 1}
    del method.marker


def test_arguments_by_keyword(DataFrame, make):
    obj = make([[1, 2]])
    assert DataFrame._getTypeString_implementation(self=obj) == "DataFrame"
    assert obj._getPoints(names=None).__class__.__name__ == "DataFramePoints"


def test_reimport_returns_initialised_module(module):
    saved = sys.modules.pop("kestro.core.data.dataframe")
    try:
        import importlib
        again = importlib.import_module("kestro.core.data.dataframe")
        assert again is module
        assert again.DataFrame is module.DataFrame
    finally:
        sys.modules["kestro.core.data.dataframe"] = saved


def test_second_initialisation_refused(module):
    api = ctypes.pythonapi
    api.PyModule_GetDef.restype = ctypes.c_void_p
    api.PyModule_GetDef.argtypes = [ctypes.py_object]
    api.PyModule_ExecDef.restype = ctypes.c_int
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    definition = api.PyModule_GetDef(module)
    other = type(sys)("kestro.core.data.dataframe")
    with pytest.raises(RuntimeError) as info:
        api.PyModule_ExecDef(other, definition)
    assert str(info.value) == ("Module 'dataframe' has already been imported. "
                               "Re-initialisation is not supported.")
    # executing on the initialised module again is a no-op
    assert api.PyModule_ExecDef(module, definition) == 0


def _interpretersModule():
    # the private module was renamed from _xxsubinterpreters in CPython 3.13
    import importlib
    for name in ("_interpreters", "_xxsubinterpreters"):
        try:
            return importlib.import_module(name)
        except ImportError:
            pass
    pytest.skip("this interpreter offers no subinterpreter module")


def test_subinterpreter_refused(module):
    interpreters = _interpretersModule()
    code = textwrap.dedent(f"""
        import importlib.util, sys
        spec = importlib.util.spec_from_file_location(
            "kestro.core.data.dataframe", {module.__file__!r})
        try:
            importlib.util.module_from_spec(spec)
        except ImportError as error:
            message = str(error)
        else:
            message = "loaded"
        with open({str(_result_path())!r}, "w") as out:
            out.write(message)
    """)
    interp = interpreters.create()
    try:
        interpreters.run_string(interp, code)
    finally:
        interpreters.destroy(interp)
    assert _result_path().read_text() == (
        "Interpreter change detected - this module can only be loaded into one "
        "interpreter per process.")


def _result_path():
    import pathlib, tempfile
    return pathlib.Path(tempfile.gettempdir()) / f"kestro-subinterp-{__import__('os').getpid()}"


def test_failed_import_aborts_initialisation():
    code = textwrap.dedent("""
        import kestro._utility as utility
        del utility.pandasDataFrameToList
        try:
            import kestro.core.data.dataframe
        except ImportError as error:
            print("ImportError:", error)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         check=True).stdout
    assert out.startswith("ImportError: cannot import name 'pandasDataFrameToList' from "
                          "'kestro._utility'")


IMPORT_STATEMENTS = [
    ("itertools", None, 0), ("numbers", None, 0), ("numpy", None, 0), ("kestro", None, 0),
    ("kestro.exceptions", ("InvalidArgumentType", "InvalidArgumentValue"), 0),
    ("kestro.exceptions", ("PackageException",), 0),
    ("kestro._utility", ("allowedNumpyDType",), 0),
    ("kestro._utility", ("inheritDocstringsFactory",), 0),
    ("kestro._utility", ("isAllowedSingleElement",), 0),
    ("kestro._utility", ("pandasDataFrameToList",), 0),
    ("kestro._utility", ("scipy", "pd"), 0),
    ("base", ("Base",), 1), ("views", ("BaseView",), 1),
    ("dataframeAxis", ("DataFramePoints", "DataFramePointsView"), 1),
    ("dataframeAxis", ("DataFrameFeatures", "DataFrameFeaturesView"), 1),
    ("_dataHelpers", ("allDataIdentical",), 1), ("_dataHelpers", ("createDataNoValidation",), 1),
    ("_dataHelpers", ("denseCountUnique",), 1), ("_dataHelpers", ("KestroElementIterator",), 1),
    ("_dataHelpers", ("convertToNumpyOrder", "isValid2DObject"), 1),
    ("_dataHelpers", ("getFeatureDtypes",), 1),
]


def test_imports_go_through_builtin_import_in_order():
    code = textwrap.dedent("""
        import builtins
        original = builtins.__import__
        seen = []
        def recording(name, globals=None, locals=None, fromlist=(), level=0):
            if globals is not None and globals.get("__name__") == "kestro.core.data.dataframe":
                assert locals is globals
                seen.append((name, fromlist, level))
            return original(name, globals, locals, fromlist, level)
        builtins.__import__ = recording
        import kestro.core.data.dataframe
        builtins.__import__ = original
        print(repr(seen))
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         check=True).stdout
    assert eval(out) == IMPORT_STATEMENTS


def test_version_is_the_project_version():
    import tomllib
    import kestro
    with open(Path(__file__).resolve().parent.parent / "pyproject.toml", "rb") as file:
        assert kestro.__version__ == tomllib.load(file)["project"]["version"]


@pytest.mark.parametrize("example", ["tour.py", "typed_usage.py"])
def test_examples_run(example):
    path = Path(__file__).resolve().parent.parent / "examples" / example
    run = subprocess.run([sys.executable, "-W", "error", str(path)], capture_output=True,
                         text=True)
    assert run.returncode == 0, run.stderr
    assert "Traceback" not in run.stdout + run.stderr


def test_stubs_ship_beside_the_modules_and_match_the_hooks(module):
    import ast
    import kestro
    package = Path(kestro.__file__).resolve().parent
    assert (package / "py.typed").is_file()
    stub = ast.parse((Path(base_module.__file__).parent / "dataframe.pyi").read_text())
    declared = {node.name: [a.arg for a in node.args.args] + (
                    ["**" + node.args.kwarg.arg] if node.args.kwarg else [])
                for cls in stub.body if isinstance(cls, ast.ClassDef) and cls.name == "DataFrame"
                for node in cls.body if isinstance(node, ast.FunctionDef)}
    assert sorted(declared) == sorted(FRAME_METHODS)
    for name in FRAME_METHODS:
        parameters = inspect.signature(getattr(module.DataFrame, name)).parameters.values()
        assert declared[name] == [("**" if p.kind is p.VAR_KEYWORD else "") + p.name
                                  for p in parameters], name
