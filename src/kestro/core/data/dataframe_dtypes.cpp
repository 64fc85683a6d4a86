// Per-feature element types and the dense array export.
#include "dataframe.hpp"
#include "pandas_storage.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace kestro::native {

namespace {

// The next item of `iterator`, or a null handle once it is exhausted.
py::object nextItem(py::handle iterator) {
    py::object item = py::reinterpret_steal<py::object>(PyIter_Next(iterator.ptr()));
    if (!item && PyErr_Occurred()) throw py::error_already_set();
    return item;
}

py::tuple tupleOf(const std::vector<py::object>& items) {
    py::tuple result(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) result[i] = items[i];
    return result;
}

// The entry rule ------------------------------------------------------------
//
// Every column that enters a data object is held in a numpy dtype, and
// pandas' missing-value marker NA never stays inside.  Each column is read
// by its pandas type:
//   numpy types                 kept (object columns: NA becomes None)
//   text (`string`, `str`)      object holding str, missing None
//   nullable/arrow integers     same-width numpy int; with gaps float64 with
//                               NaN when exact there, else Python ints + None
//   nullable/arrow floats       numpy float of the same width, missing NaN
//   nullable/arrow booleans     bool; with gaps objects True/False/None
//   arrow dates and times       datetime64/timedelta64 of the same unit
//   timezone-aware datetimes    object holding Timestamps, missing NaT
//   category, Sparse[T]         the values by the rule of their own type
//   anything else               refused

enum class Entry { keep, objects, text, integer, floating, boolean, temporal, tzAware,
                   category, sparse, refused };

bool isPandasType(py::handle dtype, const char* name) {
    py::object cls = py::getattr(global(Name::pd), name, py::none());
    return !cls.is_none() && isInstance(dtype, cls);
}

bool arrowIs(py::handle types, const char* test, py::handle arrowType) {
    py::object function = py::getattr(types, test, py::none());
    return !function.is_none() && truthy(function(arrowType));
}

Entry arrowEntry(py::handle dtype) {
    py::object types = py::module_::import("pyarrow.types");
    py::object arrowType = dtype.attr("pyarrow_dtype");
    if (arrowIs(types, "is_dictionary", arrowType)) arrowType = arrowType.attr("value_type");
    for (const char* text : {"is_string", "is_large_string", "is_string_view"}) {
        if (arrowIs(types, text, arrowType)) return Entry::text;
    }
    if (arrowIs(types, "is_dictionary", dtype.attr("pyarrow_dtype"))) return Entry::refused;
    if (arrowIs(types, "is_integer", arrowType)) return Entry::integer;
    if (arrowIs(types, "is_floating", arrowType)) return Entry::floating;
    if (arrowIs(types, "is_boolean", arrowType)) return Entry::boolean;
    if (arrowIs(types, "is_timestamp", arrowType)) {
        return arrowType.attr("tz").is_none() ? Entry::temporal : Entry::tzAware;
    }
    if (arrowIs(types, "is_duration", arrowType) || arrowIs(types, "is_date", arrowType)) {
        return Entry::temporal;
    }
    return Entry::refused;
}

Entry classify(py::handle dtype) {
    py::object np = global(Name::np);
    if (isInstance(dtype, np.attr(attrName(Attr::dtype)))) {
        return equals(dtype.attr(attrName(Attr::kind)), "O") ? Entry::objects : Entry::keep;
    }
    if (isPandasType(dtype, "StringDtype")) return Entry::text;
    if (isPandasType(dtype, "CategoricalDtype")) return Entry::category;
    if (isPandasType(dtype, "SparseDtype")) return Entry::sparse;
    if (isPandasType(dtype, "DatetimeTZDtype")) return Entry::tzAware;
    if (isPandasType(dtype, "ArrowDtype")) return arrowEntry(dtype);
    // pandas' nullable numbers and booleans name the numpy type they mask.
    if (py::hasattr(dtype, "numpy_dtype")) {
        py::object kind = dtype.attr(attrName(Attr::kind));
        if (equals(kind, "i") || equals(kind, "u")) return Entry::integer;
        if (equals(kind, "f")) return Entry::floating;
        if (equals(kind, "b")) return Entry::boolean;
    }
    return Entry::refused;
}

[[noreturn]] void refuse(Py_ssize_t position, py::handle dtype) {
    const std::string message =
        "feature " + std::to_string(position) + " has the type " +
        py::str(dtype).cast<std::string>() +
        ", which a data object cannot hold; convert it to numbers, text or dates first "
        "(for example with astype(str))";
    raise(global(Name::InvalidArgumentType), message.c_str());
}

// `values` with `marker` at the positions where `gaps` is true, in the type
// that holds both: integers become float64 when every value is exact there
// (within +-2**53) and Python ints otherwise; booleans become objects.
py::object withGaps(py::object values, py::handle gaps, py::handle marker) {
    if (!truthy(gaps.attr(attrName(Attr::any))())) return values;
    py::object np = global(Name::np);
    py::object kind = values.attr(attrName(Attr::dtype)).attr(attrName(Attr::kind));
    if (equals(kind, "i") || equals(kind, "u")) {
        py::object present = values[np.attr("logical_not")(gaps)];
        constexpr long long kExact = 1LL << 53;
        const bool exact =
            py::len(present) == 0 ||
            (present.attr(attrName(Attr::min))() >= py::int_(-kExact) &&
             present.attr(attrName(Attr::max))() <= py::int_(kExact));
        values = values.attr(attrName(Attr::astype))(numpyType(exact ? "float64" : "object"));
        values[gaps] = exact ? py::object(py::float_(NAN)) : py::object(py::none());
        return values;
    }
    if (equals(kind, "b")) values = values.attr(attrName(Attr::astype))(numpyType("object"));
    else values = values.attr(attrName(Attr::copy))();
    if (equals(kind, "f") || equals(kind, "c")) values[gaps] = py::float_(NAN);
    else values[gaps] = equals(kind, "O") ? marker : py::none();  // None is NaT for dates
    return values;
}

// The numpy type that holds an extension type's values: dates and times
// keep their unit (pandas 1.5 holds nanoseconds only).
py::object heldNumpyType(py::handle dtype) {
    py::object held = dtype.attr("numpy_dtype");
    py::object kind = held.attr(attrName(Attr::kind));
    if (pandasMajor(global(Name::pd)) < 2 && (equals(kind, "M") || equals(kind, "m"))) {
        held = numpyType(equals(kind, "M") ? "datetime64[ns]" : "timedelta64[ns]");
    }
    return held;
}

// The values of a column of an extension type, held by the rule.
py::object heldValues(py::handle column, Py_ssize_t position);

// Positions of NA in the one-dimensional object array `values`.
std::vector<Py_ssize_t> positionsOfNA(py::handle values) {
    const py::object na = global(Name::pd).attr("NA");
    std::vector<Py_ssize_t> found;
    if (py::isinstance<py::array>(values)) {
        py::array array = py::reinterpret_borrow<py::array>(values);
        if (array.ndim() == 1 && (array.flags() & py::array::c_style) &&
            array.dtype().kind() == 'O') {
            // the stored references themselves, read without a call per element
            PyObject* const* at = static_cast<PyObject* const*>(array.data());
            for (Py_ssize_t i = 0; i < array.shape(0); ++i) {
                if (at[i] == na.ptr()) found.push_back(i);
            }
            return found;
        }
    }
    Py_ssize_t i = 0;
    for (py::handle value : values) {
        if (value.is(na)) found.push_back(i);
        ++i;
    }
    return found;
}

// An object array with NA replaced by None, or a null handle when it holds
// no NA.
py::object withoutNA(py::handle values) {
    const std::vector<Py_ssize_t> found = positionsOfNA(values);
    if (found.empty()) return py::object();
    py::object gaps = global(Name::np).attr("zeros")(py::len(values), numpyType("bool"));
    for (Py_ssize_t i : found) gaps[py::int_(i)] = true;
    return withGaps(py::reinterpret_borrow<py::object>(values), gaps, py::none());
}

py::object objectValues(py::handle column) {
    return column.attr(attrName(Attr::to_numpy))(py::arg("dtype") = numpyType("object"));
}

// Timezone-aware datetimes as Timestamp objects, missing NaT.
py::object timestampObjects(py::handle column) {
    py::object pd = global(Name::pd);
    py::object dtype = column.attr(attrName(Attr::dtype));
    py::object values = py::reinterpret_borrow<py::object>(column);
    if (!isPandasType(dtype, "DatetimeTZDtype")) {  // an arrow timestamp with a zone
        py::object arrowType = dtype.attr("pyarrow_dtype");
        py::object unit = pandasMajor(pd) < 2 ? py::str("ns") : py::str(arrowType.attr("unit"));
        values = values.attr(attrName(Attr::astype))(pd.attr("DatetimeTZDtype")(
            py::arg("unit") = unit, py::arg("tz") = arrowType.attr("tz")));
    }
    return values.attr(attrName(Attr::to_numpy))(py::arg("dtype") = numpyType("object"));
}

py::object categoryValues(py::handle column, Py_ssize_t position) {
    py::object pd = global(Name::pd);
    py::object categories = pd.attr("Series")(column.attr(attrName(Attr::dtype)).attr("categories"));
    py::object held = heldValues(categories, position);
    py::object codes = column.attr("cat").attr("codes").attr(attrName(Attr::to_numpy))();
    py::object values = held.attr(attrName(Attr::take))(codes);
    const bool timestamps = isPandasType(categories.attr(attrName(Attr::dtype)), "DatetimeTZDtype");
    py::object gaps = global(Name::np).attr("less")(codes, 0);
    return withGaps(values, gaps, timestamps ? pd.attr("NaT") : py::none());
}

py::object heldValues(py::handle column, Py_ssize_t position) {
    py::object pd = global(Name::pd);
    py::object np = global(Name::np);
    py::object dtype = column.attr(attrName(Attr::dtype));
    py::object toNumpy = column.attr(attrName(Attr::to_numpy));
    switch (classify(dtype)) {
        case Entry::keep:
            return toNumpy();
        case Entry::objects: {
            py::object values = objectValues(column);
            py::object replaced = withoutNA(values);
            return replaced ? replaced : values;
        }
        case Entry::text:
            return toNumpy(py::arg("dtype") = numpyType("object"), py::arg("na_value") = py::none());
        case Entry::integer:
        case Entry::boolean:
        case Entry::floating: {
            py::object held = heldNumpyType(dtype);
            py::object gaps = column.attr(attrName(Attr::isna))().attr(attrName(Attr::to_numpy))(
                numpyType("bool"));
            if (!truthy(gaps.attr(attrName(Attr::any))())) return toNumpy(py::arg("dtype") = held);
            // The gaps are filled with a placeholder of the type, then marked.
            py::object kind = held.attr(attrName(Attr::kind));
            py::object fill = equals(kind, "f")   ? py::object(py::float_(NAN))
                              : equals(kind, "b") ? py::object(py::bool_(false))
                                                  : py::object(py::int_(0));
            return withGaps(toNumpy(py::arg("dtype") = held, py::arg("na_value") = fill), gaps,
                            py::none());
        }
        case Entry::temporal:
            return column.attr(attrName(Attr::astype))(heldNumpyType(dtype))
                .attr(attrName(Attr::to_numpy))();
        case Entry::tzAware:
            return timestampObjects(column);
        case Entry::category:
            return categoryValues(column, position);
        case Entry::sparse:
            return heldValues(column.attr("sparse").attr("to_dense")(), position);
        case Entry::refused:
            break;
    }
    refuse(position, dtype);
}

// Column `j` of the list of point lists `rows` as an object array, or a null
// handle when a point is not a list or tuple long enough.
py::object listColumn(py::handle rows, Py_ssize_t j) {
    py::list column;
    for (py::handle row : rows) {
        if (!(PyList_Check(row.ptr()) || PyTuple_Check(row.ptr())) || static_cast<Py_ssize_t>(py::len(row)) <= j) {
            return py::object();
        }
        column.append(row[py::int_(j)]);
    }
    return global(Name::np).attr("array")(column, py::arg("dtype") = numpyType("object"));
}

// The objects `table` was built from, one column at a time: text columns
// keep them, so that a missing value stays the object it was (None stays
// None, NaN stays NaN) as in every other object column.
class SourceColumns {
public:
    explicit SourceColumns(py::handle source) : source_(source) {}

