// Module initialisation, class set-up and construction of the data object.
#include "dataframe.hpp"
#include "pandas_storage.hpp"
#include "method_row.hpp"
#include "method_type.hpp"

#include <array>
#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace kestro::native {

namespace {

// The one initialised module of this process (borrowed: cleared when the
// module object is freed, or when its initialisation fails).  Methods keep
// the module that made them alive through their `__self__` and run only
// while it is this one, so the pointer is valid whenever a method runs.
PyObject* g_module = nullptr;

// The module a method call is running for, on this thread: set by the
// method entry from the module the method was made with, so that the
// module's state is reached from the call itself.  Nested calls (a hook that
// calls Python code that calls a hook) restore the outer one.
thread_local PyObject* t_activeModule = nullptr;

class ActiveModule {
public:
    explicit ActiveModule(PyObject* module) : previous_(t_activeModule) {
        t_activeModule = module;
    }
    ~ActiveModule() { t_activeModule = previous_; }
    ActiveModule(const ActiveModule&) = delete;
    ActiveModule& operator=(const ActiveModule&) = delete;

private:
    PyObject* previous_;
};

constexpr std::size_t kNameCount = static_cast<std::size_t>(Name::count_);
constexpr std::size_t kAttrCount = static_cast<std::size_t>(Attr::count_);

constexpr const char* kNameTexts[kNameCount] = {
#define KESTRO_NAME_TEXT(name) #name,
    KESTRO_MODULE_NAMES(KESTRO_NAME_TEXT)
#undef KESTRO_NAME_TEXT
};
constexpr const char* kAttrTexts[kAttrCount] = {
#define KESTRO_ATTR_TEXT(key, text) text,
    KESTRO_ATTR_NAMES(KESTRO_ATTR_TEXT)
#undef KESTRO_ATTR_TEXT
};

// Per-module state: the interned keys of the names the hooks look up and of
// the attributes they read most.  Owned references, released with the
// module.
struct ModuleState {
    PyObject* names[kNameCount];
    PyObject* attrs[kAttrCount];
};

ModuleState& stateOf(PyObject* module) {
    return *static_cast<ModuleState*>(PyModule_GetState(module));
}

// Fills the state of a new module; false with an exception set on failure.
bool initialiseState(PyObject* module) {
    ModuleState& state = stateOf(module);
    if (state.names[0]) return true;
    for (std::size_t i = 0; i < kNameCount; ++i) {
        state.names[i] = PyUnicode_InternFromString(kNameTexts[i]);
        if (!state.names[i]) return false;
    }
    for (std::size_t i = 0; i < kAttrCount; ++i) {
        state.attrs[i] = PyUnicode_InternFromString(kAttrTexts[i]);
        if (!state.attrs[i]) return false;
    }
    return true;
}

int clearState(PyObject* module) {
    ModuleState* state = static_cast<ModuleState*>(PyModule_GetState(module));
    if (!state) return 0;
    for (PyObject*& name : state->names) Py_CLEAR(name);
    for (PyObject*& attr : state->attrs) Py_CLEAR(attr);
    return 0;
}

// The module whose state and namespace a hook uses: the one its method was
// made with, else (during initialisation) the module being initialised.
PyObject* activeModule() {
    PyObject* module = t_activeModule ? t_activeModule : g_module;
    if (!module) throw std::runtime_error("kestro.core.data.dataframe is not initialised");
    return module;
}
// The first interpreter to load the module; atomic because others, each
// with a GIL of its own, may ask at the same time.
std::atomic<int64_t> g_mainInterpreterId{-1};

constexpr const char* kModuleDoc = "\nClass extending Base, using a pandas DataFrame to store data.\n";

constexpr const char* kDataFrameDoc =
    "\n    Class providing implementations of data manipulation operations on\n"
    "    data stored in a pandas DataFrame.\n\n"
    "    Parameters\n"
    "    ----------\n"
    "    data : object\n"
    "        pandas DataFrame or two-dimensional numpy array.\n"
    "    reuseData : bool\n"
    "        Only used when data is a pandas DataFrame.\n"
    "    kwds\n"
    "        Included due to best practices so args may automatically be\n"
    "        passed further up into the hierarchy if needed.\n"
    "    ";

constexpr const char* kDataFrameViewDoc = "\n    Read only access to a DataFrame object.\n    ";

// The methods of `DataFrame`, in definition order.
const MethodRow* const kDataFrameMethods[] = {
    &kInitRow, &kGetPointsRow, &kGetFeaturesRow, &kTransformRow, &kCalculateRow,
    &kCountUniqueRow, &kTransposeRow, &kGetTypeStringRow, &kIsIdenticalRow, &kSaveCSVRow,
    &kSaveMTXRow, &kCopyRow, &kReplaceRectangleRow, &kFlattenRow, &kUnflattenRow, &kMergeRow,
    &kReplaceFeatureWithBinaryFeaturesRow, &kGetitemRow, &kViewRow, &kCreateNestedObjectRow,
    &kCheckInvariantsRow, &kContainsZeroRow, &kBinaryOperationsRow, &kMatmulRow,
    &kConvertToNumericTypesRow, &kIterateElementsRow, &kSetDtypesRow, &kAsNumpyArrayRow,
};

// The methods `DataFrameView` defines itself.
const MethodRow* const kDataFrameViewMethods[] = {&kViewGetPointsRow, &kViewGetFeaturesRow};

// A class can outlive an initialisation of its module that failed after the
// class was made (the host may keep a reference to every subclass of Base).
// Its methods still hold that module, but its namespace may be half filled
// and it is not the module later imports give: such calls are refused.
PyObject* refuseOrphanedCall(const MethodRow& method) {
    PyErr_Format(PyExc_RuntimeError,
                 "%s() belongs to a class from a failed import of kestro.core.data.dataframe; "
                 "import the module again and use its classes",
                 method.sig.name);
    return nullptr;
}

template <const MethodRow* const* Table, std::size_t I>
PyObject* methodEntry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    const MethodRow& method = *Table[I];
    if (module != g_module) return refuseOrphanedCall(method);
    Call call;
    if (!bindArguments(method.sig, args, nargs, kwnames, call)) return nullptr;
    ActiveModule active(module);
    return translateExceptions([&] { return method.invoke(call); });
}

