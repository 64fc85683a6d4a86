// Conversion and export: copies into other formats, nested objects, files.
#include "dataframe.hpp"

#include <utility>

namespace kestro::native {

const char* const kCopyDoc =
    "\n        Copy the current DataFrame object to one in a specified format.\n\n"
    "        to : string\n"
    "            Sparse, List, Matrix, pythonlist, numpyarray, numpymatrix,\n"
    "            scipycsc, scipycsr.\n"
    "        ";
const char* const kCreateNestedObjectDoc =
    "\n        Create an object of one less dimension from the point at\n"
    "        ``pointIndex``.\n        ";
const char* const kSaveCSVDoc =
    "\n        Write the data in this object to a CSV file at the designated\n"
    "        path.\n        ";
const char* const kSaveMTXDoc =
    "\n        Write the data in this object to a matrix market file at the\n"
    "        designated path.\n        ";

namespace {

// `raise type(message) from cause` inside the handler of `cause`: the new
// exception carries `cause` as both its `__cause__` and its `__context__`.
[[noreturn]] void raiseFrom(py::handle type, const py::object& message,
                            const py::error_already_set& cause) {
    py::object instance = type(message);
    if (cause.trace() && PyException_SetTraceback(cause.value().ptr(), cause.trace().ptr()) < 0) {
        throw py::error_already_set();
    }
    PyException_SetContext(instance.ptr(), cause.value().inc_ref().ptr());
    PyException_SetCause(instance.ptr(), cause.value().inc_ref().ptr());
    // PyErr_Restore rather than PyErr_SetObject: the latter would replace the
    // context with whatever exception the caller happens to be handling.
    PyErr_Restore(type.inc_ref().ptr(), instance.release().ptr(), nullptr);
    throw py::error_already_set();
}

// The names of one axis without invented defaults: a list, or None.
py::object givenNames(py::handle self, const char* axis) {
    return self.attr(axis).attr("_getNamesNoGeneration")();
}

// Turns the datetime features of `arr`, the table's object array export,
// into datetime objects (`toList`) or numpy datetime64 values, in place.
void convertTimestamps(py::handle self, py::object& arr, bool toList) {
    py::object np = global("np");
    py::object datetime64 = np.attr("datetime64");
    py::list timestamp;
    bool anyTimestamp = false;
    // A list of the dtypes iterates much faster than the dtypes Series.
    py::list dtypes = backingTable(self).attr("dtypes").attr("tolist")();
    py::str typeAttr("type");
    for (py::handle dtype : dtypes) {
        const bool isTimestamp = py::object(dtype.attr(typeAttr)).equal(datetime64);
        timestamp.append(py::bool_(isTimestamp));
        anyTimestamp = anyTimestamp || isTimestamp;
    }
    if (!anyTimestamp) return;
    // An explicit object output type: letting vectorize infer it from the
    // first result would store to_numpy's datetime64 values as integer
    // nanoseconds and would refuse a table without points.
    py::object method =
        py::module_::import("operator").attr("methodcaller")(toList ? "to_pydatetime" : "to_numpy");
    py::object convTimestamp =
        np.attr("vectorize")(method, py::arg("otypes") = py::make_tuple(np.attr("object_")));
    py::tuple columns = py::make_tuple(slice(py::none(), py::none()), timestamp);
    arr[columns] = convTimestamp(arr[columns]);
}

// "pythonlist" and "numpyarray": the dense values with datetime features
// turned into datetime objects (list) or numpy datetime64 values (array),
// laid out in the object's full dimensions.
py::object denseCopy(py::handle self, bool toList, bool needsReshape) {
    py::object np = global("np");
    py::object arr = self.attr("_asNumpyArray")();
    // A datetime feature never passes the export's shared-type test, so only
    // an object array can hold one: numeric tables skip the dtype scan.
    if (py::object(arr.attr("dtype")).equal(np.attr("dtype")(np.attr("object_")))) {
        convertTimestamps(self, arr, toList);
    }
    if (toList) {
        if (needsReshape) arr = arr.attr("reshape")(self.attr("_dims"));
        return arr.attr("tolist")();
    }
    // Copy before reshaping: the export may be a view of the backing table,
    // and so may a reshape of it.  A reshape of the fresh C-ordered copy is a
    // view of that copy only.
    py::object result = arr.attr("copy")();
    if (needsReshape) result = result.attr("reshape")(self.attr("_dims"));
    return result;
}

// For objects of more than two dimensions: an object array of shape
// `_dims[:2]` whose row i holds point i as nested lists.
py::object nestedPoints(py::handle self) {
    py::object np = global("np");
    py::object dims = self.attr("_dims");
    py::object data = np.attr("empty")(dims[slice(py::none(), py::int_(2))],
                                       py::arg("dtype") = np.attr("object_"));
    const Py_ssize_t count = py::cast<Py_ssize_t>(self.attr("shape")[py::int_(0)]);
    for (Py_ssize_t i = 0; i < count; ++i) {
        data[py::int_(i)] = self.attr("points")[py::int_(i)].attr("copy")("pythonlist");
    }
    return data;
}

}  // namespace

py::object copyTo(py::handle self, py::handle to) {
    py::object available = global("kestro").attr("core").attr("data").attr("available");
    if (contains(available, to)) {
        py::object ptNames = givenNames(self, "points");
        py::object ftNames = givenNames(self, "features");
        py::object data;
        if (equals(to, "DataFrame")) {
            data = backingTable(self).attr("copy")();
        } else if (truthy(backingTable(self).attr("empty"))) {
            data = self.attr("_asNumpyArray")();  // keeps a 0 x n or n x 0 shape
        } else {
            data = global("pandasDataFrameToList")(backingTable(self));
        }
        return global("createDataNoValidation")(to, data, ptNames, ftNames,
                                                py::arg("reuseData") = true);
    }

    const bool needsReshape = py::len(self.attr("_dims")) > 2;
    const bool toList = equals(to, "pythonlist");
    if (toList || equals(to, "numpyarray")) return denseCopy(self, toList, needsReshape);

    py::object data;
    if (needsReshape) {
        data = nestedPoints(self);
    } else if (equals(to, "pandasdataframe")) {
        data = backingTable(self).attr("copy")();
    } else {
        data = backingTable(self);  // every consumer below builds a new object
    }

    if (equals(to, "numpymatrix")) {
        // What np.matrix(data) builds, without calling the constructor, which
        // warns (PendingDeprecationWarning) every time: a copy of the data
        // viewed as a matrix.
        py::object np = global("np");
        py::object matrix = np.attr("matrix");
        if (isInstance(data, np.attr("ndarray"))) return data.attr("view")(matrix).attr("copy")();
        return np.attr("array")(data).attr("view")(matrix);
    }

    if (contains(to, py::str("scipy"))) {
        py::object scipy = global("scipy");
        if (!truthy(scipy.attr("kestroAccessible")())) {
            raise(global("PackageException"), "scipy is not available");
        }
        py::object sparse = scipy.attr("sparse");
        if (equals(to, "scipycoo")) return sparse.attr("coo_matrix")(data);
        try {
            data = self.attr("_asNumpyArray")(py::arg("numericRequired") = true);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_ValueError)) throw;
            py::object kind = py::reinterpret_borrow<py::object>(to)[slice(py::int_(-3), py::none())];
            raiseFrom(PyExc_ValueError,
                      py::str("Must create scipy ") + kind + py::str(" matrix from numeric data"),
                      e);
        }
        if (equals(to, "scipycsc")) return sparse.attr("csc_matrix")(data);
        if (equals(to, "scipycsr")) return sparse.attr("csr_matrix")(data);
    }

    py::object pnames = givenNames(self, "points");
    py::object fnames = givenNames(self, "features");
    py::object dataframe = global("pd").attr("DataFrame")(data);
    if (!pnames.is_none()) dataframe.attr("index") = pnames;
    if (!fnames.is_none()) dataframe.attr("columns") = fnames;
    return dataframe;
}

