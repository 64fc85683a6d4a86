// The pandas-backed data object: classes `DataFrame` and `DataFrameView`.
//
// Both classes are ordinary Python classes created at module initialisation
// through the metaclass of the host's `Base`; their methods are the native
// functions declared here, one group per source file.  Every function takes
// the bound arguments of one call (`self` first) and returns the Python
// result; Python errors travel as `py::error_already_set`.
#pragma once

#include "method_row.hpp"

#include <cstdint>
#include <vector>

namespace kestro::native {

// The names the hooks look up in the module's namespace.  Each is looked up
// at call time, so that the module behaves like any Python module (a name
// rebound on the module is seen), through a key interned once in the module
// state.
#define KESTRO_MODULE_NAMES(X)                                                           \
    X(np) X(pd) X(scipy) X(kestro) X(numbers) X(Base) X(BaseView) X(DataFrame)          \
    X(DataFrameView) X(DataFramePoints) X(DataFramePointsView) X(DataFrameFeatures)     \
    X(DataFrameFeaturesView) X(InvalidArgumentType) X(InvalidArgumentValue)             \
    X(PackageException) X(isAllowedSingleElement) X(allowedNumpyDType)                   \
    X(pandasDataFrameToList) X(allDataIdentical) X(createDataNoValidation)               \
    X(denseCountUnique) X(KestroElementIterator) X(convertToNumpyOrder)                  \
    X(isValid2DObject) X(getFeatureDtypes) X(__name__)

enum class Name : std::size_t {
#define KESTRO_NAME_ENUM(name) name,
    KESTRO_MODULE_NAMES(KESTRO_NAME_ENUM)
#undef KESTRO_NAME_ENUM
    count_
};

// The object bound to `name` in the module's namespace, or NameError.
py::object global(Name name);

// The attribute names the hooks read on pandas', numpy's and the host's
// objects, interned once per module: a look-up by an interned name hits the
// interpreter's type cache, where a name made from a C string at each call
// (pybind11's `.attr("...")`) walks the class hierarchy every time.
// `X(key, "name")`.
// clang-format off
#define KESTRO_ATTR_NAMES(X)                                                                    \
    X(data, "_data") X(dtype, "dtype") X(dtypes, "dtypes") X(kind, "kind")                      \
    X(columns, "columns") X(index, "index") X(shape, "shape") X(iloc, "iloc") X(iat, "iat")     \
    X(to_numpy, "to_numpy") X(astype, "astype") X(copy, "copy") X(tolist, "tolist")             \
    X(take, "take") X(reshape, "reshape") X(isna, "isna") X(isetitem, "isetitem")               \
    X(any, "any") X(all, "all") X(min, "min") X(max, "max") X(view, "view")                     \
    X(values, "values") X(T, "T")                                                               \
    X(flags, "flags") X(writeable, "writeable") X(set_axis, "set_axis")                         \
    X(mgr_locs, "mgr_locs") X(items, "items") X(equals, "equals") X(eq, "__eq__")               \
    X(ge, "__ge__") X(transpose, "transpose") X(asNumpyArray, "_asNumpyArray")                  \
    X(setDtypes, "_setDtypes") X(dims, "_dims") X(features, "features") X(points, "points")     \
    X(getNames, "getNames") X(getName, "getName")                                               \
    X(getNamesNoGeneration, "_getNamesNoGeneration") X(mgr, "_mgr") X(blocks, "blocks")         \
    X(ixs, "_ixs") X(arrayOf, "_values") X(oneArg, "oneArg") X(tzinfo, "tzinfo")                \
    X(value, "value") X(RangeIndex, "RangeIndex") X(start, "start") X(step, "step")             \
    X(stop, "stop") X(dunderInit, "__init__") X(kestroAccessible, "kestroAccessible")           \
    X(DataFrame, "DataFrame") X(createNestedObject, "_createNestedObject") X(dataKey, "data")   \
    X(source, "source") X(pointStart, "pointStart") X(pointEnd, "pointEnd")                     \
    X(featureStart, "featureStart") X(featureEnd, "featureEnd")
// clang-format on

enum class Attr : std::size_t {
#define KESTRO_ATTR_ENUM(key, text) key,
    KESTRO_ATTR_NAMES(KESTRO_ATTR_ENUM)
#undef KESTRO_ATTR_ENUM
    count_
};
py::handle attrName(Attr attr);

// The name as an owned reference, for a name kept across calls into Python.
inline py::object heldName(Attr attr) {
    return py::reinterpret_borrow<py::object>(attrName(attr));
}

// The class objects created at initialisation.
py::object dataFrameClass();

// Helpers shared by several groups ----------------------------------------

// `self._data`, the backing pandas table.
inline py::object backingTable(py::handle self) {
    return steal(PyObject_GetAttr(self.ptr(), attrName(Attr::data).ptr()));
}

// `slice(start, stop)`.
inline py::object slice(py::handle start, py::handle stop) {
    return steal(PySlice_New(start.ptr(), stop.ptr(), nullptr));
}

// `table.iloc[:, columns]`: one column as a Series, or several as a table.
// Asked as `table.iloc(axis=1)[columns]`, which pandas answers the same way
// without first resolving a whole-axis slice of the points (up to three
// times faster).
inline py::object ilocColumns(py::handle table, py::handle columns) {
    return table.attr(attrName(Attr::iloc))(py::arg("axis") = 1)[columns];
}

// `np.dtype(name)`, for example `numpyType("object")`.
inline py::object numpyType(const char* name) {
    return global(Name::np).attr(attrName(Attr::dtype))(name);
}

// `pd.RangeIndex(n)`.
py::object rangeIndex(py::handle length);

// Python's `a > b` on numpy dtypes: the larger dtype under safe casting.
bool dtypeGreater(py::handle candidate, py::handle current);

// Whether each column of the single-typed 2-D array `block` survives a round
// trip through dtype `target` unchanged (missing values count as equal).
py::list representable(py::handle block, py::handle target);

// Constructs a module `DataFrame` from `data` with keyword arguments.
py::object newDataFrame(py::handle data, py::dict kwds = py::dict());

// The entry rule: every column of `table` is held in a numpy dtype and pandas'
// NA never stays inside; columns are converted in place (see
// dataframe_dtypes.cpp for the rule).  Text becomes object columns.
// `source`, when not None, is what `table` was just built from (an array or
// nested lists); text columns then hold its own objects, so that a missing
// value keeps the object it was (None stays None) as in every other object
// column.  Raises InvalidArgumentType for a type that has no numpy form.
void applyEntryRule(py::handle table, py::handle source = py::none());

// `pd.DataFrame(values)` held by the entry rule.
py::object newTable(py::handle values);

// The native methods, one row each (see method_row.hpp), defined next to
// their functions in the source of their group.

// Class set-up and construction (dataframe_core.cpp)
extern const MethodRow kInitRow, kGetPointsRow, kGetFeaturesRow, kViewGetPointsRow,
    kViewGetFeaturesRow, kGetTypeStringRow, kViewRow, kCheckInvariantsRow;
// Element types (dataframe_dtypes.cpp)
extern const MethodRow kSetDtypesRow, kConvertToNumericTypesRow, kAsNumpyArrayRow;
// Element-wise computation and queries (dataframe_elementwise.cpp)
extern const MethodRow kTransformRow, kCalculateRow, kCountUniqueRow, kContainsZeroRow,
    kIsIdenticalRow, kIterateElementsRow;
// Conversion and export (dataframe_convert.cpp)
extern const MethodRow kCopyRow, kCreateNestedObjectRow, kSaveCSVRow, kSaveMTXRow;
// Reshaping and element access (dataframe_reshape.cpp)
extern const MethodRow kTransposeRow, kReplaceRectangleRow, kFlattenRow, kUnflattenRow,
    kMergeRow, kReplaceFeatureWithBinaryFeaturesRow, kGetitemRow;
// Arithmetic (dataframe_arith.cpp)
extern const MethodRow kBinaryOperationsRow, kMatmulRow;

// Per-feature dtypes as indices into the few distinct dtypes they use.
struct TypeList {
    std::vector<py::object> distinct;
    std::vector<std::uint32_t> at;  // one entry per feature

    // The index of `dtype` (an equal dtype already listed counts as it).
    std::uint32_t intern(py::handle dtype);
    // The dtypes of a pandas table's columns.
    static TypeList of(py::handle table);
    // The same, given the distinct types `PandasStorage::featureTypes` read.
    static TypeList of(py::handle table, const py::list& blockTypes);
};

// A new backing table holding the two-dimensional array `values`, feature j
// of dtype `types.distinct[types.at[j]]`: the same table as
// `pd.DataFrame(values)` followed by `_setDtypes(...)`, built with one cast
// per distinct dtype so that wide tables need no per-column assignment.
py::object typedTable(py::handle values, const TypeList& types);

}  // namespace kestro::native