// "name(self, a, b=False, **kwds)\n--\n\n" followed by the docstring: the
// form from which `inspect.signature` and `help()` read the signature.
std::string documentation(const MethodRow& method) {
    const Signature& sig = method.sig;
    std::string text = std::string(sig.name) + "(";
    for (std::size_t i = 0; i < sig.count; ++i) {
        if (i) text += ", ";
        text += sig.params[i];
        if (i >= sig.required) text += std::string("=") + sig.defaultText(i);
    }
    if (sig.varKeywords) text += ", **kwds";
    text += ")\n--\n\n";
    if (method.doc) text += method.doc;
    return text;
}

// PyMethodDef records must outlive every function object made from them.
template <const MethodRow* const* Table, std::size_t... I>
std::vector<PyMethodDef>& methodDefs(std::index_sequence<I...>) {
    static std::vector<std::string> docs{documentation(*Table[I])...};
    static std::vector<PyMethodDef> defs{
        PyMethodDef{Table[I]->sig.name,
                    reinterpret_cast<PyCFunction>(
                        reinterpret_cast<void (*)()>(&methodEntry<Table, I>)),
                    METH_FASTCALL | METH_KEYWORDS, docs[I].c_str()}...};
    return defs;
}

// Registered with `atexit`: from the interpreter's exit on, releasing a
// reference checks whether the thread may still do it (see mayTouchPython).
PyObject* noteExitStarted(PyObject* /*module*/, PyObject* /*unused*/) {
    markExitStarted();
    Py_RETURN_NONE;
}

PyMethodDef kExitNotice = {"_note_exit_started", noteExitStarted, METH_NOARGS, nullptr};

void registerExitNotice(py::module_& module) {
    py::object notice = steal(PyCFunction_NewEx(&kExitNotice, module.ptr(), nullptr));
    py::module_::import("atexit").attr("register")(notice);
}

// The import statements of the module, made the way the interpreter makes
// them: through the builtin `__import__` (a replaced one included) with the
// module's namespace as globals and locals, then one attribute look-up per
// imported name.

// `__import__(name, globals, globals, fromList, level)`.
py::object callImport(py::module_& module, const char* name, py::handle fromList, int level) {
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    PyObject* importFunction = builtins ? PyDict_GetItemString(builtins, "__import__") : nullptr;
    if (!importFunction) {
        PyErr_SetString(PyExc_ImportError, "__import__ not found");
        throw py::error_already_set();
    }
    py::object function = py::reinterpret_borrow<py::object>(importFunction);
    py::object namespace_ = module.attr("__dict__");
    return function(py::str(name), namespace_, namespace_, fromList, py::int_(level));
}