py::object createNestedObject(py::handle self, py::handle pointIndex) {
    py::object dims = self.attr("_dims");
    py::object trailing = dims[slice(py::int_(2), py::none())];
    py::tuple storageShape = py::make_tuple(
        dims[py::int_(1)], py::int_(global("np").attr("prod")(trailing)));
    py::object point = self.attr("_asNumpyArray")()[pointIndex];
    py::object values = point.attr("reshape")(storageShape);
    py::dict kwds;
    kwds["shape"] = dims[slice(py::int_(1), py::none())];
    kwds["reuseData"] = true;
    return newDataFrame(values, kwds);
}

namespace {

// Default integer labels for the axes of `table` that carry names while a
// CSV write is under way; put back when the write fails part-way.
class LabelRestore {
public:
    explicit LabelRestore(py::object table) : table_(std::move(table)) {}
    LabelRestore(const LabelRestore&) = delete;
    LabelRestore& operator=(const LabelRestore&) = delete;
    ~LabelRestore() noexcept(false) {
        cleanUp([&] {
            if (index_) table_.attr("index") = rangeIndex(py::int_(py::len(table_.attr("index"))));
            if (columns_) {
                table_.attr("columns") = rangeIndex(py::int_(py::len(table_.attr("columns"))));
            }
        });
    }