    py::object column(Py_ssize_t j) {
        py::object all = slice(py::none(), py::none());
        py::object np = global(Name::np);
        if (isInstance(source_, np.attr("ndarray"))) {
            if (py::len(source_.attr(attrName(Attr::shape))) == 2 &&
                equals(source_.attr(attrName(Attr::dtype)).attr(attrName(Attr::kind)), "O")) {
                return source_[py::make_tuple(all, py::int_(j))];
            }
        } else if (PyList_Check(source_.ptr())) {
            if (py::object found = listColumn(source_, j)) return found;
        }
        if (!originals_) {
            originals_ = global(Name::pd).attr("DataFrame")(
                source_, py::arg("dtype") = numpyType("object"));
        }
        return ilocColumns(originals_, py::int_(j))
            .attr(attrName(Attr::to_numpy))(py::arg("dtype") = numpyType("object"));
    }

private:
    py::handle source_;
    py::object originals_;
};

// Whether `table` already holds what the rule holds: numpy types only, and
// no pd.NA among its objects.  Told from the blocks' own arrays where pandas
// keeps blocks (a view of a point of a table with text is built often);
// otherwise only a table without object features is told so.
bool heldAlready(const PandasStorage& storage, py::handle table) {
    py::object blockList = storage.blocksOf(table);
    if (!blockList) {
        for (py::handle dtype : storage.featureTypes(table)) {
            if (classify(dtype) != Entry::keep) return false;
        }
        return true;
    }
    for (py::handle block : blockList) {
        const Entry entry = classify(block.attr(attrName(Attr::dtype)));
        if (entry == Entry::objects) {
            py::object values = block.attr(attrName(Attr::values));
            if (!positionsOfNA(values.attr("ravel")()).empty()) return false;
        } else if (entry != Entry::keep) {
            return false;
        }
    }
    return true;
}

}  // namespace