// One name of `from <source> import <name>`: the attribute, or the submodule
// already in `sys.modules`, or the interpreter's ImportError.
py::object importFrom(py::handle source, const char* name) {
    PyObject* value = PyObject_GetAttrString(source.ptr(), name);
    if (value) return py::reinterpret_steal<py::object>(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();

    py::object packageName = steal(PyObject_GetAttrString(source.ptr(), "__name__"));
    if (PyUnicode_Check(packageName.ptr())) {
        py::object fullName = steal(PyUnicode_FromFormat("%U.%s", packageName.ptr(), name));
        PyObject* submodule = PyImport_GetModule(fullName.ptr());
        if (submodule) return py::reinterpret_steal<py::object>(submodule);
        if (PyErr_Occurred()) throw py::error_already_set();
    }
    py::object path = py::reinterpret_steal<py::object>(PyModule_GetFilenameObject(source.ptr()));
    PyErr_Clear();
    py::str nameText(name);
    py::object message;
    if (!path || !PyUnicode_Check(path.ptr())) {
        path = py::none();
        message = steal(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)",
                                             nameText.ptr(), packageName.ptr()));
    } else {
        py::object spec = py::getattr(source, "__spec__", py::none());
        const bool initializing = truthy(py::getattr(spec, "_initializing", py::bool_(false)));
        message = steal(PyUnicode_FromFormat(
            initializing ? "cannot import name %R from partially initialized module %R "
                           "(most likely due to a circular import) (%S)"
                         : "cannot import name %R from %R (%S)",
            nameText.ptr(), packageName.ptr(), path.ptr()));
    }
    PyErr_SetImportError(message.ptr(), packageName.ptr(), path.ptr());
    throw py::error_already_set();
}

// `import <name>` (bound as `alias`).
void importModule(py::module_& module, const char* name, const char* alias) {
    module.attr(alias) = callImport(module, name, py::none(), 0);
}

// `from <source> import <names>` (relative for level 1).
void importNames(py::module_& module, const char* from, std::initializer_list<const char*> names,
                 int level = 0) {
    py::tuple fromList(names.size());
    std::size_t i = 0;
    for (const char* name : names) fromList[i++] = py::str(name);
    py::object source = callImport(module, from, fromList, level);
    for (const char* name : names) module.attr(name) = importFrom(source, name);
}

// The metaclass a class statement with these bases would use.
py::object metaclassOf(const py::tuple& bases) {
    py::handle winner = reinterpret_cast<PyObject*>(Py_TYPE(bases[0].ptr()));
    for (py::handle base : bases) {
        py::handle candidate = reinterpret_cast<PyObject*>(Py_TYPE(base.ptr()));
        auto* w = reinterpret_cast<PyTypeObject*>(winner.ptr());
        auto* c = reinterpret_cast<PyTypeObject*>(candidate.ptr());
        if (PyType_IsSubtype(w, c)) continue;
        if (PyType_IsSubtype(c, w)) {
            winner = candidate;
            continue;
        }
        throw py::type_error(
            "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
            "subclass of the metaclasses of all its bases");
    }
    return py::reinterpret_borrow<py::object>(winner);
}

template <const MethodRow* const* Table, std::size_t N>
py::object createClass(py::module_& module, py::handle methodType, const char* name,
                       py::tuple bases, const char* doc) {
    py::object metaclass = metaclassOf(bases);
    py::object prepare = py::getattr(metaclass, "__prepare__", py::none());
    py::object namespace_ = prepare.is_none() ? py::dict() : prepare(name, bases);
    namespace_["__module__"] = module.attr("__name__");
    namespace_["__qualname__"] = name;
    namespace_["__doc__"] = doc;
    py::object moduleName = module.attr("__name__");
    for (PyMethodDef& def : methodDefs<Table>(std::make_index_sequence<N>{})) {
        py::object function = steal(PyCFunction_NewEx(&def, module.ptr(), moduleName.ptr()));
        const std::string qualname = std::string(name) + "." + def.ml_name;
        namespace_[def.ml_name] = newMethod(methodType, function, qualname.c_str());
    }
    return metaclass(name, bases, namespace_);
}

void populate(py::module_ module) {
    importModule(module, "itertools", "itertools");
    importModule(module, "numbers", "numbers");
    importModule(module, "numpy", "np");
    importModule(module, "kestro", "kestro");
    importNames(module, "kestro.exceptions", {"InvalidArgumentType", "InvalidArgumentValue"});
    importNames(module, "kestro.exceptions", {"PackageException"});
    importNames(module, "kestro._utility", {"allowedNumpyDType"});
    importNames(module, "kestro._utility", {"inheritDocstringsFactory"});
    importNames(module, "kestro._utility", {"isAllowedSingleElement"});
    importNames(module, "kestro._utility", {"pandasDataFrameToList"});
    importNames(module, "kestro._utility", {"scipy", "pd"});
    importNames(module, "base", {"Base"}, 1);
    importNames(module, "views", {"BaseView"}, 1);
    importNames(module, "dataframeAxis", {"DataFramePoints", "DataFramePointsView"}, 1);
    importNames(module, "dataframeAxis", {"DataFrameFeatures", "DataFrameFeaturesView"}, 1);
    importNames(module, "_dataHelpers", {"allDataIdentical"}, 1);
    importNames(module, "_dataHelpers", {"createDataNoValidation"}, 1);
    importNames(module, "_dataHelpers", {"denseCountUnique"}, 1);
    importNames(module, "_dataHelpers", {"KestroElementIterator"}, 1);
    importNames(module, "_dataHelpers", {"convertToNumpyOrder", "isValid2DObject"}, 1);
    importNames(module, "_dataHelpers", {"getFeatureDtypes"}, 1);

    py::object methodType = makeMethodType();
    constexpr std::size_t kFrameCount = std::size(kDataFrameMethods);
    py::object frameClass = createClass<kDataFrameMethods, kFrameCount>(
        module, methodType, "DataFrame", py::make_tuple(module.attr("Base")), kDataFrameDoc);
    py::object decorate = module.attr("inheritDocstringsFactory")(module.attr("Base"));
    module.attr("DataFrame") = decorate(frameClass);

    constexpr std::size_t kViewCount = std::size(kDataFrameViewMethods);
    module.attr("DataFrameView") = createClass<kDataFrameViewMethods, kViewCount>(
        module, methodType, "DataFrameView", py::make_tuple(module.attr("BaseView"), module.attr("DataFrame")),
        kDataFrameViewDoc);
    module.attr("__test__") = py::dict();
    registerExitNotice(module);
}

