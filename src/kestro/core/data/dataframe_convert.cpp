// Conversion and export: copies into other formats, nested objects, files.
#include "dataframe.hpp"
#include "pandas_storage.hpp"

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace kestro::native {


namespace {

// `raise type(message) from cause`, once `cause` is caught: the new
// exception carries `cause` as both its `__cause__` and its `__context__`.
[[noreturn]] void raiseFrom(py::handle type, const py::object& message,
                            const PendingError& cause) {
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
    return self.attr(axis).attr(attrName(Attr::getNamesNoGeneration))();
}

// One datetime feature's values as an object array of what its Timestamps
// convert to: `datetime.datetime` objects (`toList`) or numpy datetime64
// values, NaT as NaT (lists) or as `NaT.to_numpy()` (arrays).  None when
// that takes the per-element route: a date with nanoseconds becomes a
// datetime with a warning there.
py::object convertedDates(py::handle column, bool toList) {
    py::object np = global(Name::np);
    py::object pd = global(Name::pd);
    py::object dates = column.attr(attrName(Attr::to_numpy))();
    py::object missing = np.attr("isnat")(dates);
    if (toList) {
        py::object nanoseconds = dates.attr(attrName(Attr::view))("i8").attr("__mod__")(1000);
        if (equals(np.attr("datetime_data")(dates.attr(attrName(Attr::dtype)))[py::int_(0)],
                   "ns") &&
            truthy(np.attr("logical_and")(nanoseconds, np.attr("logical_not")(missing))
                       .attr(attrName(Attr::any))())) {
            return py::none();
        }
        return pd.attr("DatetimeIndex")(dates).attr("to_pydatetime")();
    }
    const Py_ssize_t length = py::len(dates);
    py::object values = np.attr("empty")(length, py::arg("dtype") = np.attr("object_"));
    py::object missingValue = pd.attr("NaT").attr(attrName(Attr::to_numpy))();
    py::list items(dates);
    py::list isMissing = missing.attr(attrName(Attr::tolist))();
    for (Py_ssize_t i = 0; i < length; ++i) {
        const bool absent = PyObject_IsTrue(isMissing[static_cast<std::size_t>(i)].ptr()) == 1;
        py::object item = absent ? missingValue : items[static_cast<std::size_t>(i)];
        if (PySequence_SetItem(values.ptr(), i, item.ptr()) < 0) throw py::error_already_set();
    }
    return values;
}

// Turns the datetime features of `arr`, the table's object array export,
// into datetime objects (`toList`) or numpy datetime64 values, in place.
void convertTimestamps(py::handle self, py::object& arr, bool toList) {
    py::object np = global(Name::np);
    py::object datetime64 = np.attr("datetime64");
    py::object table = backingTable(self);
    py::str typeAttr("type");
    py::object all = slice(py::none(), py::none());
    std::vector<Py_ssize_t> perElement;
    Py_ssize_t j = 0;
    for (const py::object& dtype : PandasStorage().columnTypes(table)) {
        if (py::object(dtype.attr(typeAttr)).equal(datetime64)) {
            py::object column = ilocColumns(table, py::int_(j));
            py::object converted = convertedDates(column, toList);
            if (converted.is_none()) {
                perElement.push_back(j);
            } else {
                arr[py::make_tuple(all, py::int_(j))] = converted;
            }
        }
        ++j;
    }
    if (perElement.empty()) return;
    // An explicit object output type: letting vectorize infer it from the
    // first result would store to_numpy's datetime64 values as integer
    // nanoseconds and would refuse a table without points.
    py::object method =
        py::module_::import("operator").attr("methodcaller")(toList ? "to_pydatetime" : "to_numpy");
    py::object convTimestamp =
        np.attr("vectorize")(method, py::arg("otypes") = py::make_tuple(np.attr("object_")));
    py::list positions;
    for (Py_ssize_t k : perElement) positions.append(k);
    py::tuple columns = py::make_tuple(all, positions);
    arr[columns] = convTimestamp(arr[columns]);
}

// "pythonlist" and "numpyarray": the dense values with datetime features
// turned into datetime objects (list) or numpy datetime64 values (array),
// laid out in the object's full dimensions.
py::object denseCopy(py::handle self, bool toList, bool needsReshape) {
    py::object np = global(Name::np);
    py::object arr = self.attr(attrName(Attr::asNumpyArray))();
    // A datetime feature never passes the export's shared-type test, so only
    // an object array can hold one: numeric tables skip the dtype scan.
    if (py::object(arr.attr(attrName(Attr::dtype))).equal(np.attr("dtype")(np.attr("object_")))) {
        convertTimestamps(self, arr, toList);
    }
    if (toList) {
        if (needsReshape) arr = arr.attr(attrName(Attr::reshape))(self.attr(attrName(Attr::dims)));
        return arr.attr(attrName(Attr::tolist))();
    }
    // Copy before reshaping: the export may be a view of the backing table,
    // and so may a reshape of it.  A reshape of the fresh C-ordered copy is a
    // view of that copy only.  A two-dimensional copy keeps the export's
    // memory order (pandas hands out its column blocks transposed), which
    // copies them as they lie.
    if (!needsReshape) return arr.attr(attrName(Attr::copy))(py::arg("order") = "K");
    return arr.attr(attrName(Attr::copy))().attr(attrName(Attr::reshape))(
        self.attr(attrName(Attr::dims)));
}

// For objects of more than two dimensions: an object array of shape
// `_dims[:2]` whose row i holds point i as nested lists.
py::object nestedPoints(py::handle self) {
    py::object np = global(Name::np);
    py::object dims = self.attr(attrName(Attr::dims));
    py::object data = np.attr("empty")(dims[slice(py::none(), py::int_(2))],
                                       py::arg("dtype") = np.attr("object_"));
    const Py_ssize_t count = py::cast<Py_ssize_t>(self.attr(attrName(Attr::shape))[py::int_(0)]);
    for (Py_ssize_t i = 0; i < count; ++i) {
        data[py::int_(i)] =
            self.attr(attrName(Attr::points))[py::int_(i)].attr(attrName(Attr::copy))("pythonlist");
    }
    return data;
}

// A data object of the storage type `to` with this object's values and
// names.
py::object storageCopy(py::handle self, py::handle to) {
    py::object ptNames = givenNames(self, "points");
    py::object ftNames = givenNames(self, "features");
    py::object data;
    if (equals(to, "DataFrame")) {
        data = backingTable(self).attr(attrName(Attr::copy))();
    } else if (truthy(backingTable(self).attr("empty"))) {
        data = self.attr(attrName(Attr::asNumpyArray))();  // keeps a 0 x n or n x 0 shape
    } else {
        data = global(Name::pandasDataFrameToList)(backingTable(self));
    }
    return global(Name::createDataNoValidation)(to, data, ptNames, ftNames,
                                                py::arg("reuseData") = true);
}

// What np.matrix(data) builds, without calling the constructor, which warns
// (PendingDeprecationWarning) every time: a copy of the data viewed as a
// matrix.
py::object matrixCopy(py::handle data) {
    py::object np = global(Name::np);
    py::object matrix = np.attr("matrix");
    if (isInstance(data, np.attr("ndarray"))) {
        return data.attr(attrName(Attr::view))(matrix).attr(attrName(Attr::copy))();
    }
    return np.attr("array")(data).attr(attrName(Attr::view))(matrix);
}

// scipy's coordinate matrix of `data`.  scipy refuses values it cannot
// hold with a ValueError about its own types; that refusal names the first
// feature that is not numeric instead.
py::object cooCopy(py::handle self, py::handle sparse, py::handle data) {
    std::optional<PendingError> refusal;
    try {
        return sparse.attr("coo_matrix")(data);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        refusal.emplace(e);
    }
    const std::vector<py::object> types = PandasStorage().columnTypes(backingTable(self));
    for (std::size_t j = 0; j < types.size(); ++j) {
        const auto kind = py::cast<std::string>(types[j].attr(attrName(Attr::kind)));
        if (kind.find_first_of("biufc") == 0) continue;
        py::object name = self.attr(attrName(Attr::features)).attr(attrName(Attr::getName))(j);
        const std::string message = "Must create scipy coo matrix from numeric data: feature " +
                                    std::string(py::str(py::repr(name))) +
                                    " holds values of type " + std::string(py::str(types[j]));
        raiseFrom(PyExc_ValueError, py::str(message), *refusal);
    }
    refusal->raise();
}

// A scipy sparse matrix of the kind `to` names ("scipycoo", "scipycsc",
// "scipycsr"), or a null handle for another name, with `data` then replaced
// by the numeric values.
py::object sparseCopy(py::handle self, py::handle to, py::object& data) {
    py::object scipy = global(Name::scipy);
    if (!truthy(scipy.attr("kestroAccessible")())) {
        raise(global(Name::PackageException), "scipy is not available");
    }
    py::object sparse = scipy.attr("sparse");
    if (equals(to, "scipycoo")) return cooCopy(self, sparse, data);
    std::optional<PendingError> refusal;
    try {
        data = self.attr(attrName(Attr::asNumpyArray))(py::arg("numericRequired") = true);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        refusal.emplace(e);
    }
    if (refusal) {
        py::object kind = py::reinterpret_borrow<py::object>(to)[slice(py::int_(-3), py::none())];
        raiseFrom(PyExc_ValueError,
                  py::str("Must create scipy ") + kind + py::str(" matrix from numeric data"),
                  *refusal);
    }
    if (equals(to, "scipycsc")) return sparse.attr("csc_matrix")(data);
    if (equals(to, "scipycsr")) return sparse.attr("csr_matrix")(data);
    return py::object();
}

// `data` as a pandas table labelled with this object's names.  A table
// given is the result itself (a copy taken for it); anything else (nested
// points) gets a table around it.
py::object labelledTable(py::handle self, py::handle data) {
    py::object pnames = givenNames(self, "points");
    py::object fnames = givenNames(self, "features");
    py::object pdFrame = global(Name::pd).attr("DataFrame");
    py::object dataframe = isInstance(data, pdFrame) ? py::reinterpret_borrow<py::object>(data)
                                                     : pdFrame(data);
    if (!pnames.is_none()) dataframe.attr(attrName(Attr::index)) = pnames;
    if (!fnames.is_none()) dataframe.attr(attrName(Attr::columns)) = fnames;
    return dataframe;
}

}  // namespace

py::object copyTo(py::handle self, py::handle to) {
    py::object available = global(Name::kestro).attr("core").attr("data").attr("available");
    if (contains(available, to)) return storageCopy(self, to);

    const bool needsReshape = py::len(self.attr(attrName(Attr::dims))) > 2;
    const bool toList = equals(to, "pythonlist");
    if (toList || equals(to, "numpyarray")) return denseCopy(self, toList, needsReshape);

    py::object data;
    if (needsReshape) {
        data = nestedPoints(self);
    } else if (equals(to, "numpymatrix") || equals(to, "scipycoo")) {
        // These consumers build a new object.  The table's own array export
        // (`np.asarray(table)` would read the `dtypes` Series first).
        data = backingTable(self).attr(attrName(Attr::to_numpy))();
    } else if (contains(to, py::str("scipy"))) {
        data = py::none();  // csr and csc read the values as numbers themselves
    } else {
        // The table below gets the names as its labels: it must be a copy,
        // never a second frame sharing (on older pandas) our own labels.
        data = backingTable(self).attr(attrName(Attr::copy))();
    }
    if (equals(to, "numpymatrix")) return matrixCopy(data);
    if (contains(to, py::str("scipy"))) {
        py::object sparse = sparseCopy(self, to, data);
        if (sparse) return sparse;
    }
    return labelledTable(self, data);
}

const MethodRow kCopyRow = methodRow<copyTo>("_copy_implementation", {"self", "to"},
    "\n        Copy the current DataFrame object to one in a specified format.\n\n"
    "        to : string\n"
    "            Sparse, List, Matrix, pythonlist, numpyarray, numpymatrix,\n"
    "            scipycsc, scipycsr.\n"
    "        ");

py::object createNestedObject(py::handle self, py::handle pointIndex) {
    py::object dims = self.attr(attrName(Attr::dims));
    py::object trailing = dims[slice(py::int_(2), py::none())];
    py::tuple storageShape = py::make_tuple(
        dims[py::int_(1)], py::int_(global(Name::np).attr("prod")(trailing)));
    py::object point = self.attr(attrName(Attr::asNumpyArray))()[pointIndex];
    py::object values = point.attr(attrName(Attr::reshape))(storageShape);
    py::dict kwds;
    kwds["shape"] = dims[slice(py::int_(1), py::none())];
    kwds["reuseData"] = true;
    return newDataFrame(values, kwds);
}

const MethodRow kCreateNestedObjectRow = methodRow<createNestedObject>(
    "_createNestedObject", {"self", "pointIndex"},
    "\n        Create an object of one less dimension from the point at\n"
    "        ``pointIndex``.\n        ");

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
            if (index_) {
                table_.attr(attrName(Attr::index)) =
                    rangeIndex(py::int_(py::len(table_.attr(attrName(Attr::index)))));
            }
            if (columns_) {
                table_.attr(attrName(Attr::columns)) =
                    rangeIndex(py::int_(py::len(table_.attr(attrName(Attr::columns)))));
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

// The file-system path in `outPath` (str or bytes, as `os.fspath` gives
// it).  Integers, which `open` would take as a descriptor of the caller's,
// and other objects that are no path are refused, and so is the empty path.
py::object fileSystemPath(py::handle outPath) {
    PyObject* raw = PyOS_FSPath(outPath.ptr());
    if (!raw) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
        PyErr_Clear();
        py::str typeName = py::type::handle_of(outPath).attr("__name__");
        raise(global(Name::InvalidArgumentType),
              ("outPath must be a str or os.PathLike path; got " + std::string(typeName)).c_str());
    }
    py::object path = steal(raw);
    if (py::len(path) == 0) raise(global(Name::InvalidArgumentValue), "outPath must not be empty");
    // An empty path object (`Path("")`) reads as ".": what ends in no file
    // name names a folder, never the file to write.
    py::object os = py::module_::import("os");
    py::object name = os.attr("path").attr("basename")(os.attr("fsdecode")(path));
    if (py::len(name) == 0 || equals(name, ".") || equals(name, "..")) {
        std::string shown = py::str(py::repr(outPath));
        raise(global(Name::InvalidArgumentValue),
              ("outPath must name a file, not a folder; got " + shown).c_str());
    }
    return path;
}

// Whether `path` names an existing file that is neither a regular file nor
// a directory: a device or a pipe, which can only be written in place.
bool isDeviceOrPipe(const py::object& path) {
    py::object osPath = py::module_::import("os").attr("path");
    return truthy(osPath.attr("exists")(path)) && !truthy(osPath.attr("isfile")(path)) &&
           !truthy(osPath.attr("isdir")(path));
}

// A file written under a temporary name in its destination's directory and
// moved over the destination only once every write, the flush and the close
// have succeeded.  Until then the destination keeps its old content; on
// failure the temporary file is removed.  A destination that exists but is
// no regular file or directory (a device, a pipe) cannot be replaced and is
// written in place.
class ReplacingFile {
public:
    // A binary file, or with `text` a UTF-8 text file written as given
    // (no newline translation).
    ReplacingFile(const py::object& destination, bool text)
        : os_(py::module_::import("os")), given_(destination), destination_(destination),
          text_(text) {
        if (isDeviceOrPipe(destination)) {
            stream_ = open(destination, "w");
            return;
        }
        py::object path = os_.attr("path");
        // Through a symbolic link, as writing the file in place would.
        destination_ = path.attr("realpath")(destination);
        py::object directory = path.attr("dirname")(destination_);
        py::str prefix = py::str(".") + path.attr("basename")(destination_) + py::str(".");
        temporary_ = path.attr("join")(
            directory, prefix + os_.attr("urandom")(6).attr("hex")() + py::str(".tmp"));
        std::optional<PendingError> failure;
        try {
            stream_ = open(temporary_, "x");  // created with the usual permissions
        } catch (py::error_already_set& error) {
            failure.emplace(error);
        }
        if (failure) aboutDestination(*failure).raise();
    }
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;
    ~ReplacingFile() noexcept(false) {
        if (committed_) return;
        cleanUp([&] { stream_.attr("close")(); });
        cleanUp([&] {
            if (temporary_) os_.attr("unlink")(temporary_);
        });
    }

    // Runs `write(stream)`, then commits.  When the writing fails, the file
    // is closed and removed before the error propagates; an error of that
    // clean-up is raised instead, with the writing error as its context, as
    // a `with` block does.
    template <typename Write>
    void writeWith(Write&& write) {
        std::optional<PendingError> failure;
        try {
            write(stream_);
            stream_.attr("flush")();
            stream_.attr("close")();
            moveIntoPlace();
        } catch (py::error_already_set& error) {
            failure.emplace(error);
        }
        committed_ = true;  // nothing is left for the destructor
        if (failure) abandon(aboutDestination(*failure));
    }

    // Moves the closed file over the destination, whose permissions it takes
    // over when there is one.
    void moveIntoPlace() {
        if (temporary_) {
            if (truthy(os_.attr("path").attr("isfile")(destination_))) {
                py::object mode = os_.attr("stat")(destination_).attr("st_mode");
                os_.attr("chmod")(temporary_, py::module_::import("stat").attr("S_IMODE")(mode));
            }
            os_.attr("replace")(temporary_, destination_);
        }
    }

private:
    // Closes and removes the unfinished file after `failure`, then raises.
    // Errors of these steps are chained the way Python chains them: each has
    // the error before it as its context, and the last one is raised.
    [[noreturn]] void abandon(PendingError failure) {
        PendingError* latest = &failure;
        std::optional<PendingError> closing;
        std::optional<PendingError> removing;
        auto attempt = [&](std::optional<PendingError>& slot, auto&& step) {
            try {
                step();
            } catch (py::error_already_set& error) {
                slot.emplace(error);
            }
            if (slot) {
                PyException_SetContext(slot->value().ptr(), latest->value().inc_ref().ptr());
                latest = &*slot;
            }
        };
        attempt(closing, [&] { stream_.attr("close")(); });
        attempt(removing, [&] {
            if (temporary_) os_.attr("unlink")(temporary_);
        });
        latest->raise();
    }

    // An operating system error about the temporary file, told about the
    // destination the caller named: the temporary file is no name of theirs.
    PendingError aboutDestination(PendingError error) const {
        if (!temporary_ || !PyErr_GivenExceptionMatches(error.value().ptr(), PyExc_OSError)) {
            return error;
        }
        py::object value = error.value();
        py::object filename = value.attr("filename");
        if (!filename.equal(temporary_) && !py::object(value.attr("filename2")).equal(temporary_)) {
            return error;
        }
        py::object renamed = builtinType(reinterpret_cast<PyTypeObject*>(PyExc_OSError))(
            value.attr("errno"), value.attr("strerror"), given_);
        PyException_SetCause(renamed.ptr(), nullptr);  // as `raise ... from None`
        return PendingError(py::type::handle_of(renamed), renamed, py::handle());
    }

    py::object open(const py::object& path, const char* mode) const {
        py::object open = py::module_::import("builtins").attr("open");
        if (!text_) return open(path, std::string(mode) + "b");
        return open(path, mode, py::arg("encoding") = "utf-8", py::arg("newline") = "");
    }

    py::module_ os_;
    py::object given_;
    py::object destination_;
    bool text_;
    py::object temporary_;
    py::object stream_;
    bool committed_ = false;
};

// The file a Matrix Market write goes to: scipy's naming, which adds ".mtx"
// to a name without it, except for an existing device or pipe named as is.
py::object mtxDestination(py::handle outPath) {
    py::object os = py::module_::import("os");
    py::object path = os.attr("fsdecode")(fileSystemPath(outPath));
    if (truthy(path.attr("endswith")(".mtx")) || isDeviceOrPipe(path)) return path;
    return path + py::str(".mtx");
}

// Matrix Market values --------------------------------------------------------

[[noreturn]] void refuseFeature(py::handle self, Py_ssize_t feature, const std::string& what) {
    py::object name =
        py::repr(self.attr(attrName(Attr::features)).attr(attrName(Attr::getName))(feature));
    const std::string text = "feature " + std::string(py::str(name)) + " " + what;
    raise(global(Name::InvalidArgumentValue), text.c_str());
}

// One feature's values as a one-column array, ready for the exactness test.
// A complex feature counts by its real part once its imaginary part is zero.
py::object mtxColumn(py::handle self, py::handle table, Py_ssize_t feature) {
    py::object column = ilocColumns(table, py::int_(feature)).attr(attrName(Attr::to_numpy))();
    py::object kind = column.attr(attrName(Attr::dtype)).attr(attrName(Attr::kind));
    if (equals(kind, "M") || equals(kind, "m")) {
        refuseFeature(self, feature, "holds dates or durations, which a Matrix Market file "
                                     "cannot hold");
    }
    if (equals(kind, "c")) {
        if (py::cast<Py_ssize_t>(global(Name::np).attr("count_nonzero")(column.attr("imag"))) != 0) {
            refuseFeature(self, feature,
                          "holds complex values with an imaginary part, which a Matrix Market "
                          "file of real values cannot hold");
        }
        column = column.attr("real");
    }
    return column.attr(attrName(Attr::reshape))(-1, 1);
}

bool isIntegral(py::handle column) {
    py::str kind = column.attr(attrName(Attr::dtype)).attr(attrName(Attr::kind));
    return equals(kind, "i") || equals(kind, "u") || equals(kind, "b");
}

// Whether every value of a feature of type `dtype` is exact as a 64-bit
// float whatever it is: booleans, floats up to 64 bits, integers up to 32.
bool alwaysExactAsFloat(py::handle dtype) {
    if (!isInstance(dtype, global(Name::np).attr("dtype"))) return false;
    const auto kind = py::cast<std::string>(dtype.attr(attrName(Attr::kind)));
    const auto size = py::cast<Py_ssize_t>(dtype.attr("itemsize"));
    return kind == "b" || (kind == "f" && size <= 8) || ((kind == "i" || kind == "u") && size <= 4);
}

// Text does not convert to a number: an object feature that holds text
// raises the ValueError of its conversion to 64-bit floats.
void raiseTextConversionError(py::handle column) {
    if (!equals(column.attr(attrName(Attr::dtype)).attr(attrName(Attr::kind)), "O")) return;
    try {
        column.attr(attrName(Attr::astype))(global(Name::np).attr("dtype")("float64"));
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_ValueError)) throw;
    }
}