void applyEntryRule(py::handle table, py::handle source) {
    const PandasStorage storage;
    if (heldAlready(storage, table)) return;
    SourceColumns sourceColumns(source);
    py::object setItem = table.attr(attrName(Attr::isetitem));
    py::object series = global(Name::pd).attr("Series");
    py::object index = table.attr(attrName(Attr::index));
    Py_ssize_t j = 0;
    for (const py::object& dtype : storage.columnTypes(table)) {
        const Entry entry = classify(dtype);
        py::object values;
        if (entry == Entry::objects) {
            values = withoutNA(objectValues(ilocColumns(table, py::int_(j))));
        } else if (entry == Entry::text && !source.is_none()) {
            values = sourceColumns.column(j);
            if (py::object replaced = withoutNA(values)) values = replaced;
        } else if (entry != Entry::keep) {
            values = heldValues(ilocColumns(table, py::int_(j)), j);
        }
        // A Series of the held numpy type: pandas infers no other type for
        // it, and it lines up with the table by position.
        if (values) {
            setItem(j, series(values, py::arg("index") = index,
                              py::arg("dtype") = values.attr(attrName(Attr::dtype))));
        }
        ++j;
    }
}

py::object newTable(py::handle values) {
    py::object table = global(Name::pd).attr("DataFrame")(values);
    applyEntryRule(table, values);
    return table;
}