// Py_mod_create: one interpreter per process, one module object per process.
PyObject* moduleCreate(PyObject* spec, PyModuleDef* /*def*/) {
    const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    int64_t first = -1;
    if (!g_mainInterpreterId.compare_exchange_strong(first, current) && first != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (g_module) return Py_NewRef(g_module);
    return translateExceptions([&] {
        py::object name = py::reinterpret_borrow<py::object>(spec).attr("name");
        return steal(PyModule_NewObject(name.ptr()));
    });
}

// Py_mod_exec: runs once; executing again on the same module is a no-op.
int moduleExec(PyObject* module) {
    if (g_module) {
        // A repeated import gets the module back from moduleCreate, with a
        // new, empty state block: the keys are filled in again.
        if (g_module == module) return initialiseState(module) ? 0 : -1;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'dataframe' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    if (!initialiseState(module)) return -1;
    g_module = module;
    py::object done = py::reinterpret_steal<py::object>(translateExceptions([&] {
        populate(py::reinterpret_borrow<py::module_>(module));
        return py::none();
    }));
    if (!done) {
        g_module = nullptr;  // a later import may try again on a new module
        return -1;
    }
    return 0;
}

void moduleFree(void* module) {
    clearState(static_cast<PyObject*>(module));
    if (g_module == module) g_module = nullptr;
}

PyModuleDef_Slot kModuleSlots[] = {
    {Py_mod_create, reinterpret_cast<void*>(&moduleCreate)},
    {Py_mod_exec, reinterpret_cast<void*>(&moduleExec)},
#ifdef Py_mod_multiple_interpreters
    // moduleCreate itself refuses every interpreter but the first one, with
    // the module's own message; the interpreter's generic refusal (3.12 on)
    // would come first otherwise.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "dataframe",
    kModuleDoc,
    sizeof(ModuleState),
    nullptr,
    kModuleSlots,
    nullptr,
    clearState,
    moduleFree,
};

}  // namespace

// Shared helpers ------------------------------------------------------------

py::object global(Name name) {
    PyObject* module = activeModule();
    PyObject* key = stateOf(module).names[static_cast<std::size_t>(name)];
    PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(module), key);  // borrowed
    if (!value) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(value);
}

py::handle attrName(Attr attr) {
    return stateOf(activeModule()).attrs[static_cast<std::size_t>(attr)];
}

py::object dataFrameClass() { return global(Name::DataFrame); }

py::object rangeIndex(py::handle length) {
    return global(Name::pd).attr(attrName(Attr::RangeIndex))(length);
}

bool dtypeGreater(py::handle candidate, py::handle current) {
    const int result = PyObject_RichCompareBool(candidate.ptr(), current.ptr(), Py_GT);
    if (result < 0) throw py::error_already_set();
    return result != 0;
}

py::object newDataFrame(py::handle data, py::dict kwds) {
    return dataFrameClass()(data, **kwds);
}

// Construction --------------------------------------------------------------

py::object init(py::handle self, py::handle data, bool reuseData, py::dict kwds) {
    py::object pd = global(Name::pd);
    if (!truthy(pd.attr(attrName(Attr::kestroAccessible))())) {
        raise(global(Name::PackageException), "To use class DataFrame, pandas must be installed.");
    }
    py::object frameType = pd.attr(attrName(Attr::DataFrame));
    const bool isTable = isInstance(data, frameType);
    if (!isTable && !truthy(global(Name::isValid2DObject)(data))) {
        raise(global(Name::InvalidArgumentType),
              "the input data can only be a pandas DataFrame or a two-"
              "dimensional list or numpy array.");
    }
    py::object table;
    if (isTable) {
        table = reuseData ? py::reinterpret_borrow<py::object>(data)
                          : data.attr(attrName(Attr::copy))();
        applyEntryRule(table);
    } else {
        table = frameType(data, py::arg("copy") = true);
        applyEntryRule(table, data);
    }
    self.attr(attrName(Attr::data)) = table;
    py::handle shapeKey = attrName(Attr::shape);
    if (!kwds.contains(shapeKey) || kwds[shapeKey].is_none()) {
        kwds[shapeKey] = backingTable(self).attr(shapeKey);
    }
    builtinType(&PySuper_Type)(dataFrameClass(), self).attr(attrName(Attr::dunderInit))(**kwds);
    return py::none();
}