    void indexNamed() { index_ = true; }
    void columnsNamed() { columns_ = true; }
    void release() { index_ = columns_ = false; }

private:
    py::object table_;
    bool index_ = false;
    bool columns_ = false;
};

// Recent scipy writers report nothing when the file cannot be opened, so the
// data would be lost silently.  Opening the file scipy is going to write (a
// path gains ".mtx" when it lacks it) for appending first raises the usual
// OSError for a missing directory or a forbidden path, and leaves existing
// content as it is.  File-like targets are left to scipy.
void probeWritable(py::handle outPath) {
    PyObject* raw = PyOS_FSPath(outPath.ptr());
    if (!raw) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
        PyErr_Clear();
        return;
    }
    py::object path = py::reinterpret_steal<py::object>(raw);
    if (!PyUnicode_Check(path.ptr())) return;
    if (!truthy(path.attr("endswith")(".mtx"))) path = path + py::str(".mtx");
    py::object file = py::module_::import("builtins").attr("open")(path, "ab");
    file.attr("close")();
}

}  // namespace

py::object saveCSV(py::handle self, py::handle outPath, py::handle includePointNames,
                   py::handle includeFeatureNames) {
    // One reference to the table for the whole call: the labels are put back
    // on the very table that received the names.
    py::object table = backingTable(self);
    LabelRestore restore(table);
    {
        py::object open = py::module_::import("builtins").attr("open");
        WithBlock block(open(outPath, "w", py::arg("encoding") = "utf-8"));
        if (truthy(includeFeatureNames)) {
            table.attr("columns") = self.attr("features").attr("getNames")();
            restore.columnsNamed();
            // pandas starts the header with an empty field for the unnamed
            // row labels; this fills it.
            if (truthy(includePointNames)) block.target().attr("write")("pointNames");
        }
        if (truthy(includePointNames)) {
            table.attr("index") = self.attr("points").attr("getNames")();
            restore.indexNamed();
        }
        block.exit();
    }
    table.attr("to_csv")(outPath, py::arg("mode") = "a", py::arg("index") = includePointNames,
                         py::arg("header") = includeFeatureNames);
    if (truthy(includePointNames)) {
        table.attr("index") = rangeIndex(py::int_(py::len(table.attr("index"))));
    }
    if (truthy(includeFeatureNames)) {
        table.attr("columns") = rangeIndex(py::int_(py::len(table.attr("columns"))));
    }
    restore.release();
    return py::none();
}

py::object saveMTX(py::handle self, py::handle outPath, py::handle includePointNames,
                   py::handle includeFeatureNames) {
    py::object scipy = global("scipy");
    if (!truthy(scipy.attr("kestroAccessible")())) {
        raise(global("PackageException"), "scipy is not available");
    }
    py::str separator(",");
    py::object comment = py::str("#");
    if (truthy(includePointNames)) {
        comment = comment + separator.attr("join")(self.attr("points").attr("getNames")());
    }
    if (truthy(includeFeatureNames)) {
        comment = comment + py::str("\n#") +
                  separator.attr("join")(self.attr("features").attr("getNames")());
    }
    py::object values = backingTable(self).attr("astype")(global("np").attr("float64"));
    probeWritable(outPath);
    scipy.attr("io").attr("mmwrite")(outPath, values, py::arg("comment") = comment);
    return py::none();
}

}  // namespace kestro::native
