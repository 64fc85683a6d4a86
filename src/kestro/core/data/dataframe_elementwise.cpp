// Element-wise computation (transform, calculate) and queries on all values.
#include "dataframe.hpp"
#include "pandas_storage.hpp"

#include <algorithm>
#include <cmath>
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
// selected pairs, refuse a result a data object cannot hold, and store the
// result with `_data.iloc[i, j] = result`, the column first widened to an
// element type that holds the result (a datetime64 column receiving a
// number or a string becomes object; an int64 column an integer beyond its
// range becomes object; see `widenedType`).
//
// The walk here reads each value from the column's own array, exactly as
// `iat` does, and writes a result straight into the column's memory when it
// keeps the column's element type with no conversion by pandas (a float
// into float64, an exact integer into int64, a bool into bool, a plain
// scalar into object, a naive timestamp into datetime64 of the column's
// unit).  Any other result goes through the literal assignment for that one
// element, after which the column's array is fetched again.  Writes land in
// place as they happen, so when the function raises, every earlier element
// holds its new value.
//
// The user function may change the object while it runs.  After every call
// the walk checks that `self._data` is still the same table with the same
// storage (pandas block manager and blocks).  Storage that changed in place
// (a column replaced, a dtype changed) only drops the cached column arrays.
// A replaced or resized table switches the rest of the walk to the literal
// route on whatever `self._data` then is, which is what the element walk
// itself would do (an out-of-range position raises IndexError from pandas);
// nothing is ever written to memory that is not the current table's.
// Under copy-on-write a column whose memory another pandas object shares is
// written through pandas, which copies it first; a subclass of pandas'
// DataFrame, or a table whose storage pandas does not expose, takes the
// literal route for the whole walk (see pandas_storage.hpp).
// ---------------------------------------------------------------------------

namespace {

// Whether `value` is one of the plain element types every data object holds
// (tested before asking the host's `isAllowedSingleElement`).
bool plainElement(py::handle value) {
    PyTypeObject* type = Py_TYPE(value.ptr());
    return value.is_none() || type == &PyFloat_Type || type == &PyLong_Type ||
           type == &PyBool_Type || type == &PyUnicode_Type;
}

// InvalidArgumentValue for a function result a data object cannot hold.
[[noreturn]] void refuseResult(py::handle value, py::handle point, py::handle feature) {
    const std::string message =
        "the function returned a value of type '" +
        py::str(py::type::handle_of(value).attr("__name__")).cast<std::string>() +
        "' for point " + py::str(point).cast<std::string>() + ", feature " +
        py::str(feature).cast<std::string>() + ", which a data object cannot hold";
    raise(global(Name::InvalidArgumentValue), message.c_str());
}

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

enum class Kind { Unknown, Float64, Int64, Bool, Datetime, Object, Other };

// Rows of a datetime column boxed per call of pandas' own boxing (one
// Timestamp per element costs microseconds through the array's indexer).
constexpr Py_ssize_t kBoxedRows = 4096;

struct Column {
    Kind kind = Kind::Unknown;  // Unknown: not fetched since the last change
    py::object values;          // what `iat` indexes for this column
    ColumnBuffer memory;        // numeric kinds: the column's memory
    long long unitNanoseconds = 1;  // datetime kind: nanoseconds per stored unit
    // Datetime kind: Timestamps of rows boxedStart... and the stored values
    // they were boxed from.
    py::list boxed;
    Py_ssize_t boxedStart = 0;
    std::vector<std::int64_t> boxedFrom;

    void reset() {
        memory.release();
        values = py::object();
        boxed = py::list();
        boxedFrom.clear();
        kind = Kind::Unknown;
    }