const MethodRow kInitRow = methodRow<init>("__init__", {"self", "data", optional("reuseData")},
                                           nullptr, /*collectsKeywords=*/true);

py::object getPoints(py::handle self, py::handle names) {
    return global(Name::DataFramePoints)(self, names);
}

const MethodRow kGetPointsRow = methodRow<getPoints>("_getPoints", {"self", "names"});

py::object getFeatures(py::handle self, py::handle names) {
    return global(Name::DataFrameFeatures)(self, names);
}

const MethodRow kGetFeaturesRow = methodRow<getFeatures>("_getFeatures", {"self", "names"});

py::object viewGetPoints(py::handle self, py::handle names) {
    return global(Name::DataFramePointsView)(self, names);
}

const MethodRow kViewGetPointsRow = methodRow<viewGetPoints>("_getPoints", {"self", "names"});

py::object viewGetFeatures(py::handle self, py::handle names) {
    return global(Name::DataFrameFeaturesView)(self, names);
}

const MethodRow kViewGetFeaturesRow =
    methodRow<viewGetFeatures>("_getFeatures", {"self", "names"});

py::object getTypeString(py::handle /*self*/) { return py::str("DataFrame"); }

const MethodRow kGetTypeStringRow =
    methodRow<getTypeString>("_getTypeString_implementation", {"self"});

// Views ---------------------------------------------------------------------

namespace {

// Labels `table`'s axis `axis` 0, 1, ..., length - 1 (a `rangeType`, that
// is pandas' RangeIndex), unless it already is (a slice from the start of a
// positional axis).
void renumber(py::handle table, py::handle axis, py::handle length, py::handle rangeType) {
    py::object labels = table.attr(axis);
    auto is = [](py::handle value, py::handle expected) {
        const int result = PyObject_RichCompareBool(value.ptr(), expected.ptr(), Py_EQ);
        if (result < 0) throw py::error_already_set();
        return result == 1;
    };
    if (py::type::handle_of(labels).is(rangeType) &&
        is(labels.attr(attrName(Attr::start)), py::int_(0)) &&
        is(labels.attr(attrName(Attr::step)), py::int_(1)) &&
        is(labels.attr(attrName(Attr::stop)), length)) {
        return;
    }
    table.attr(axis) = rangeType(length);
}

// Whether `start` to `end` is the whole of an axis of `length` positions.
bool wholeAxis(py::handle start, py::handle end, Py_ssize_t length) {
    return py::cast<Py_ssize_t>(start) == 0 && py::cast<Py_ssize_t>(end) == length;
}

// `table.iloc[pointStart:pointEnd, featureStart:featureEnd]`, with the
// whole of an axis left out of the indexing: pandas slices one axis several
// times faster than it takes a pair of slices (a view of one point is the
// common case, one per step of an iteration over the points).
py::object rectangleOf(py::handle table, py::handle pointStart, py::handle pointEnd,
                       py::handle featureStart, py::handle featureEnd) {
    py::tuple shape = table.attr(attrName(Attr::shape));
    const bool allPoints = wholeAxis(pointStart, pointEnd, py::cast<Py_ssize_t>(shape[0]));
    const bool allFeatures = wholeAxis(featureStart, featureEnd, py::cast<Py_ssize_t>(shape[1]));
    py::object iloc = table.attr(attrName(Attr::iloc));
    if (allFeatures) return iloc[slice(pointStart, pointEnd)];
    if (allPoints) return ilocColumns(table, slice(featureStart, featureEnd));
    return iloc[py::make_tuple(slice(pointStart, pointEnd), slice(featureStart, featureEnd))];
}

}  // namespace

