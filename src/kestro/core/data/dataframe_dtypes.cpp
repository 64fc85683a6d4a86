// Per-feature element types and the dense array export.
#include "dataframe.hpp"
#include "pandas_storage.hpp"

#include <algorithm>
#include <vector>

namespace kestro::native {

namespace {

// The next item of `iterator`, or a null handle once it is exhausted.
py::object nextItem(py::handle iterator) {
    py::object item = py::reinterpret_steal<py::object>(PyIter_Next(iterator.ptr()));
    if (!item && PyErr_Occurred()) throw py::error_already_set();
    return item;
}

// Positions of the columns of `table` held in one of pandas' string dtypes.
std::vector<Py_ssize_t> textColumns(py::handle table) {
    std::vector<Py_ssize_t> found;
    py::object stringDtype = global(Name::pd).attr("StringDtype");
    const PandasStorage storage;
    bool anyText = false;
    for (py::handle dtype : storage.featureTypes(table)) {
        anyText = anyText || isInstance(dtype, stringDtype);
    }
    if (!anyText) return found;
    Py_ssize_t j = 0;
    for (const py::object& dtype : storage.columnTypes(table)) {
        if (isInstance(dtype, stringDtype)) found.push_back(j);
        ++j;
    }
    return found;
}

py::tuple tupleOf(const std::vector<py::object>& items) {
    py::tuple result(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) result[i] = items[i];
    return result;
}

}  // namespace

void storeTextAsObject(py::handle table, py::handle source) {
    const std::vector<Py_ssize_t> text = textColumns(table);
    if (text.empty()) return;
    py::object objectType = global(Name::np).attr("dtype")(builtinType(&PyBaseObject_Type));
    py::object all = slice(py::none(), py::none());
    // A two-dimensional object array gives its columns as they are; any
    // other source is read through a table of its objects.
    const bool objectArray = !source.is_none() &&
                             isInstance(source, global(Name::np).attr("ndarray")) &&
                             py::len(source.attr(attrName(Attr::shape))) == 2 &&
                             py::object(source.attr(attrName(Attr::dtype))).equal(objectType);
    py::object originals;
    if (!source.is_none() && !objectArray) {
        originals = global(Name::pd).attr("DataFrame")(source, py::arg("dtype") = objectType);
    }
    py::object setItem = table.attr(attrName(Attr::isetitem));
    py::object series = global(Name::pd).attr("Series");
    py::object index = table.attr(attrName(Attr::index));
    for (Py_ssize_t j : text) {
        py::object column =
            objectArray ? py::object(source[py::make_tuple(all, py::int_(j))])
                        : (originals ? originals : py::reinterpret_borrow<py::object>(table))
                              .attr(attrName(Attr::iloc))[py::make_tuple(all, py::int_(j))]
                              .attr(attrName(Attr::to_numpy))(py::arg("dtype") = objectType);
        // A Series of object dtype: pandas infers no type for it, and it
        // lines up with the table by position.
        setItem(j, series(column, py::arg("index") = index, py::arg("dtype") = objectType));
    }
}

py::object newTable(py::handle values) {
    py::object table = global(Name::pd).attr("DataFrame")(values);
    storeTextAsObject(table, values);
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