    // Whether the boxed Timestamp of row `i` is still what the column holds.
    bool holdsBoxed(Py_ssize_t i) {
        const Py_ssize_t k = i - boxedStart;
        return k >= 0 && k < static_cast<Py_ssize_t>(boxedFrom.size()) &&
               memory.at<std::int64_t>(i) == boxedFrom[static_cast<std::size_t>(k)];
    }
};

// A point or feature selection: None (everything) or a container asked
// `p in selection`.  Containers that cannot change and whose answer runs no
// Python code (ranges, tuples and frozensets of plain ints) are asked once
// per position up front.  A list of plain ints is read up front too, and
// read again whenever its items are no longer the ones read, so that a
// function that edits the list is seen as the element walk sees it.  Any
// other container is asked at every pair, in the order and number of the
// element walk.
class Selection {
public:
    Selection(py::handle selection, Py_ssize_t count)
        : source_(py::reinterpret_borrow<py::object>(selection)),
          count_(count),
          isList_(PyList_CheckExact(selection.ptr())) {
        if (selection.is_none()) {
            fixed_ = true;
            marks_.assign(static_cast<std::size_t>(count), 1);
        } else if (PyRange_Check(selection.ptr()) || isList_ ||
                   ((PyTuple_CheckExact(selection.ptr()) ||
                     PyFrozenSet_CheckExact(selection.ptr())) &&
                    allPlainInts(selection))) {
            mark();
        }
    }

    Py_ssize_t size() const { return count_; }

    // True when the answer for every position is known without asking
    // Python (after a possible re-read of an edited list).
    bool fixed() {
        if (isList_) refresh();
        return fixed_;
    }
    bool marked(Py_ssize_t p) const { return marks_[static_cast<std::size_t>(p)] != 0; }

    // `p in selection` (always true for None).
    bool selected(Py_ssize_t p, py::handle position) {
        if (fixed()) return marked(p);
        return contains(source_, position);
    }

private:
    static bool allPlainInts(py::handle items) {
        for (py::handle item : items) {
            if (!PyLong_CheckExact(item.ptr())) return false;
        }
        return true;
    }

    void mark() {
        fixed_ = true;
        if (isList_) {
            read_ = steal(PyList_AsTuple(source_.ptr()));
            if (!allPlainInts(read_)) {
                fixed_ = false;
                return;
            }
        }
        marks_.assign(static_cast<std::size_t>(count_), 0);
        if (PyRange_Check(source_.ptr())) {
            for (Py_ssize_t p = 0; p < count_; ++p) {
                marks_[static_cast<std::size_t>(p)] =
                    static_cast<char>(contains(source_, py::int_(p)));
            }
            return;
        }
        for (py::handle item : isList_ ? read_ : source_) {
            int overflow = 0;
            const long long p = PyLong_AsLongLongAndOverflow(item.ptr(), &overflow);
            if (p == -1 && PyErr_Occurred()) throw py::error_already_set();
            if (!overflow && p >= 0 && p < count_) marks_[static_cast<std::size_t>(p)] = 1;
        }
    }

    // Re-reads the list when its items are not the ones read last.  The
    // read tuple holds the items, so equal pointers mean the same ints.
    void refresh() {
        const Py_ssize_t n = PyList_GET_SIZE(source_.ptr());
        bool same = read_ && PyTuple_GET_SIZE(read_.ptr()) == n;
        for (Py_ssize_t k = 0; same && k < n; ++k) {
            same = PyList_GET_ITEM(source_.ptr(), k) == PyTuple_GET_ITEM(read_.ptr(), k);
        }
        if (!same) mark();
    }

    py::object source_;
    py::object read_;  // a list's items as last read
    Py_ssize_t count_;
    bool isList_;
    bool fixed_ = false;
    std::vector<char> marks_;
};

constexpr long long kExactDoubleLimit = 1LL << 53;
constexpr long long kNaT = std::numeric_limits<long long>::min();

// Nanoseconds per unit of a numpy datetime64 unit name; 0 for other units.
long long nanosecondsPer(const std::string& unit) {
    if (unit == "ns") return 1;
    if (unit == "us") return 1000;
    if (unit == "ms") return 1000000;
    if (unit == "s") return 1000000000;
    return 0;
}

class Transformer {
public:
    Transformer(py::handle self, py::handle function, Selection& rows, Selection& cols)
        : self_(py::reinterpret_borrow<py::object>(self)),
          function_(py::reinterpret_borrow<py::object>(function)),
          rows_(rows),
          cols_(cols),
          numPoints_(rows_.size()),
          numFeatures_(cols_.size()),
          columns_(static_cast<std::size_t>(cols_.size())) {
        py::object np = global(Name::np);
        pd_ = global(Name::pd);
        numbers_ = global(Name::numbers).attr("Number");
        isAllowed_ = global(Name::isAllowedSingleElement);
        float64_ = np.attr("float64");
        int64_ = np.attr("int64");
        bool_ = np.attr("bool_");
        integer_ = np.attr("integer");
        floating_ = np.attr("floating");
        true_ = np.attr("True_");
        false_ = np.attr("False_");
        nan_ = np.attr("nan");
        ndarray_ = np.attr("ndarray");
        timestamp_ = pd_.attr("Timestamp");
        nat_ = pd_.attr("NaT");
        npDtype_ = np.attr("dtype");
        objectType_ = np.attr("dtype")(builtinType(&PyBaseObject_Type));
        dtypeFloat64_ = np.attr("dtype")("float64");
        dtypeInt64_ = np.attr("dtype")("int64");
        dtypeBool_ = np.attr("dtype")("bool");
        dtypeObject_ = np.attr("dtype")("O");
        dtypeComplex_ = np.attr("dtype")("complex128");
        dataName_ = heldName(Attr::data);
        oneArgName_ = heldName(Attr::oneArg);
        tzinfoName_ = heldName(Attr::tzinfo);
        valueName_ = heldName(Attr::value);
        copyOnWrite_ = copyOnWrite(pd_);
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
        table_ = self_.attr(dataName_);
        // A subclass may give `iat`, `iloc` or its columns a meaning of its
        // own: only a plain pandas DataFrame is walked through its storage.
        if (!storage_.usable(table_, pd_.attr("DataFrame"))) return false;
        return resync();
    }