// The Matrix Market field that holds every value of `columns` (one array
// per feature) exactly: 64-bit floats when every value is exact as one (the
// real field), else 64-bit integers when every feature is integral (the
// integer field).  Anything else raises, naming the feature.
py::object mtxField(py::handle self, const std::vector<py::object>& columns) {
    py::object np = global(Name::np);
    const auto count = static_cast<Py_ssize_t>(columns.size());
    Py_ssize_t firstInexact = -1;
    Py_ssize_t firstNonIntegral = -1;
    for (Py_ssize_t j = 0; j < count; ++j) {
        const bool exact = truthy(representable(columns[j], np.attr("float64"))[0]);
        if (!exact) raiseTextConversionError(columns[j]);
        if (!exact && firstInexact < 0) firstInexact = j;
        if (!isIntegral(columns[j]) && firstNonIntegral < 0) firstNonIntegral = j;
    }
    if (firstInexact < 0) return np.attr("float64");
    if (!isIntegral(columns[firstInexact])) {
        py::str dtype = py::str(columns[firstInexact].attr(attrName(Attr::dtype)));
        refuseFeature(self, firstInexact,
                      "holds values of type " + std::string(dtype) +
                          " that a Matrix Market file cannot hold exactly");
    }
    if (firstNonIntegral >= 0) {
        const std::string other = py::str(py::repr(
            self.attr(attrName(Attr::features)).attr(attrName(Attr::getName))(firstNonIntegral)));
        refuseFeature(self, firstInexact,
                      "holds integers that 64-bit floats cannot hold exactly, and feature " +
                          other + " is not integral: no Matrix Market field holds both exactly");
    }
    for (Py_ssize_t j = 0; j < count; ++j) {
        if (!truthy(representable(columns[j], np.attr("int64"))[0])) {
            refuseFeature(self, j, "holds integers beyond the 64-bit range of a Matrix "
                                   "Market integer field");
        }
    }
    return np.attr("int64");
}