py::object view(py::handle self, py::handle pointStart, py::handle pointEnd,
                py::handle featureStart, py::handle featureEnd, bool dropDimension) {
    py::dict kwds;
    py::object rectangle = rectangleOf(backingTable(self), pointStart, pointEnd, featureStart,
                                       featureEnd);
    // A view shows the values its source held when it was made, on every
    // pandas version: under copy-on-write the slice already is such a copy
    // (pandas copies whichever side is written first); otherwise it would
    // share the source's memory, so it is copied here.
    if (!copyOnWrite(global(Name::pd))) rectangle = rectangle.attr(attrName(Attr::copy))();
    kwds[attrName(Attr::dataKey)] = rectangle;
    kwds[attrName(Attr::source)] = self;
    py::object pRange = py::reinterpret_borrow<py::object>(pointEnd) - pointStart;
    py::object fRange = py::reinterpret_borrow<py::object>(featureEnd) - featureStart;
    py::object start[2] = {py::reinterpret_borrow<py::object>(pointStart),
                           py::reinterpret_borrow<py::object>(featureStart)};
    py::object end[2] = {py::reinterpret_borrow<py::object>(pointEnd),
                         py::reinterpret_borrow<py::object>(featureEnd)};

    py::object dims = self.attr(attrName(Attr::dims));
    if (py::len(dims) > 2) {
        py::object shape;
        if (dropDimension) {
            shape = dims[slice(py::int_(1), py::none())];
            py::object source = self.attr(attrName(Attr::createNestedObject))(pointStart);
            kwds[attrName(Attr::source)] = source;
            kwds[attrName(Attr::dataKey)] = source.attr(attrName(Attr::data));
            py::object sourceShape = source.attr(attrName(Attr::shape));
            start[0] = py::int_(0);
            end[0] = sourceShape[py::int_(0)];
            start[1] = py::int_(0);
            end[1] = sourceShape[py::int_(1)];
            pRange = sourceShape[py::int_(0)];
            fRange = sourceShape[py::int_(1)];
        } else {
            shape = dims.attr(attrName(Attr::copy))();
            shape[py::int_(0)] = pRange;
        }
        kwds[attrName(Attr::shape)] = shape;
    }
    kwds[attrName(Attr::pointStart)] = start[0];
    kwds[attrName(Attr::pointEnd)] = end[0];
    kwds[attrName(Attr::featureStart)] = start[1];
    kwds[attrName(Attr::featureEnd)] = end[1];

    py::object result = global(Name::DataFrameView)(**kwds);
    py::object resultTable = backingTable(result);
    py::object rangeType = global(Name::pd).attr(attrName(Attr::RangeIndex));
    renumber(resultTable, attrName(Attr::index), pRange, rangeType);
    renumber(resultTable, attrName(Attr::columns), fRange, rangeType);
    return result;
}

const MethodRow kViewRow = methodRow<view>(
    "_view_implementation",
    {"self", "pointStart", "pointEnd", "featureStart", "featureEnd", "dropDimension"});

// Invariants ----------------------------------------------------------------

namespace {

// `assert condition`: a bare AssertionError, as the statement raises it.
void affirm(bool condition) {
    if (condition) return;
    PyErr_SetNone(PyExc_AssertionError);
    throw py::error_already_set();
}

// Python's `a op b` followed by a truth test (no identity shortcut).
bool compare(py::handle a, py::handle b, int op) {
    return truthy(steal(PyObject_RichCompare(a.ptr(), b.ptr(), op)));
}

// Assertions are compiled out of Python code run with -O; the interpreter's
// optimisation level says whether this check runs at all.
bool assertionsEnabled() {
    PyObject* flags = PySys_GetObject("flags");  // borrowed, no error set
    if (!flags) throw py::value_error("lost sys.flags");
    py::object optimize = py::reinterpret_borrow<py::object>(flags).attr("optimize");
    return !truthy(optimize);
}

// Builtin `all(values)`, with numpy's reduction for boolean arrays.
bool allTrue(py::handle values) {
    py::object np = global(Name::np);
    if (isInstance(values, np.attr("ndarray")) &&
        compare(values.attr(attrName(Attr::dtype)), np.attr("bool_"), Py_EQ)) {
        return truthy(values.attr(attrName(Attr::all))());
    }
    for (py::handle value : values) {
        if (!truthy(value)) return false;
    }
    return true;
}

// Labels must be the positions 0..n-1.
bool labelsArePositions(py::handle labels, py::handle length) {
    py::object expected = rangeIndex(length);
    return allTrue(steal(PyObject_RichCompare(labels.ptr(), expected.ptr(), Py_EQ)));
}

// The values of one column exactly as the label accessor `at` hands them
// out, read by position (labels equal positions once the index checks
// passed).  Object columns are read straight from numpy's buffer, holding a
// reference of our own to each element before any Python code runs; other
// columns go through their array's item access, which boxes the numpy scalar
// (or the pandas Timestamp/Timedelta for datetime-like columns).
class ColumnValues {
public:
    // Pointers to the objects of an object column: element `row` lives at
    // `base + row * stride`.  `owner` keeps the exporting buffer alive.
    ColumnValues(std::shared_ptr<py::buffer_info> owner, const char* base, Py_ssize_t stride,
                 Py_ssize_t length)
        : owner_(std::move(owner)), base_(base), stride_(stride), length_(length) {}
    // Any other column: the array whose item `row` is the value.  With
    // `boxedInChunks` the values are taken a few thousand rows at a time as
    // the list that iterating a slice of the array gives.
    explicit ColumnValues(py::object items, bool boxedInChunks = false)
        : items_(std::move(items)), boxedInChunks_(boxedInChunks) {}