    // Re-reads the storage of `table_`; false when the table no longer is
    // `self._data` or has another shape than the walk's.
    bool resync() {
        py::object current = self_.attr(dataName_);
        if (!current.is(table_)) return false;
        mgr_ = storage_.manager(table_);
        blocks_ = storage_.blocks(mgr_);
        py::list key = storage_.blockKey(blocks_);
        if (!sameObjects(key, storageKey_)) {
            for (Column& column : columns_) column.reset();
            storageKey_ = key;
        }
        py::tuple shape(table_.attr(attrName(Attr::shape)));
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
        py::object mgr = storage_.manager(table_);
        if (!mgr.is(mgr_)) return false;
        return storage_.blocks(mgr).is(blocks_);
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
        c.values = storage_.columnValues(table_, j);
        c.kind = Kind::Other;
        // A column whose memory other pandas objects share is written
        // through pandas, which copies it first.
        if (!storage_.exclusive(table_, j, copyOnWrite_)) return c;
        py::object dtype = c.values.attr(attrName(Attr::dtype));
        if (Py_TYPE(c.values.ptr()) == reinterpret_cast<PyTypeObject*>(ndarray_.ptr())) {
            c.kind = arrayKind(c, dtype);
        } else if (isInstance(dtype, npDtype_) && equals(dtype.attr(attrName(Attr::kind)), "M")) {
            c.kind = datetimeKind(c, dtype);
        }
        return c;
    }

    // The kind of a numpy column, its memory held for the numeric kinds.
    Kind arrayKind(Column& c, py::handle dtype) {
        struct Numeric {
            const py::object& dtype;
            Py_ssize_t itemSize;
            Kind kind;
        };
        for (const Numeric& numeric :
             {Numeric{dtypeFloat64_, 8, Kind::Float64}, Numeric{dtypeInt64_, 8, Kind::Int64},
              Numeric{dtypeBool_, 1, Kind::Bool}}) {
            if (!numeric.dtype.equal(dtype)) continue;
            return c.memory.acquire(c.values, numeric.itemSize, numPoints_) ? numeric.kind
                                                                            : Kind::Other;
        }
        const bool writableObjects =
            dtypeObject_.equal(dtype) &&
            truthy(c.values.attr(attrName(Attr::flags)).attr(attrName(Attr::writeable))) &&
            py::len(c.values) == static_cast<std::size_t>(numPoints_);
        return writableObjects ? Kind::Object : Kind::Other;
    }