py::object setDtypes(py::handle self, py::handle dtypes) {
    py::object table = backingTable(self);
    py::tuple current = tupleOf(PandasStorage().columnTypes(table));
    py::tuple wanted(py::reinterpret_borrow<py::object>(dtypes));
    if (current.equal(wanted)) return py::none();
    if (current.size() != wanted.size()) {
        raise(global(Name::InvalidArgumentValue), "A dtype must be specified for each feature");
    }
    // zip(table.items(), dtypes): both iterators are made first, the column
    // walk before the wanted types, and each step reads a column first.
    py::iterator columns = py::iter(table.attr(attrName(Attr::items))());
    py::iterator wantedTypes = py::iter(dtypes);
    while (true) {
        py::object item = nextItem(columns);
        if (!item) break;
        py::object dtype = nextItem(wantedTypes);
        if (!dtype) break;
        py::object label = item[py::int_(0)];
        py::object column = item[py::int_(1)];
        py::object columnType = column.attr(attrName(Attr::dtype));
        if (columnType.not_equal(dtype)) {
            table[label] = column.attr(attrName(Attr::astype))(dtype);
        }
    }
    return py::none();
}

const MethodRow kSetDtypesRow = methodRow<setDtypes>("_setDtypes", {"self", "dtypes"},
    "\n        Give each feature of the backing table the matching dtype of\n"
    "        ``dtypes`` (one per feature), converting only the columns whose\n"
    "        dtype differs.\n        ");

py::object convertToNumericTypes(py::handle self, py::handle usableTypes) {
    py::object table = backingTable(self);
    for (py::handle dtype : PandasStorage().featureTypes(table)) {
        if (!contains(usableTypes, dtype)) {
            self.attr(attrName(Attr::data)) =
                table.attr(attrName(Attr::astype))(global(Name::np).attr("dtype")("float64"));
            break;
        }
    }
    return py::none();
}

const MethodRow kConvertToNumericTypesRow = methodRow<convertToNumericTypes>(
    "_convertToNumericTypes_implementation", {"self", "usableTypes"},
    "\n        Convert every feature to float64 unless all feature dtypes are\n"
    "        already among ``usableTypes``.\n        ");

