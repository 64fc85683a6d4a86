// Element-wise computation (transform, calculate) and queries on all values.
#include "dataframe.hpp"

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace kestro::native {

const char* const kTransformDoc =
    "\n        Apply ``toTransform`` to the selected elements in place, point by\n"
    "        point.\n        ";
const char* const kCalculateDoc =
    "\n        Apply ``function`` to every selected element and return the\n"
    "        results as a new pandas DataFrame.\n        ";
const char* const kCountUniqueDoc =
    "\n        Count the unique values of the selected points and features.\n        ";
const char* const kContainsZeroDoc =
    "\n        Returns True if there is a value that is equal to integer 0\n"
    "        contained in this object. False otherwise.\n        ";
const char* const kIsIdenticalDoc =
    "\n        True when ``other`` is a DataFrame holding identical values.\n        ";
const char* const kIterateElementsDoc =
    "\n        Iterator over the values in ``order`` (\"point\" or \"feature\").\n        ";

// ---------------------------------------------------------------------------
// Transform
//
// The observable contract is the element-by-element walk: for every (i, j)
// in point-major order read `_data.iat[i, j]`, call the function on the
// selected pairs, turn a datetime64 column into object when it receives a
// number or a string, and store the result with `_data.iloc[i, j] = result`.
//
// The walk here reads each value from the column's own array, exactly as
// `iat` does (`_ixs(j, axis=1)._values[i]`), and writes a result straight
// into the column's memory when it keeps the column's element type with no
// conversion by pandas (a float into float64, an exact integer into int64,
// a bool into bool, a plain scalar into object, a naive timestamp into
// datetime64[ns]).  Any other result goes through the literal `iloc`
// assignment (with the datetime rule) for that one element, after which the
// column's array is fetched again.  Writes land in place as they happen, so
// when the function raises, every earlier element holds its new value.
//
// The user function may change the object while it runs.  After every call
// the walk checks that `self._data` is still the same table with the same
// storage (pandas block manager and blocks).  Storage that changed in place
// (a column replaced, a dtype changed) only drops the cached column arrays.
// A replaced or resized table switches the rest of the walk to the literal
// route on whatever `self._data` then is, which is what the element walk
// itself would do (an out-of-range position raises IndexError from pandas);
// nothing is ever written to memory that is not the current table's.
// Under pandas' copy-on-write mode, for a table that pandas marks as a copy
// of another, or for a subclass of pandas' DataFrame, the whole walk takes
// the literal route.
// ---------------------------------------------------------------------------

namespace {

// Owns a writable one-dimensional buffer export of an array.
class ColumnBuffer {
public:
    ColumnBuffer() = default;
    ColumnBuffer(const ColumnBuffer&) = delete;
    ColumnBuffer& operator=(const ColumnBuffer&) = delete;
    ~ColumnBuffer() { release(); }

    // False (no exception set) when `array` offers no writable buffer of
    // `itemSize`-byte items and `length` entries.
    bool acquire(py::handle array, Py_ssize_t itemSize, Py_ssize_t length) {
        release();
        if (PyObject_GetBuffer(array.ptr(), &view_, PyBUF_RECORDS) < 0) {
            PyErr_Clear();
            return false;
        }
        held_ = true;
        if (view_.ndim != 1 || view_.itemsize != itemSize || view_.shape[0] != length) {
            release();
            return false;
        }
        return true;
    }

    void release() {
        if (held_ && mayTouchPython()) PyBuffer_Release(&view_);
        held_ = false;
    }

    template <typename T>
    T& at(Py_ssize_t i) {
        return *reinterpret_cast<T*>(static_cast<char*>(view_.buf) + i * view_.strides[0]);
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

enum class Kind { Unknown, Float64, Int64, Bool, DatetimeNs, Object, Other };

struct Column {
    Kind kind = Kind::Unknown;  // Unknown: not fetched since the last change
    py::object values;          // what `iat` indexes for this column
    ColumnBuffer memory;        // numeric kinds: the column's memory

    void reset() {
        memory.release();
        values = py::object();
        kind = Kind::Unknown;
    }
};

// A point or feature selection: None (everything) or a container asked
// `p in selection`.  Containers whose answer cannot run Python code (lists,
// tuples, sets of plain ints, ranges, numeric numpy arrays) are asked once
// per position up front; any other container is asked at every pair, in the
// order and number of the element walk.
class Selection {
public:
    Selection(py::handle selection, Py_ssize_t count)
        : source_(py::reinterpret_borrow<py::object>(selection)),
          count_(count),
          fixed_(selection.is_none() || quiet(selection)) {
        if (!fixed_) return;
        marks_.assign(static_cast<std::size_t>(count), selection.is_none() ? 1 : 0);
        if (selection.is_none()) return;
        if (PyList_CheckExact(selection.ptr()) || PyTuple_CheckExact(selection.ptr())) {
            py::object items = steal(PySequence_Fast(selection.ptr(), ""));
            const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.ptr());
            for (Py_ssize_t k = 0; k < n; ++k) {
                int overflow = 0;
                const long long p =
                    PyLong_AsLongLongAndOverflow(PySequence_Fast_GET_ITEM(items.ptr(), k), &overflow);
                if (p == -1 && PyErr_Occurred()) throw py::error_already_set();
                if (!overflow && p >= 0 && p < count) marks_[static_cast<std::size_t>(p)] = 1;
            }
            return;
        }
        for (Py_ssize_t p = 0; p < count; ++p) {
            marks_[static_cast<std::size_t>(p)] = static_cast<char>(contains(selection, py::int_(p)));
        }
    }

    Py_ssize_t size() const { return count_; }

    // True when the answer for `p` is known without asking Python.
    bool fixed() const { return fixed_; }
    bool marked(Py_ssize_t p) const { return marks_[static_cast<std::size_t>(p)] != 0; }

    // `p in selection` (always true for None).
    bool selected(Py_ssize_t p, py::handle position) const {
        if (fixed_) return marked(p);
        return contains(source_, position);
    }

private:
    // Containers whose `in` for an int runs no Python code.
    static bool quiet(py::handle selection) {
        PyObject* s = selection.ptr();
        if (PyRange_Check(s)) return true;
        if (PyList_CheckExact(s) || PyTuple_CheckExact(s)) {
            py::object items = steal(PySequence_Fast(s, ""));
            const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.ptr());
            for (Py_ssize_t k = 0; k < n; ++k) {
                if (!PyLong_CheckExact(PySequence_Fast_GET_ITEM(items.ptr(), k))) return false;
            }
            return true;
        }
        if (PySet_CheckExact(s) || PyFrozenSet_CheckExact(s)) {
            for (py::handle item : selection) {
                if (!PyLong_CheckExact(item.ptr())) return false;
            }
            return true;
        }
        py::object ndarray = global("np").attr("ndarray");
        if (Py_TYPE(s) == reinterpret_cast<PyTypeObject*>(ndarray.ptr())) {
            const char kind = selection.attr("dtype").attr("kind").cast<std::string>()[0];
            return kind == 'b' || kind == 'i' || kind == 'u' || kind == 'f';
        }
        return false;
    }

    py::object source_;
    Py_ssize_t count_;
    bool fixed_;
    std::vector<char> marks_;
};

constexpr long long kExactDoubleLimit = 1LL << 53;
constexpr long long kNaT = std::numeric_limits<long long>::min();

class Transformer {
public:
    Transformer(py::handle self, py::handle function, const Selection& rows,
                const Selection& cols)
        : self_(py::reinterpret_borrow<py::object>(self)),
          function_(py::reinterpret_borrow<py::object>(function)),
          rows_(rows),
          cols_(cols),
          numPoints_(rows_.size()),
          numFeatures_(cols_.size()),
          columns_(static_cast<std::size_t>(cols_.size())) {
        py::object np = global("np");
        pd_ = global("pd");
        numbers_ = global("numbers").attr("Number");
        datetime64_ = np.attr("datetime64");
        float64_ = np.attr("float64");
        int64_ = np.attr("int64");
        bool_ = np.attr("bool_");
        true_ = np.attr("True_");
        false_ = np.attr("False_");
        ndarray_ = np.attr("ndarray");
        timestamp_ = pd_.attr("Timestamp");
        nat_ = pd_.attr("NaT");
        dtypeFloat64_ = np.attr("dtype")("float64");
        dtypeInt64_ = np.attr("dtype")("int64");
        dtypeBool_ = np.attr("dtype")("bool");
        dtypeObject_ = np.attr("dtype")("O");
        dtypeDatetimeNs_ = np.attr("dtype")("<M8[ns]");
        dataName_ = py::str("_data");
        mgrName_ = py::str("_mgr");
        blocksName_ = py::str("blocks");
        oneArgName_ = py::str("oneArg");
        literal_ = !startFast();
    }

    void run() {
        for (Py_ssize_t i = 0; i < numPoints_; ++i) {
            if (!literal_ && rows_.fixed() && !rows_.marked(i)) continue;
            py::int_ point(i);
            for (Py_ssize_t j = 0; j < numFeatures_; ++j) {
                if (literal_) {
                    literalElement(i, j, point);
                } else if (selected(i, j, point)) {
                    fastElement(i, j, point);
                }
            }
        }
    }

private:
    // Fast route set-up: false when the literal route must do all the work.
    bool startFast() {
        try {
            py::object cow = pd_.attr("get_option")("mode.copy_on_write");
            if (truthy(cow)) return false;
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_Exception)) throw;
        }
        table_ = self_.attr(dataName_);
        // A subclass may give `iat`, `iloc` or its columns a meaning of its
        // own: only a plain pandas DataFrame is walked through its storage.
        if (!py::type::handle_of(table_).is(pd_.attr("DataFrame"))) return false;
        if (!py::getattr(table_, "_is_copy", py::none()).is_none()) return false;
        if (!py::hasattr(table_, mgrName_)) return false;
        return resync();
    }

    // Re-reads the storage of `table_`; false when the table no longer is
    // `self._data` or has another shape than the walk's.
    bool resync() {
        py::object current = self_.attr(dataName_);
        if (!current.is(table_)) return false;
        mgr_ = table_.attr(mgrName_);
        blocks_ = mgr_.attr(blocksName_);
        py::list key;
        for (py::handle block : blocks_) {
            key.append(block);
            key.append(block.attr("values"));
            key.append(block.attr("mgr_locs"));
        }
        if (!sameObjects(key, storageKey_)) {
            for (Column& column : columns_) column.reset();
            storageKey_ = key;
        }
        py::tuple shape(table_.attr("shape"));
        return shape[0].cast<Py_ssize_t>() == numPoints_ &&
               shape[1].cast<Py_ssize_t>() == numFeatures_;
    }

    static bool sameObjects(const py::list& a, const py::object& b) {
        if (!b || !PyList_Check(b.ptr())) return false;
        const Py_ssize_t n = PyList_GET_SIZE(a.ptr());
        if (PyList_GET_SIZE(b.ptr()) != n) return false;
        for (Py_ssize_t k = 0; k < n; ++k) {
            if (PyList_GET_ITEM(a.ptr(), k) != PyList_GET_ITEM(b.ptr(), k)) return false;
        }
        return true;
    }

    // Cheap test after each call into Python: same table, same storage.
    bool unchanged() {
        py::object current = steal(PyObject_GetAttr(self_.ptr(), dataName_.ptr()));
        if (!current.is(table_)) return false;
        py::object mgr = steal(PyObject_GetAttr(table_.ptr(), mgrName_.ptr()));
        if (!mgr.is(mgr_)) return false;
        py::object blocks = steal(PyObject_GetAttr(mgr.ptr(), blocksName_.ptr()));
        return blocks.is(blocks_);
    }

    void checkStorage() {
        if (!unchanged() && !resync()) {
            literal_ = true;
            for (Column& column : columns_) column.reset();
        }
    }

    Column& column(Py_ssize_t j) {
        Column& c = columns_[static_cast<std::size_t>(j)];
        if (c.kind != Kind::Unknown) return c;
        py::object series = table_.attr("_ixs")(j, py::arg("axis") = 1);
        c.values = series.attr("_values");
        c.kind = Kind::Other;
        py::object dtype = series.attr("dtype");
        if (Py_TYPE(c.values.ptr()) == reinterpret_cast<PyTypeObject*>(ndarray_.ptr())) {
            if (dtype.equal(dtypeFloat64_)) {
                if (c.memory.acquire(c.values, 8, numPoints_)) c.kind = Kind::Float64;
            } else if (dtype.equal(dtypeInt64_)) {
                if (c.memory.acquire(c.values, 8, numPoints_)) c.kind = Kind::Int64;
            } else if (dtype.equal(dtypeBool_)) {
                if (c.memory.acquire(c.values, 1, numPoints_)) c.kind = Kind::Bool;
            } else if (dtype.equal(dtypeObject_)) {
                if (truthy(c.values.attr("flags").attr("writeable")) &&
                    py::len(c.values) == static_cast<std::size_t>(numPoints_)) {
                    c.kind = Kind::Object;
                }
            }
        } else if (dtype.equal(dtypeDatetimeNs_) && py::hasattr(c.values, "_ndarray")) {
            py::object integers = c.values.attr("_ndarray").attr("view")("i8");
            if (c.memory.acquire(integers, 8, numPoints_)) c.kind = Kind::DatetimeNs;
        }
        return c;
    }

    // The flag is asked for at every call, as the element walk does: a
    // function may change it, and a walk that calls nothing never asks.
    py::object call(py::handle value, py::handle point, Py_ssize_t j) {
        if (++calls_ % 4096 == 0 && PyErr_CheckSignals() < 0) throw py::error_already_set();
        py::object oneArg = steal(PyObject_GetAttr(function_.ptr(), oneArgName_.ptr()));
        if (truthy(oneArg)) {
            PyObject* args[2] = {nullptr, value.ptr()};
            return steal(PyObject_Vectorcall(function_.ptr(), args + 1,
                                             1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        }
        py::int_ feature(j);
        PyObject* args[4] = {nullptr, value.ptr(), point.ptr(), feature.ptr()};
        return steal(PyObject_Vectorcall(function_.ptr(), args + 1,
                                         3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }

    void fastElement(Py_ssize_t i, Py_ssize_t j, py::handle point) {
        py::object value = steal(PySequence_GetItem(column(j).values.ptr(), i));
        py::object result = call(value, point, j);
        checkStorage();
        if (!literal_ && store(column(j), i, result)) return;
        literalStore(i, j, result);
        if (!literal_) checkStorage();
    }

    // Writes `result` into the column's memory when pandas would store it
    // there unchanged; false when the literal assignment must decide.
    bool store(Column& c, Py_ssize_t i, py::handle result) {
        PyObject* r = result.ptr();
        PyTypeObject* type = Py_TYPE(r);
        switch (c.kind) {
            case Kind::Float64: {
                if (type == &PyFloat_Type || type == asType(float64_)) {
                    c.memory.at<double>(i) = PyFloat_AS_DOUBLE(r);
                    return true;
                }
                long long v;
                if ((type == &PyLong_Type || type == asType(int64_)) && asLongLong(r, v) &&
                    v >= -kExactDoubleLimit && v <= kExactDoubleLimit) {
                    c.memory.at<double>(i) = static_cast<double>(v);
                    return true;
                }
                return false;
            }
            case Kind::Int64: {
                long long v;
                if ((type == &PyLong_Type || type == asType(int64_)) && asLongLong(r, v)) {
                    c.memory.at<std::int64_t>(i) = static_cast<std::int64_t>(v);
                    return true;
                }
                return false;
            }
            case Kind::Bool:
                if (r == Py_True || r == true_.ptr()) {
                    c.memory.at<std::uint8_t>(i) = 1;
                    return true;
                }
                if (r == Py_False || r == false_.ptr()) {
                    c.memory.at<std::uint8_t>(i) = 0;
                    return true;
                }
                return false;
            case Kind::DatetimeNs: {
                if (r == nat_.ptr()) {
                    c.memory.at<std::int64_t>(i) = kNaT;
                    return true;
                }
                long long v;
                if (type == asType(timestamp_) && naiveNanoseconds(result, v)) {
                    c.memory.at<std::int64_t>(i) = static_cast<std::int64_t>(v);
                    return true;
                }
                return false;
            }
            case Kind::Object:
                if (r == Py_None || type == &PyBool_Type || type == &PyLong_Type ||
                    type == &PyFloat_Type || type == &PyUnicode_Type ||
                    type == asType(float64_) || type == asType(int64_) || type == asType(bool_)) {
                    if (PySequence_SetItem(c.values.ptr(), i, r) < 0) throw py::error_already_set();
                    return true;
                }
                return false;
            default:
                return false;
        }
    }

    static PyTypeObject* asType(const py::object& cls) {
        return reinterpret_cast<PyTypeObject*>(cls.ptr());
    }

    // An integer's value as long long; false (no exception set) when it
    // does not fit.
    static bool asLongLong(PyObject* value, long long& out) {
        int overflow = 0;
        out = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (out == -1 && PyErr_Occurred()) throw py::error_already_set();
        return overflow == 0;
    }

    // A timezone-naive timestamp's nanoseconds since the epoch; false when
    // the timestamp is aware or out of the nanosecond range.
    static bool naiveNanoseconds(py::handle stamp, long long& out) {
        if (!stamp.attr("tzinfo").is_none()) return false;
        PyObject* value = PyObject_GetAttrString(stamp.ptr(), "value");
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::error_already_set();
            PyErr_Clear();
            return false;
        }
        py::object owned = py::reinterpret_steal<py::object>(value);
        return PyLong_CheckExact(value) && asLongLong(value, out) && out != kNaT;
    }

    // `i in points`, then (only when it holds) `j in features`.
    bool selected(Py_ssize_t i, Py_ssize_t j, py::handle point) {
        if (!rows_.selected(i, point)) return false;
        if (cols_.fixed()) return cols_.marked(j);
        return cols_.selected(j, py::int_(j));
    }

    // One pair of the literal walk: read, select, call, store.
    void literalElement(Py_ssize_t i, Py_ssize_t j, py::handle point) {
        py::tuple position = py::make_tuple(point, j);
        py::object value = self_.attr(dataName_).attr("iat")[position];
        if (!selected(i, j, point)) return;
        py::object result = call(value, point, j);
        literalStore(i, j, result);
    }

    // `_data.iloc[i, j] = result`, first turning a datetime64 column into
    // object when it receives a number or a string.
    void literalStore(Py_ssize_t i, Py_ssize_t j, py::handle result) {
        py::int_ feature(j);
        py::object dtype = self_.attr(dataName_).attr("dtypes").attr("iloc")[feature];
        py::object elementType = dtype.attr("type");
        if (elementType.equal(datetime64_) &&
            (isInstance(result, numbers_) || isInstance(result, builtinType(&PyUnicode_Type)))) {
            py::object converted =
                self_.attr(dataName_)[feature].attr("astype")(builtinType(&PyBaseObject_Type));
            self_.attr(dataName_)[feature] = converted;
        }
        py::tuple position = py::make_tuple(i, j);
        // pandas 2.1+ warns (FutureWarning) when this assignment upcasts the
        // column, e.g. a str into an int64 column; the upcast is the defined
        // behaviour of transform, so the notice stays inside the package.
        IgnoredWarnings quiet(PyExc_FutureWarning, "Setting an item of incompatible dtype");
        self_.attr(dataName_).attr("iloc")[position] = result;
    }

    py::object self_, function_;
    const Selection& rows_;
    const Selection& cols_;
    Py_ssize_t numPoints_, numFeatures_;
    bool literal_ = false;
    std::uint64_t calls_ = 0;
    std::vector<Column> columns_;

    py::object table_, mgr_, blocks_, storageKey_;
    py::object pd_, numbers_, datetime64_, float64_, int64_, bool_, true_, false_, ndarray_,
        timestamp_, nat_;
    py::object dtypeFloat64_, dtypeInt64_, dtypeBool_, dtypeObject_, dtypeDatetimeNs_;
    py::str dataName_, mgrName_, blocksName_, oneArgName_;
};

}  // namespace

py::object transform(py::handle self, py::handle toTransform, py::handle points,
                     py::handle features) {
    const Py_ssize_t numPoints = static_cast<Py_ssize_t>(py::len(self.attr("points")));
    const Py_ssize_t numFeatures = static_cast<Py_ssize_t>(py::len(self.attr("features")));
    if (numPoints == 0 || numFeatures == 0) return py::none();
    Selection rows(points, numPoints);
    Selection cols(features, numFeatures);
    Transformer walk(self, toTransform, rows, cols);
    walk.run();
    return py::none();
}

// ---------------------------------------------------------------------------
// Calculate
// ---------------------------------------------------------------------------

py::object calculate(py::handle self, py::handle function, py::handle points,
                     py::handle features, py::handle /*preserveZeros*/) {
    py::object table = backingTable(self);
    py::object toCalculate = table;
    if (!points.is_none() || !features.is_none()) {
        py::object all = slice(py::none(), py::none());
        py::object rows = points.is_none() ? all : py::reinterpret_borrow<py::object>(points);
        py::object cols = features.is_none() ? all : py::reinterpret_borrow<py::object>(features);
        toCalculate = table.attr("iloc")[py::make_tuple(rows, cols)];
    }
    // `DataFrame.map` replaced `applymap` (which now warns) in newer pandas.
    const char* elementwise =
        py::hasattr(global("pd").attr("DataFrame"), "map") ? "map" : "applymap";
    py::object ret = toCalculate.attr(elementwise)(function);
    py::tuple shape(ret.attr("shape"));
    ret.attr("index") = rangeIndex(shape[0]);
    ret.attr("columns") = rangeIndex(shape[1]);
    return ret;
}

// Queries --------------------------------------------------------------------

py::object countUnique(py::handle self, py::handle points, py::handle features) {
    return global("denseCountUnique")(self, points, features);
}

py::object containsZero(py::handle self) {
    py::object values = self.attr("_asNumpyArray")();
    py::int_ zero(0);
    const int found = PySequence_Contains(values.ptr(), zero.ptr());
    if (found < 0) throw py::error_already_set();
    return py::bool_(found != 0);
}

py::object isIdentical(py::handle self, py::handle other) {
    if (!isInstance(other, dataFrameClass())) return py::bool_(false);
    py::object identical = global("allDataIdentical");
    py::object mine = self.attr("_asNumpyArray")();
    py::object theirs = other.attr("_asNumpyArray")();
    return identical(mine, theirs);
}

py::object iterateElements(py::handle self, py::handle order, py::handle only) {
    py::object iterator = global("KestroElementIterator");
    py::object values = self.attr("_asNumpyArray")();
    return iterator(values, order, only);
}

}  // namespace kestro::native