// The values to write, in the field that holds them exactly (see
// mtxField), checked before any file is touched.
py::object mtxValues(py::handle self) {
    py::object np = global(Name::np);
    py::object table = backingTable(self);
    bool allExact = true;
    for (py::handle dtype : PandasStorage().featureTypes(table)) {
        allExact = allExact && alwaysExactAsFloat(dtype);
    }
    if (allExact) {
        return table.attr(attrName(Attr::to_numpy))(py::arg("dtype") = np.attr("dtype")("float64"));
    }

    const Py_ssize_t count = py::len(table.attr(attrName(Attr::columns)));
    std::vector<py::object> columns;
    for (Py_ssize_t j = 0; j < count; ++j) columns.push_back(mtxColumn(self, table, j));
    py::object field = mtxField(self, columns);
    py::object values =
        np.attr("empty")(table.attr(attrName(Attr::shape)), py::arg("dtype") = field);
    py::object all = slice(py::none(), py::none());
    for (Py_ssize_t j = 0; j < count; ++j) {
        values[py::make_tuple(all, slice(py::int_(j), py::int_(j + 1)))] =
            columns[static_cast<std::size_t>(j)].attr(attrName(Attr::astype))(field);
    }
    return values;
}

// Writes `values` through scipy's `mmwrite` to the binary `stream`, with
// the lines of `comment` as comment lines in UTF-8.  Some scipy releases
// encode the comment as Latin-1, others as UTF-8: a comment beyond ASCII is
// written with placeholder lines that the UTF-8 text then replaces.
void writeMatrixMarket(py::handle mmwrite, py::handle stream, py::handle values,
                       const py::object& comment) {
    if (truthy(comment.attr("isascii")())) {
        mmwrite(stream, values, py::arg("comment") = comment);
        return;
    }
    py::list lines = comment.attr("split")("\n");
    py::list placeholders;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        placeholders.append(py::str("kestro-comment-line-" + std::to_string(i)));
    }
    py::object buffer = py::module_::import("io").attr("BytesIO")();
    mmwrite(buffer, values, py::arg("comment") = py::str("\n").attr("join")(placeholders));
    py::object written = buffer.attr("getvalue")();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        py::bytes marker(std::string("%") + std::string(py::str(placeholders[i])) + "\n");
        if (py::cast<Py_ssize_t>(written.attr("count")(marker)) != 1) {
            throw std::runtime_error("scipy's Matrix Market writer left out a comment line");
        }
        py::object line = py::bytes("%") + lines[i].attr("encode")("utf-8") + py::bytes("\n");
        written = written.attr("replace")(marker, line);
    }
    stream.attr("write")(written);
}

