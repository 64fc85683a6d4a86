// Per-feature element types and the dense array export.
#include "dataframe.hpp"

#include <algorithm>
#include <vector>

namespace kestro::native {

const char* const kAsNumpyArrayDoc =
    "\n        Convert the dataframe to a numpy array with appropriate dtype.\n\n"
    "        Object dtype is used whenever more than one dtype is present.\n"
    "        If numericRequired is True, the data will be all be converted to\n"
    "        floats if the dtypes are not already all the same numeric dtype.\n"
    "        ";
const char* const kSetDtypesDoc =
    "\n        Give each feature of the backing table the matching dtype of\n"
    "        ``dtypes`` (one per feature), converting only the columns whose\n"
    "        dtype differs.\n        ";
const char* const kConvertToNumericTypesDoc =
    "\n        Convert every feature to float64 unless all feature dtypes are\n"
    "        already among ``usableTypes``.\n        ";

namespace {

py::object builtinType(PyTypeObject* type) {
    return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(type));
}

}  // namespace

py::object setDtypes(py::handle self, py::handle dtypes) {
    py::object table = backingTable(self);
    py::tuple current(table.attr("dtypes"));
    py::tuple wanted(py::reinterpret_borrow<py::object>(dtypes));
    if (current.equal(wanted)) return py::none();
    if (current.size() != wanted.size()) {
        raise(global("InvalidArgumentValue"), "A dtype must be specified for each feature");
    }
    py::iterator wantedTypes = py::iter(dtypes);
    for (py::handle item : table.attr("items")()) {
        if (wantedTypes == py::iterator::sentinel()) break;
        py::object dtype = py::reinterpret_borrow<py::object>(*wantedTypes);
        ++wantedTypes;
        py::object label = item[py::int_(0)];
        py::object column = item[py::int_(1)];
        py::object columnType = column.attr("dtype");
        if (columnType.not_equal(dtype)) {
            table[label] = column.attr("astype")(dtype);
        }
    }
    return py::none();
}

py::object convertToNumericTypes(py::handle self, py::handle usableTypes) {
    py::object table = backingTable(self);
    for (py::handle dtype : table.attr("dtypes")) {
        if (!contains(usableTypes, dtype)) {
            self.attr("_data") = table.attr("astype")(builtinType(&PyFloat_Type));
            break;
        }
    }
    return py::none();
}

py::object asNumpyArray(py::handle self, py::handle numericRequired) {
    py::object np = global("np");
    py::object table = backingTable(self);
    py::object floatType = builtinType(&PyFloat_Type);
    const bool numeric = truthy(numericRequired);

    py::set allowed;
    allowed.add(np.attr("dtype")(builtinType(&PyBool_Type)));
    allowed.add(np.attr("dtype")(builtinType(&PyLong_Type)));
    allowed.add(np.attr("dtype")(floatType));
    if (!numeric) allowed.add(np.attr("dtype")(np.attr("object_")));

    py::object dtypes = table.attr("dtypes");
    bool sharedType = py::len(table.attr("columns")) > 0;
    py::object canCast = np.attr("can_cast");
    // Wide tables repeat a few dtype objects many times: each distinct
    // object is tested once.
    std::vector<py::object> passed;
    auto seen = [&passed](py::handle dtype) {
        return std::any_of(passed.begin(), passed.end(),
                           [&](const py::object& known) { return known.is(dtype); });
    };
    for (py::handle dtype : py::list(dtypes.attr("tolist")())) {
        if (seen(dtype)) continue;
        if (!allowed.contains(dtype) || !truthy(canCast(dtype, floatType))) {
            sharedType = false;
            break;
        }
        if (passed.size() < 8) passed.push_back(py::reinterpret_borrow<py::object>(dtype));
    }
    if (sharedType) {
        py::object values = table.attr("to_numpy")();
        // pandas has no common numeric type for booleans mixed with numbers
        // and answers with objects; a caller that needs numbers gets floats.
        if (!numeric || values.attr("dtype").not_equal(np.attr("object_"))) return values;
    }
    if (numeric) return table.attr("to_numpy")(floatType);
    py::object values = table.attr("astype")(np.attr("object_")).attr("to_numpy")();
    // A table without columns has no blocks to take the type from and pandas
    // answers with floats; the result is an object array all the same.
    if (values.attr("dtype").not_equal(np.attr("object_"))) {
        values = values.attr("astype")(np.attr("object_"));
    }
    return values;
}

}  // namespace kestro::native