    py::object operator[](Py_ssize_t row) {
        if (boxedInChunks_) return boxed(row);
        if (!owner_) {
            return steal(PySequence_GetItem(items_.ptr(), row));
        }
        if (row < 0 || row >= length_) throw py::index_error("row out of range");
        PyObject* value;
        std::memcpy(&value, base_ + row * stride_, sizeof value);
        return py::reinterpret_borrow<py::object>(value ? value : Py_None);
    }

private:
    static constexpr Py_ssize_t kChunkRows = 4096;

    py::object boxed(Py_ssize_t row) {
        if (row < chunkStart_ || row >= chunkStart_ + static_cast<Py_ssize_t>(chunk_.size())) {
            chunkStart_ = row - row % kChunkRows;
            chunk_ = py::list(items_[slice(py::int_(chunkStart_),
                                           py::int_(chunkStart_ + kChunkRows))]);
            if (row >= chunkStart_ + static_cast<Py_ssize_t>(chunk_.size())) {
                throw py::index_error("row out of range");
            }
        }
        return chunk_[static_cast<std::size_t>(row - chunkStart_)];
    }

    std::shared_ptr<py::buffer_info> owner_;
    const char* base_ = nullptr;
    Py_ssize_t stride_ = 0;
    Py_ssize_t length_ = 0;
    py::object items_;
    bool boxedInChunks_ = false;
    py::list chunk_;
    Py_ssize_t chunkStart_ = 0;
};

// A buffer of Python object pointers with `ndim` dimensions, or nullptr
// when `array` is not one.
std::shared_ptr<py::buffer_info> objectBuffer(py::handle array, py::ssize_t ndim) {
    if (!PyObject_CheckBuffer(array.ptr())) return nullptr;
    // Released like a reference (see releaseReference): ending the export
    // touches the array.
    std::shared_ptr<py::buffer_info> info(
        new py::buffer_info(py::reinterpret_borrow<py::buffer>(array).request()),
        [](py::buffer_info* done) {
            if (mayTouchPython()) delete done;
        });
    if (info->ndim != ndim || info->format != "O" ||
        info->itemsize != static_cast<py::ssize_t>(sizeof(PyObject*))) {
        return nullptr;
    }
    return info;
}

// The columns of `table` read type by type: the features of one numpy type
// (numbers, booleans, objects) are taken as one array, one pandas call per
// type instead of one per feature, and each column is a column of that
// array.  False, with `result` untouched, when a feature has a type that
// is read otherwise (dates and durations, pandas' own types).
bool groupedColumnValues(py::handle table, py::ssize_t columns,
                         std::vector<ColumnValues>& result) {
    const TypeList types = TypeList::of(table);
    if (static_cast<py::ssize_t>(types.at.size()) != columns) return false;
    py::object numpyDtype = global(Name::np).attr("dtype");
    for (const py::object& dtype : types.distinct) {
        if (!isInstance(dtype, numpyDtype)) return false;
        const auto kind = py::cast<std::string>(dtype.attr(attrName(Attr::kind)));
        if (kind.size() != 1 || std::string("biufcO").find(kind[0]) == std::string::npos) {
            return false;
        }
    }
    std::vector<py::object> arrays;           // one per distinct type
    std::vector<py::ssize_t> columnInArray(static_cast<std::size_t>(columns));
    std::vector<std::shared_ptr<py::buffer_info>> buffers;
    for (std::size_t k = 0; k < types.distinct.size(); ++k) {
        py::list positions;
        for (py::ssize_t j = 0; j < columns; ++j) {
            if (types.at[static_cast<std::size_t>(j)] != k) continue;
            columnInArray[static_cast<std::size_t>(j)] = static_cast<py::ssize_t>(positions.size());
            positions.append(j);
        }
        py::object block = types.distinct.size() == 1 ? py::reinterpret_borrow<py::object>(table)
                                                      : ilocColumns(table, positions);
        arrays.push_back(block.attr(attrName(Attr::to_numpy))());
        const bool isObject = equals(types.distinct[k].attr(attrName(Attr::kind)), "O");
        buffers.push_back(isObject ? objectBuffer(arrays.back(), 2) : nullptr);
        if (isObject && !buffers.back()) return false;
    }
    result.reserve(static_cast<std::size_t>(columns));
    for (py::ssize_t j = 0; j < columns; ++j) {
        const std::uint32_t k = types.at[static_cast<std::size_t>(j)];
        const py::ssize_t column = columnInArray[static_cast<std::size_t>(j)];
        if (const auto& info = buffers[k]) {
            result.emplace_back(info, static_cast<const char*>(info->ptr) + column * info->strides[1],
                                info->strides[0], info->shape[0]);
        } else {
            result.emplace_back(arrays[k][py::make_tuple(slice(py::none(), py::none()),
                                                         py::int_(column))]);
        }
    }
    return true;
}

std::vector<ColumnValues> columnValues(py::handle table, bool allObject, py::ssize_t columns) {
    std::vector<ColumnValues> result;
    result.reserve(static_cast<std::size_t>(columns));
    if (allObject) {
        // One object block (or a copy of all of them) holds the very objects.
        auto info = objectBuffer(table.attr(attrName(Attr::to_numpy))(), 2);
        if (info && info->shape[1] == columns) {
            const char* base = static_cast<const char*>(info->ptr);
            for (py::ssize_t j = 0; j < columns; ++j) {
                result.emplace_back(info, base + j * info->strides[1], info->strides[0],
                                    info->shape[0]);
            }
            return result;
        }
    }
    if (groupedColumnValues(table, columns, result)) return result;
    py::object np = global(Name::np);
    py::object numpyDtype = np.attr("dtype");
    py::object objectType = builtinType(&PyBaseObject_Type);
    for (py::handle item : table.attr(attrName(Attr::items))()) {
        py::object column = item[py::int_(1)];
        py::object dtype = column.attr(attrName(Attr::dtype));
        if (!isInstance(dtype, numpyDtype)) {
            result.emplace_back(column.attr("array"));
            continue;
        }
        std::string kind = py::str(dtype.attr(attrName(Attr::kind)));
        if (kind == "M" || kind == "m") {
            // Iterating the pandas array boxes its Timestamps / Timedeltas
            // in bulk, far faster than one `__getitem__` per element.
            result.emplace_back(column.attr("array"), true);
            continue;
        }
        py::object values = column.attr(attrName(Attr::to_numpy))();
        if (compare(dtype, objectType, Py_EQ)) {
            if (auto info = objectBuffer(values, 1)) {
                const char* base = static_cast<const char*>(info->ptr);
                const Py_ssize_t stride = info->strides[0];
                const Py_ssize_t length = info->shape[0];
                result.emplace_back(std::move(info), base, stride, length);
                continue;
            }
        }
        result.emplace_back(std::move(values));
    }
    return result;
}

}  // namespace