    // A timezone-naive datetime64 column of any unit: its integer memory.
    Kind datetimeKind(Column& c, py::handle dtype) {
        c.unitNanoseconds =
            nanosecondsPer(py::str(global(Name::np).attr("datetime_data")(dtype)[py::int_(0)])
                               .cast<std::string>());
        py::object integers = storage_.datetimeIntegers(c.values);
        const bool held = c.unitNanoseconds != 0 && !integers.is_none() &&
                          c.memory.acquire(integers, 8, numPoints_);
        return held ? Kind::Datetime : Kind::Other;
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

    // Refuses a result a data object cannot hold, before anything is
    // stored; the common exact types are accepted without asking the host.
    void checkResult(py::handle result, Py_ssize_t i, Py_ssize_t j) {
        PyTypeObject* type = Py_TYPE(result.ptr());
        if (plainElement(result) || type == asType(float64_) || type == asType(int64_) ||
            type == asType(bool_) || type == asType(timestamp_) || truthy(isAllowed_(result))) {
            return;
        }
        refuseResult(result, py::int_(i), py::int_(j));
    }

    // The value `iat` gives for row `i` of a column.  A datetime column's
    // values are boxed a chunk of rows at a time by iterating a slice of its
    // array, which boxes exactly as the indexer does; a boxed value is handed
    // out only while the column's memory still holds the value it came from.
    py::object read(Column& c, Py_ssize_t i) {
        if (c.kind != Kind::Datetime) return steal(PySequence_GetItem(c.values.ptr(), i));
        if (!c.holdsBoxed(i)) {
            const Py_ssize_t stop = std::min(i + kBoxedRows, numPoints_);
            py::object rows = c.values[slice(py::int_(i), py::int_(stop))];
            py::list boxed = steal(PySequence_List(rows.ptr()));
            if (static_cast<Py_ssize_t>(boxed.size()) != stop - i) {
                return steal(PySequence_GetItem(c.values.ptr(), i));
            }
            c.boxed = boxed;
            c.boxedStart = i;
            c.boxedFrom.resize(static_cast<std::size_t>(stop - i));
            for (Py_ssize_t k = i; k < stop; ++k) {
                c.boxedFrom[static_cast<std::size_t>(k - i)] = c.memory.at<std::int64_t>(k);
            }
        }
        return py::reinterpret_borrow<py::object>(PyList_GET_ITEM(c.boxed.ptr(), i - c.boxedStart));
    }

    void fastElement(Py_ssize_t i, Py_ssize_t j, py::handle point) {
        py::object value = read(column(j), i);
        py::object result = call(value, point, j);
        checkResult(result, i, j);
        checkStorage();
        if (!literal_ && store(column(j), i, result)) return;
        literalStore(i, j, result);
        if (!literal_) checkStorage();
    }

    // Writes `result` into the column's memory when pandas would store it
    // there unchanged; false when the literal assignment must decide.
    bool store(Column& c, Py_ssize_t i, py::handle result) {
        switch (c.kind) {
            case Kind::Float64: return storeFloat(c, i, result.ptr());
            case Kind::Int64: return storeInt(c, i, result.ptr());
            case Kind::Bool: return storeBool(c, i, result.ptr());
            case Kind::Datetime: return storeDatetime(c, i, result);
            case Kind::Object: return storeObject(c, i, result.ptr());
            default: return false;
        }
    }

    bool storeFloat(Column& c, Py_ssize_t i, PyObject* r) {
        PyTypeObject* type = Py_TYPE(r);
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

    bool storeInt(Column& c, Py_ssize_t i, PyObject* r) {
        PyTypeObject* type = Py_TYPE(r);
        long long v;
        if ((type == &PyLong_Type || type == asType(int64_)) && asLongLong(r, v)) {
            c.memory.at<std::int64_t>(i) = static_cast<std::int64_t>(v);
            return true;
        }
        return false;
    }

    bool storeBool(Column& c, Py_ssize_t i, PyObject* r) {
        if (r == Py_True || r == true_.ptr()) {
            c.memory.at<std::uint8_t>(i) = 1;
            return true;
        }
        if (r == Py_False || r == false_.ptr()) {
            c.memory.at<std::uint8_t>(i) = 0;
            return true;
        }
        return false;
    }

    // NaT, or a naive timestamp that the column's unit holds exactly.
    bool storeDatetime(Column& c, Py_ssize_t i, py::handle result) {
        if (result.is(nat_)) {
            c.memory.at<std::int64_t>(i) = kNaT;
            return true;
        }
        long long v;
        if (Py_TYPE(result.ptr()) == asType(timestamp_) && naiveNanoseconds(result, v) &&
            v % c.unitNanoseconds == 0) {
            c.memory.at<std::int64_t>(i) = static_cast<std::int64_t>(v / c.unitNanoseconds);
            return true;
        }
        return false;
    }

    bool storeObject(Column& c, Py_ssize_t i, PyObject* r) {
        PyTypeObject* type = Py_TYPE(r);
        if (r == Py_None || type == &PyBool_Type || type == &PyLong_Type ||
            type == &PyFloat_Type || type == &PyUnicode_Type || type == asType(float64_) ||
            type == asType(int64_) || type == asType(bool_)) {
            if (PySequence_SetItem(c.values.ptr(), i, r) < 0) throw py::error_already_set();
            return true;
        }
        return false;
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
    bool naiveNanoseconds(py::handle stamp, long long& out) const {
        if (!steal(PyObject_GetAttr(stamp.ptr(), tzinfoName_.ptr())).is_none()) return false;
        PyObject* value = PyObject_GetAttr(stamp.ptr(), valueName_.ptr());
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
        py::object value = self_.attr(dataName_).attr(attrName(Attr::iat))[position];
        if (!selected(i, j, point)) return;
        py::object result = call(value, point, j);
        checkResult(result, i, j);
        literalStore(i, j, result);
    }

    // `_data.iloc[i, j] = result`, the column first widened to the type
    // that holds the result exactly, so that pandas only ever stores a
    // value its column can hold.
    void literalStore(Py_ssize_t i, Py_ssize_t j, py::handle result) {
        py::object value = py::reinterpret_borrow<py::object>(result);
        py::object widened = widenedType(j, value);
        if (widened) {
            py::object table = self_.attr(dataName_);
            py::object column = ilocColumns(table, py::int_(j));
            table.attr(attrName(Attr::isetitem))(j, column.attr(attrName(Attr::astype))(widened));
        }
        self_.attr(dataName_).attr(attrName(Attr::iloc))[py::make_tuple(i, j)] = value;
    }

    // The element type column `j` must take before it can hold `value`, or
    // a null handle when it holds it as it is.  Integers stay exact: one
    // that int64 cannot hold makes an object column.  A boolean column
    // receiving None holds NaN, as pandas stores it there.
    py::object widenedType(Py_ssize_t j, py::object& value) {
        py::object dtype = self_.attr(dataName_)
                               .attr(attrName(Attr::dtypes))
                               .attr(attrName(Attr::iloc))[py::int_(j)];
        if (equals(dtype.attr(attrName(Attr::kind)), "M")) {
            const bool text = PyUnicode_Check(value.ptr());
            return text || isInstance(value, numbers_) ? objectType_ : py::object();
        }
        if (dtype.equal(dtypeInt64_)) return widenedInt64(value);
        if (dtype.equal(dtypeFloat64_)) return widenedFloat64(value);
        if (dtype.equal(dtypeBool_)) {
            if (isBool(value)) return py::object();
            if (value.is_none()) value = nan_;
            return objectType_;
        }
        return py::object();
    }

    bool isBool(py::handle value) const {
        return PyBool_Check(value.ptr()) || Py_TYPE(value.ptr()) == asType(bool_);
    }
    bool isInt(py::handle value) const {
        return !isBool(value) && (PyLong_Check(value.ptr()) || isInstance(value, integer_));
    }
    bool isFloat(py::handle value) const {
        return PyFloat_Check(value.ptr()) || isInstance(value, floating_);
    }
    bool isComplex(py::handle value) const {
        return !isBool(value) && PyComplex_Check(value.ptr());
    }

    py::object widenedInt64(py::handle value) const {
        if (isInt(value)) return fitsInt64(value) ? py::object() : objectType_;
        if (isFloat(value)) return integralInt64(value) ? py::object() : dtypeFloat64_;
        if (value.is_none()) return dtypeFloat64_;
        return isComplex(value) ? dtypeComplex_ : objectType_;
    }

    py::object widenedFloat64(py::handle value) const {
        if (isInt(value) || isFloat(value) || value.is_none()) return py::object();
        return isComplex(value) ? dtypeComplex_ : objectType_;
    }

    static bool fitsInt64(py::handle value) {
        py::object asInt = steal(PyNumber_Index(value.ptr()));
        long long v;
        return asLongLong(asInt.ptr(), v);
    }

    // A float that int64 holds without change (2.0, not 2.5 or NaN).
    static bool integralInt64(py::handle value) {
        const double v = PyFloat_AsDouble(value.ptr());
        if (v == -1.0 && PyErr_Occurred()) throw py::error_already_set();
        return std::isfinite(v) && v == std::trunc(v) && v >= -9223372036854775808.0 &&
               v < 9223372036854775808.0;
    }

    py::object self_, function_;
    Selection& rows_;
    Selection& cols_;
    Py_ssize_t numPoints_, numFeatures_;
    bool literal_ = false;
    bool copyOnWrite_ = false;
    std::uint64_t calls_ = 0;
    std::vector<Column> columns_;
    PandasStorage storage_;

    py::object table_, mgr_, blocks_, storageKey_;
    py::object pd_, numbers_, isAllowed_, float64_, int64_, bool_, integer_, floating_, true_,
        false_, nan_, ndarray_, timestamp_, nat_;
    py::object npDtype_, objectType_, dtypeFloat64_, dtypeInt64_, dtypeBool_, dtypeObject_, dtypeComplex_;
    py::object dataName_, oneArgName_, tzinfoName_, valueName_;
};

}  // namespace

py::object transform(py::handle self, py::handle toTransform, py::handle points,
                     py::handle features) {
    const Py_ssize_t numPoints =
        static_cast<Py_ssize_t>(py::len(self.attr(attrName(Attr::points))));
    const Py_ssize_t numFeatures =
        static_cast<Py_ssize_t>(py::len(self.attr(attrName(Attr::features))));
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

namespace {

// The user's function, keeping every result in call order: a builtin of
// one argument, `state` = (function, results list), so that pandas calls it
// at the cost of a plain C call.  Not noexcept: a daemon thread the
// interpreter ends at exit unwinds through it.
PyObject* recordResult(PyObject* state, PyObject* value) {
    PyObject* result = PyObject_CallOneArg(PyTuple_GET_ITEM(state, 0), value);
    if (result != nullptr && PyList_Append(PyTuple_GET_ITEM(state, 1), result) < 0) {
        Py_DECREF(result);
        return nullptr;
    }
    return result;
}

PyMethodDef kRecordResult = {"record", recordResult, METH_O, nullptr};

// The results recorded in call order (column by column, top to bottom) as a
// table shaped like `table`, or None when pandas did not call the function
// once per element.
py::object columnsOf(const py::list& results, py::handle table) {
    py::tuple shape(table.attr(attrName(Attr::shape)));
    const auto rows = shape[0].cast<Py_ssize_t>();
    const auto cols = shape[1].cast<Py_ssize_t>();
    if (static_cast<Py_ssize_t>(results.size()) != rows * cols) return py::none();
    py::object flat = global(Name::np).attr("empty")(
        rows * cols, py::arg("dtype") = builtinType(&PyBaseObject_Type));
    // One item at a time: a sequence among the results stays one element.
    for (Py_ssize_t k = 0; k < rows * cols; ++k) {
        if (PySequence_SetItem(flat.ptr(), k, PyList_GET_ITEM(results.ptr(), k)) < 0) {
            throw py::error_already_set();
        }
    }
    return flat.attr(attrName(Attr::reshape))(py::make_tuple(cols, rows)).attr(attrName(Attr::T));
}

// The first value of an object-like column that a data object cannot hold,
// searched up to row `limit`; `row` receives its position.
py::object firstRefused(py::handle column, Py_ssize_t limit, Py_ssize_t& row) {
    py::object isAllowed = global(Name::isAllowedSingleElement);
    for (Py_ssize_t i = 0; i < limit; ++i) {
        py::object value = steal(PySequence_GetItem(column.ptr(), i));
        if (plainElement(value) || truthy(isAllowed(value))) continue;
        row = i;
        return value;
    }
    return py::object();
}

// Refuses a result that a data object cannot hold, naming its position in
// the object (the first one in point-major order).
void checkResults(py::handle table, py::handle points, py::handle features) {
    py::tuple shape(table.attr(attrName(Attr::shape)));
    Py_ssize_t badRow = shape[0].cast<Py_ssize_t>(), badCol = 0;
    py::object badValue;
    py::object iloc = table.attr(attrName(Attr::iloc));
    py::object objectType = global(Name::np).attr("dtype")(builtinType(&PyBaseObject_Type));
    Py_ssize_t j = 0;
    for (const py::object& dtype : PandasStorage().columnTypes(table)) {
        const std::string kind = py::str(dtype.attr(attrName(Attr::kind))).cast<std::string>();
        if (kind == "O" || kind == "m" || kind == "V" || kind == "S") {
            py::object column =
                iloc[py::make_tuple(slice(py::none(), py::none()), py::int_(j))].attr(
                    attrName(Attr::to_numpy))(py::arg("dtype") = objectType);
            Py_ssize_t row = 0;
            py::object value = firstRefused(column, badRow, row);
            if (value) {
                badRow = row;
                badCol = j;
                badValue = value;
            }
        }
        ++j;
    }
    if (!badValue) return;
    auto position = [](py::handle selection, Py_ssize_t k) {
        return selection.is_none() ? py::int_(k) : py::int_(selection[py::int_(k)]);
    };
    refuseResult(badValue, position(points, badRow), position(features, badCol));
}

}  // namespace

py::object calculate(py::handle self, py::handle function, py::handle points,
                     py::handle features, py::handle /*preserveZeros*/) {
    py::object table = backingTable(self);
    py::object toCalculate = table;
    if (!points.is_none() || !features.is_none()) {
        py::object all = slice(py::none(), py::none());
        py::object rows = points.is_none() ? all : py::reinterpret_borrow<py::object>(points);
        py::object cols = features.is_none() ? all : py::reinterpret_borrow<py::object>(features);
        toCalculate = table.attr(attrName(Attr::iloc))[py::make_tuple(rows, cols)];
    }
    // `DataFrame.map` replaced `applymap` (which now warns) in newer pandas.
    py::object pd = global(Name::pd);
    const char* elementwise = py::hasattr(pd.attr("DataFrame"), "map") ? "map" : "applymap";
    py::object ret;
    if (infersStrings(pd)) {
        // pandas would store text results in its string dtype, with NaN for
        // every missing value: the results are kept as returned, so that a
        // text feature holds them as objects (None stays None).
        py::list results;
        py::object recorder =
            steal(PyCFunction_New(&kRecordResult, py::make_tuple(function, results).ptr()));
        ret = toCalculate.attr(elementwise)(recorder);
        storeTextAsObject(ret, columnsOf(results, ret));
    } else {
        ret = toCalculate.attr(elementwise)(function);
        storeTextAsObject(ret);
    }
    checkResults(ret, points, features);
    py::tuple shape(ret.attr(attrName(Attr::shape)));
    ret.attr(attrName(Attr::index)) = rangeIndex(shape[0]);
    ret.attr(attrName(Attr::columns)) = rangeIndex(shape[1]);
    return ret;
}

// Queries --------------------------------------------------------------------

py::object countUnique(py::handle self, py::handle points, py::handle features) {
    return global(Name::denseCountUnique)(self, points, features);
}

py::object containsZero(py::handle self) {
    py::object values = self.attr(attrName(Attr::asNumpyArray))();
    py::int_ zero(0);
    const int found = PySequence_Contains(values.ptr(), zero.ptr());
    if (found < 0) throw py::error_already_set();
    return py::bool_(found != 0);
}

py::object isIdentical(py::handle self, py::handle other) {
    if (!isInstance(other, dataFrameClass())) return py::bool_(false);
    py::object identical = global(Name::allDataIdentical);
    py::object mine = self.attr(attrName(Attr::asNumpyArray))();
    py::object theirs = other.attr(attrName(Attr::asNumpyArray))();
    return identical(mine, theirs);
}

py::object iterateElements(py::handle self, py::handle order, py::handle only) {
    py::object iterator = global(Name::KestroElementIterator);
    py::object values = self.attr(attrName(Attr::asNumpyArray))();
    return iterator(values, order, only);
}

// Method rows ---------------------------------------------------------------

const MethodRow kTransformRow = methodRow<transform>(
    "_transform_implementation", {"self", "toTransform", "points", "features"}, kTransformDoc);
const MethodRow kCalculateRow = methodRow<calculate>(
    "_calculate_implementation", {"self", "function", "points", "features", "preserveZeros"},
    kCalculateDoc);
const MethodRow kCountUniqueRow = methodRow<countUnique>(
    "_countUnique_implementation", {"self", "points", "features"}, kCountUniqueDoc);
const MethodRow kContainsZeroRow =
    methodRow<containsZero>("_containsZero_implementation", {"self"}, kContainsZeroDoc);
const MethodRow kIsIdenticalRow =
    methodRow<isIdentical>("_isIdentical_implementation", {"self", "other"}, kIsIdenticalDoc);
const MethodRow kIterateElementsRow = methodRow<iterateElements>(
    "_iterateElements_implementation", {"self", "order", "only"}, kIterateElementsDoc);

}  // namespace kestro::native