py::object asNumpyArray(py::handle self, bool numeric) {
    py::object np = global(Name::np);
    py::object table = backingTable(self);
    py::object floatType = builtinType(&PyFloat_Type);

    py::set allowed;
    allowed.add(np.attr("dtype")(builtinType(&PyBool_Type)));
    allowed.add(np.attr("dtype")(builtinType(&PyLong_Type)));
    allowed.add(np.attr("dtype")(floatType));
    if (!numeric) allowed.add(np.attr("dtype")(np.attr("object_")));

    bool sharedType = py::len(table.attr(attrName(Attr::columns))) > 0;
    py::object canCast = np.attr("can_cast");
    // Wide tables repeat a few dtype objects many times: each distinct
    // object is tested once.
    std::vector<py::object> passed;
    auto seen = [&passed](py::handle dtype) {
        return std::any_of(passed.begin(), passed.end(),
                           [&](const py::object& known) { return known.is(dtype); });
    };
    for (py::handle dtype : PandasStorage().featureTypes(table)) {
        if (seen(dtype)) continue;
        if (!allowed.contains(dtype) || !truthy(canCast(dtype, floatType))) {
            sharedType = false;
            break;
        }
        if (passed.size() < 8) passed.push_back(py::reinterpret_borrow<py::object>(dtype));
    }
    if (sharedType) {
        py::object values = table.attr(attrName(Attr::to_numpy))();
        // pandas has no common numeric type for booleans mixed with numbers
        // and answers with objects; a caller that needs numbers gets floats.
        if (!numeric ||
            py::object(values.attr(attrName(Attr::dtype))).not_equal(np.attr("object_"))) {
            return values;
        }
    }
    if (numeric) return table.attr(attrName(Attr::to_numpy))(np.attr("dtype")(floatType));
    // pandas 1.5 exports a lone datetime feature as integers when asked for
    // objects directly; converting the table first gives Timestamps there too.
    py::object values =
        pandasMajor(global(Name::pd)) >= 2
            ? table.attr(attrName(Attr::to_numpy))(py::arg("dtype") = np.attr("dtype")("O"))
            : table.attr(attrName(Attr::astype))(np.attr("dtype")("O"))
                  .attr(attrName(Attr::to_numpy))();
    // A table without columns has no blocks to take the type from and pandas
    // answers with floats; the result is an object array all the same.
    if (py::object(values.attr(attrName(Attr::dtype))).not_equal(np.attr("object_"))) {
        values = values.attr(attrName(Attr::astype))(np.attr("dtype")("O"));
    }
    // Under copy-on-write a one-block table exports a read-only view of its
    // fresh object copy; the export is the caller's own array to fill in.
    if (!truthy(values.attr(attrName(Attr::flags)).attr(attrName(Attr::writeable)))) {
        values = values.attr(attrName(Attr::copy))();
    }
    return values;
}

const MethodRow kAsNumpyArrayRow = methodRow<asNumpyArray>(
    "_asNumpyArray", {"self", optional("numericRequired")},
    "\n        Convert the dataframe to a numpy array with appropriate dtype.\n\n"
    "        Object dtype is used whenever more than one dtype is present.\n"
    "        If numericRequired is True, the data will be all be converted to\n"
    "        floats if the dtypes are not already all the same numeric dtype.\n"
    "        ");

// Whether each column of the single-typed 2-D `block` survives a round trip
// through `target` unchanged (missing values count as equal to themselves).
// The converted values must equal the originals too: a round trip alone
// misses integers that wrap around (uint64 2**63 through int64).
py::list representable(py::handle block, py::handle target) {
    py::object np = global(Name::np);
    const auto columns = py::cast<py::ssize_t>(block.attr(attrName(Attr::shape))[py::int_(1)]);
    py::object isna = global(Name::pd).attr("isna");
    py::object same;
    try {
        WithBlock quiet(np.attr("errstate")(py::arg("all") = "ignore"));
        py::object cast = block.attr(attrName(Attr::astype))(target);
        py::object back = cast.attr(attrName(Attr::astype))(block.attr(attrName(Attr::dtype)));
        // Values that convert but cannot be compared with the originals
        // (durations cast to dates) are not held by `target` either.
        same = np.attr("logical_and")(np.attr("equal")(back, block), np.attr("equal")(cast, block));
        same = np.attr("logical_or")(same, np.attr("logical_and")(isna(back), isna(block)));
        quiet.exit();
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_TypeError) && !e.matches(PyExc_ValueError) &&
            !e.matches(PyExc_OverflowError)) {
            throw;
        }
        same = py::object();
    }
    if (!same) {
        // One unconvertible column must not decide for the others.
        py::list flags;
        if (columns == 1) {
            flags.append(false);
            return flags;
        }
        for (py::ssize_t j = 0; j < columns; ++j) {
            py::object column = block[py::make_tuple(slice(py::none(), py::none()),
                                                     slice(py::int_(j), py::int_(j + 1)))];
            flags.append(representable(column, target)[0]);
        }
        return flags;
    }
    return same.attr(attrName(Attr::all))(py::arg("axis") = 0).attr(attrName(Attr::tolist))();
}

}  // namespace kestro::native