py::object checkInvariants(py::handle self, py::handle level) {
    if (!assertionsEnabled()) return py::none();

    py::object table = backingTable(self);
    py::object dfShape = table.attr(attrName(Attr::shape));
    py::object shape = self.attr(attrName(Attr::shape));
    py::object points = dfShape[py::int_(0)];
    py::object features = dfShape[py::int_(1)];
    affirm(compare(points, shape[py::int_(0)], Py_EQ));
    affirm(compare(features, shape[py::int_(1)], Py_EQ));

    affirm(labelsArePositions(table.attr(attrName(Attr::index)), shape[py::int_(0)]));
    affirm(labelsArePositions(table.attr(attrName(Attr::columns)), shape[py::int_(1)]));

    const std::vector<py::object> dtypes = PandasStorage().columnTypes(table);
    py::object allowed = global(Name::allowedNumpyDType);
    for (const py::object& dtype : dtypes) affirm(truthy(allowed(dtype)));

    if (!compare(level, py::int_(1), Py_GT)) return py::none();
    py::object objectType = builtinType(&PyBaseObject_Type);
    bool anyObject = false;
    bool allObject = true;
    for (const py::object& dtype : dtypes) {
        const bool isObject = compare(dtype, objectType, Py_EQ);
        anyObject = anyObject || isObject;
        allObject = allObject && isObject;
    }
    if (!anyObject) return py::none();

    // Every element, points outer and features inner, through the host's
    // element predicate (looked up once).
    const Py_ssize_t rows = py::cast<Py_ssize_t>(points);
    const Py_ssize_t cols = py::cast<Py_ssize_t>(features);
    std::vector<ColumnValues> columns = columnValues(table, allObject, cols);
    if (static_cast<Py_ssize_t>(columns.size()) != cols) {
        throw py::value_error("the backing table changed during the invariants check");
    }
    py::object predicate = global(Name::isAllowedSingleElement);
    for (Py_ssize_t pt = 0; pt < rows; ++pt) {
        for (Py_ssize_t ft = 0; ft < cols; ++ft) {
            py::object value = columns[static_cast<std::size_t>(ft)][pt];
            PyObject* args[] = {value.ptr()};
            affirm(truthy(steal(PyObject_Vectorcall(predicate.ptr(), args, 1, nullptr))));
        }
    }
    return py::none();
}

const MethodRow kCheckInvariantsRow =
    methodRow<checkInvariants>("_checkInvariants_implementation", {"self", "level"});

}  // namespace kestro::native

PyMODINIT_FUNC PyInit_dataframe() { return PyModuleDef_Init(&kestro::native::kModuleDef); }