// Names as the labels of a table being written: an index of Python
// objects built from an object array, which pandas takes as it is (from a
// list, or with a string type of its own, it would convert them first, with
// a change of warning filters).
py::object nameLabels(const py::object& names) {
    py::object objectType = global(Name::np).attr("dtype")("O");
    const Py_ssize_t count = py::len(names);
    py::object values = global(Name::np).attr("empty")(count, py::arg("dtype") = objectType);
    Py_ssize_t i = 0;
    for (py::handle name : names) {
        if (PySequence_SetItem(values.ptr(), i++, name.ptr()) < 0) throw py::error_already_set();
    }
    return global(Name::pd).attr("Index")(values, py::arg("dtype") = objectType);
}

}  // namespace

// The flags are handed to pandas as given (pandas tests their truth too).
py::object saveCSV(py::handle self, py::handle outPath, py::handle includePointNames,
                   py::handle includeFeatureNames) {
    py::object destination = py::module_::import("os").attr("fsdecode")(fileSystemPath(outPath));
    // One reference to the table for the whole call: the labels are put back
    // on the very table that received the names.
    py::object table = backingTable(self);
    LabelRestore restore(table);
    ReplacingFile file(destination, true);
    file.writeWith([&](const py::object& stream) {
        if (truthy(includeFeatureNames)) {
            table.attr(attrName(Attr::columns)) =
                nameLabels(self.attr(attrName(Attr::features)).attr(attrName(Attr::getNames))());
            restore.columnsNamed();
            // pandas starts the header with an empty field for the unnamed
            // row labels; this fills it.
            if (truthy(includePointNames)) stream.attr("write")("pointNames");
        }
        if (truthy(includePointNames)) {
            table.attr(attrName(Attr::index)) =
                nameLabels(self.attr(attrName(Attr::points)).attr(attrName(Attr::getNames))());
            restore.indexNamed();
        }
        table.attr("to_csv")(stream, py::arg("mode") = "a", py::arg("index") = includePointNames,
                             py::arg("header") = includeFeatureNames);
    });
    if (truthy(includePointNames)) {
        table.attr(attrName(Attr::index)) =
            rangeIndex(py::int_(py::len(table.attr(attrName(Attr::index)))));
    }
    if (truthy(includeFeatureNames)) {
        table.attr(attrName(Attr::columns)) =
            rangeIndex(py::int_(py::len(table.attr(attrName(Attr::columns)))));
    }
    restore.release();
    return py::none();
}

const MethodRow kSaveCSVRow = methodRow<saveCSV>(
    "_saveCSV_implementation", {"self", "outPath", "includePointNames", "includeFeatureNames"},
    "\n        Write the data in this object to a CSV file at the designated\n"
    "        path.\n        ");

py::object saveMTX(py::handle self, py::handle outPath, bool includePointNames,
                   bool includeFeatureNames) {
    // A writable file object is written as it is; anything else must be a path.
    py::object destination;
    if (!py::hasattr(outPath, "write")) destination = mtxDestination(outPath);
    py::object scipy = global(Name::scipy);
    if (!truthy(scipy.attr("kestroAccessible")())) {
        raise(global(Name::PackageException), "scipy is not available");
    }
    py::str separator(",");
    py::object comment = py::str("#");
    if (includePointNames) {
        comment = comment + separator.attr("join")(
                                self.attr(attrName(Attr::points)).attr(attrName(Attr::getNames))());
    }
    if (includeFeatureNames) {
        comment = comment + py::str("\n#") +
                  separator.attr("join")(
                      self.attr(attrName(Attr::features)).attr(attrName(Attr::getNames))());
    }
    py::object values = mtxValues(self);
    py::object mmwrite = scipy.attr("io").attr("mmwrite");
    if (!destination) {  // a file object of the caller's
        writeMatrixMarket(mmwrite, outPath, values, comment);
        return py::none();
    }
    ReplacingFile file(destination, false);
    file.writeWith(
        [&](const py::object& stream) { writeMatrixMarket(mmwrite, stream, values, comment); });
    return py::none();
}

const MethodRow kSaveMTXRow = methodRow<saveMTX>(
    "_saveMTX_implementation", {"self", "outPath", "includePointNames", "includeFeatureNames"},
    "\n        Write the data in this object to a matrix market file at the\n"
    "        designated path.\n        ");

}  // namespace kestro::native
