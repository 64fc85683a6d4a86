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
    py::object references;      // copy-on-write: the tracker of the column's block
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
        references = py::object();
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
// `p in selection`.  Containers whose answers cannot change and run no
// Python code (ranges, tuples, frozensets and read-only integer arrays of
// plain ints) are read once, in time linear in their length, and answered
// from a table after that.  A list of plain ints is read up front too and
// read again when the function changed its length or moved its items (an
// O(1) test per question); an item replaced in place, at the same length
// and storage, is not noticed (the host hands the hook a tuple, which no
// function can edit).  Any other container (a set, a writable array, a
// user type) is asked at every pair, in the order and number of the element
// walk.  The table covers at most `bound` positions (the table's extent at
// the start), so that a count the host reports wrongly never sizes memory;
// a position beyond it is asked of the container itself.
class Selection {
public:
    Selection(py::handle selection, Py_ssize_t bound)
        : source_(py::reinterpret_borrow<py::object>(selection)),
          bound_(std::max<Py_ssize_t>(bound, 0)),
          all_(selection.is_none()),
          isList_(PyList_CheckExact(selection.ptr())) {
        if (all_) return;
        if (PyRange_Check(selection.ptr())) {
            markRange();
        } else if (isList_) {
            markList();
        } else if ((PyTuple_CheckExact(selection.ptr()) ||
                    PyFrozenSet_CheckExact(selection.ptr())) &&
                   allPlainInts(selection)) {
            mark(selection);
        } else if (readOnlyIntegers(selection)) {
            mark(steal(PySequence_List(
                selection.attr(attrName(Attr::tolist))().ptr())));
        }
    }

    // True when position `p`'s answer is known without running Python code.
    bool fixed(Py_ssize_t p) {
        if (all_) return true;
        if (isList_ && edited()) markList();
        return fixed_ && p < bound_;
    }
    // The answer for a fixed position.
    bool marked(Py_ssize_t p) const { return all_ || marks_[static_cast<std::size_t>(p)] != 0; }

    // `p in selection` (always true for None).
    bool selected(Py_ssize_t p) {
        if (fixed(p)) return marked(p);
        return contains(source_, py::int_(p));
    }

private:
    static bool allPlainInts(py::handle items) {
        for (py::handle item : items) {
            if (!PyLong_CheckExact(item.ptr())) return false;
        }
        return true;
    }

    static bool readOnlyIntegers(py::handle selection) {
        py::object ndarray = global(Name::np).attr("ndarray");
        if (!py::type::handle_of(selection).is(ndarray)) return false;
        py::object dtype = selection.attr(attrName(Attr::dtype));
        const std::string kind = py::str(dtype.attr(attrName(Attr::kind))).cast<std::string>();
        return (kind == "i" || kind == "u") && py::len(selection.attr(attrName(Attr::shape))) == 1 &&
               !truthy(selection.attr(attrName(Attr::flags)).attr(attrName(Attr::writeable)));
    }

    // A range answers `p in r` arithmetically, in O(1) per position.
    void markRange() {
        fixed_ = true;
        marks_.assign(static_cast<std::size_t>(bound_), 0);
        for (Py_ssize_t p = 0; p < bound_; ++p) {
            marks_[static_cast<std::size_t>(p)] = static_cast<char>(contains(source_, py::int_(p)));
        }
    }

    void markList() {
        const Py_ssize_t length = PyList_GET_SIZE(source_.ptr());
        readLength_ = length;
        readItems_ = reinterpret_cast<PyListObject*>(source_.ptr())->ob_item;
        py::object items = steal(PyList_AsTuple(source_.ptr()));
        fixed_ = allPlainInts(items);
        if (fixed_) mark(items);
    }

    bool edited() const {
        return PyList_GET_SIZE(source_.ptr()) != readLength_ ||
               reinterpret_cast<PyListObject*>(source_.ptr())->ob_item != readItems_;
    }

    void mark(py::handle items) {
        fixed_ = true;
        marks_.assign(static_cast<std::size_t>(bound_), 0);
        for (py::handle item : items) markPosition(item);
    }

    void markPosition(py::handle item) {
        int overflow = 0;
        const long long p = PyLong_AsLongLongAndOverflow(item.ptr(), &overflow);
        if (p == -1 && PyErr_Occurred()) throw py::error_already_set();
        if (!overflow && p >= 0 && p < bound_) marks_[static_cast<std::size_t>(p)] = 1;
    }

    py::object source_;
    Py_ssize_t bound_;
    bool all_;
    bool isList_;
    bool fixed_ = false;
    Py_ssize_t readLength_ = 0;
    PyObject** readItems_ = nullptr;
    std::vector<char> marks_;
};

// A position as a Python int, made when first asked for (a one-argument
// function never needs it).
class LazyInt {
public:
    explicit LazyInt(Py_ssize_t value) : value_(value) {}
    py::handle get() {
        if (!boxed_) boxed_ = py::int_(value_);
        return boxed_;
    }

private:
    Py_ssize_t value_;
    py::object boxed_;
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
    Transformer(py::handle self, py::handle function, Selection& rows, Selection& cols,
                Py_ssize_t numPoints, Py_ssize_t numFeatures)
        : self_(py::reinterpret_borrow<py::object>(self)),
          function_(py::reinterpret_borrow<py::object>(function)),
          rows_(rows),
          cols_(cols),
          numPoints_(numPoints),
          numFeatures_(numFeatures) {
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
        na_ = pd_.attr("NA");
        timestamp_ = pd_.attr("Timestamp");
        nat_ = pd_.attr("NaT");
        npDtype_ = np.attr("dtype");
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
            if (!literal_ && rows_.fixed(i) && !rows_.marked(i)) continue;
            LazyInt point(i);
            for (Py_ssize_t j = 0; j < numFeatures_; ++j) {
                if (literal_) {
                    literalElement(i, j, point);
                } else if (selected(i, j)) {
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
        // The walk's counts come from the host: the column caches are sized
        // only once the table is known to have that shape.
        py::tuple shape(table_.attr(attrName(Attr::shape)));
        if (shape[0].cast<Py_ssize_t>() != numPoints_ ||
            shape[1].cast<Py_ssize_t>() != numFeatures_) {
            return false;
        }
        const auto width = static_cast<std::size_t>(numFeatures_);
        if (columns_.size() != width) columns_ = std::vector<Column>(width);
        mgr_ = storage_.manager(table_);
        blocks_ = storage_.blocks(mgr_);
        py::list key = storage_.blockKey(blocks_);
        if (!sameObjects(key, storageKey_)) {
            for (Column& column : columns_) column.reset();
            owners_.clear();
            storageKey_ = key;
        }
        return true;
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
        py::object current = dataOf_.read(self_);
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
        py::object dtype = c.values.attr(attrName(Attr::dtype));
        const bool numpyArray = Py_TYPE(c.values.ptr()) == asType(ndarray_);
        const bool datetimes =
            !numpyArray && isInstance(dtype, npDtype_) && equals(dtype.attr(attrName(Attr::kind)), "M");
        // Reads and writes go to the column's memory only once the public
        // route has shown it to be the table's own; otherwise the whole walk
        // goes through `iat` and `iloc`.
        py::object memory = datetimes ? storage_.datetimeIntegers(c.values) : c.values;
        if (!storage_.ownMemory(table_, j, memory, owners_)) {
            literal_ = true;
            for (Column& column : columns_) column.reset();
            return c;
        }
        // Under copy-on-write, a column whose memory other pandas objects
        // share is written through pandas, which copies it first.
        if (copyOnWrite_) {
            py::object references = storage_.references(table_, j);
            if (!references || storage_.referenced(references)) return c;
            c.references = references;
        }
        if (numpyArray) {
            c.kind = arrayKind(c, dtype);
        } else if (datetimes) {
            c.kind = datetimeKind(c, memory, dtype);
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
    Kind datetimeKind(Column& c, py::handle integers, py::handle dtype) {
        c.unitNanoseconds =
            nanosecondsPer(py::str(global(Name::np).attr("datetime_data")(dtype)[py::int_(0)])
                               .cast<std::string>());
        const bool held = c.unitNanoseconds != 0 && !integers.is_none() &&
                          c.memory.acquire(integers, 8, numPoints_);
        return held ? Kind::Datetime : Kind::Other;
    }

    // The flag is asked for at every call, as the element walk does: a
    // function may change it, and a walk that calls nothing never asks.
    // pandas' NA is stored as the feature's own missing value: it is taken
    // for None, which every column stores as its missing value.
    py::object call(py::handle value, LazyInt& point, Py_ssize_t j) {
        py::object result = callFunction(value, point, j);
        if (result.ptr() == na_.ptr()) return py::none();
        return result;
    }

    py::object callFunction(py::handle value, LazyInt& point, Py_ssize_t j) {
        if (++calls_ % 4096 == 0 && PyErr_CheckSignals() < 0) throw py::error_already_set();
        py::object oneArg = oneArgOf_.read(function_);
        if (truthy(oneArg)) {
            PyObject* args[2] = {nullptr, value.ptr()};
            return steal(PyObject_Vectorcall(function_.ptr(), args + 1,
                                             1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        }
        py::int_ feature(j);
        PyObject* args[4] = {nullptr, value.ptr(), point.get().ptr(), feature.ptr()};
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

    void fastElement(Py_ssize_t i, Py_ssize_t j, LazyInt& point) {
        Column& c = column(j);
        if (literal_) {
            literalCall(i, j, point, literalRead(point, j));
            return;
        }
        py::object value = read(c, i);
        py::object result = call(value, point, j);
        checkResult(result, i, j);
        checkStorage();
        if (!literal_ && unshared(j) && store(column(j), i, result)) return;
        literalStore(i, j, result);
        if (!literal_) checkStorage();
    }

    // Under copy-on-write: whether column `j`'s memory is still the
    // table's alone after the function ran (it may have taken a view, a
    // column or a shallow copy).  A column now shared is written through
    // pandas from here on, which copies it first.
    bool unshared(Py_ssize_t j) {
        Column& c = columns_[static_cast<std::size_t>(j)];
        if (!c.references || !storage_.mayBeShared(c.references)) return true;
        if (!storage_.referenced(c.references)) return true;
        c.reset();
        column(j);
        return false;
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
    bool selected(Py_ssize_t i, Py_ssize_t j) {
        return rows_.selected(i) && cols_.selected(j);
    }

    // One pair of the literal walk: read, select, call, store.
    void literalElement(Py_ssize_t i, Py_ssize_t j, LazyInt& point) {
        py::object value = literalRead(point, j);
        if (!selected(i, j)) return;
        literalCall(i, j, point, value);
    }

    // `_data.iat[i, j]`.
    py::object literalRead(LazyInt& point, Py_ssize_t j) {
        py::tuple position = py::make_tuple(point.get(), j);
        return self_.attr(dataName_).attr(attrName(Attr::iat))[position];
    }

    void literalCall(Py_ssize_t i, Py_ssize_t j, LazyInt& point, py::handle value) {
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
        const std::string kind = py::str(dtype.attr(attrName(Attr::kind))).cast<std::string>();
        if (kind == "M" || kind == "m") {
            const bool text = PyUnicode_Check(value.ptr());
            return text || isInstance(value, numbers_) ? dtypeObject_ : py::object();
        }
        if (dtype.equal(dtypeInt64_)) return widenedInt64(value);
        if (dtype.equal(dtypeFloat64_)) return widenedFloat64(value);
        if (dtype.equal(dtypeBool_)) {
            if (isBool(value)) return py::object();
            if (value.is_none()) value = nan_;
            return dtypeObject_;
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
        if (isInt(value)) return fitsInt64(value) ? py::object() : dtypeObject_;
        if (isFloat(value)) return integralInt64(value) ? py::object() : dtypeFloat64_;
        if (value.is_none()) return dtypeFloat64_;
        return isComplex(value) ? dtypeComplex_ : dtypeObject_;
    }

    py::object widenedFloat64(py::handle value) const {
        if (isInt(value) || isFloat(value) || value.is_none()) return py::object();
        return isComplex(value) ? dtypeComplex_ : dtypeObject_;
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
    std::vector<py::object> owners_;  // arrays shown to be the table's memory
    PandasStorage storage_;

    py::object table_, mgr_, blocks_, storageKey_;
    py::object pd_, numbers_, isAllowed_, float64_, int64_, bool_, integer_, floating_, true_,
        false_, nan_, ndarray_, timestamp_, nat_, na_;
    py::object npDtype_, dtypeFloat64_, dtypeInt64_, dtypeBool_, dtypeObject_, dtypeComplex_;
    py::object dataName_, oneArgName_, tzinfoName_, valueName_;
    AttributeReader dataOf_{heldName(Attr::data)}, oneArgOf_{heldName(Attr::oneArg)};
};

}  // namespace

namespace {

// The table's extent along both axes, for sizing what the walk keeps per
// position: (0, 0) when `self._data` has no plain two-entry shape (the walk
// then fails where the element walk fails).
std::pair<Py_ssize_t, Py_ssize_t> tableExtent(py::handle self) {
    PyObject* table = PyObject_GetAttr(self.ptr(), attrName(Attr::data).ptr());
    if (table == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
        PyErr_Clear();
        return {0, 0};
    }
    py::object owned = steal(table);
    py::object shape = py::getattr(owned, attrName(Attr::shape), py::none());
    if (!PyTuple_CheckExact(shape.ptr()) || PyTuple_GET_SIZE(shape.ptr()) != 2) return {0, 0};
    Py_ssize_t extent[2];
    for (Py_ssize_t k = 0; k < 2; ++k) {
        extent[k] = PyLong_AsSsize_t(PyTuple_GET_ITEM(shape.ptr(), k));
        if (extent[k] == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            return {0, 0};
        }
    }
    return {extent[0], extent[1]};
}

}  // namespace

py::object transform(py::handle self, py::handle toTransform, py::handle points,
                     py::handle features) {
    const Py_ssize_t numPoints =
        static_cast<Py_ssize_t>(py::len(self.attr(attrName(Attr::points))));
    const Py_ssize_t numFeatures =
        static_cast<Py_ssize_t>(py::len(self.attr(attrName(Attr::features))));
    if (numPoints == 0 || numFeatures == 0) return py::none();
    // The host's counts are not trusted to size memory: the selections
    // cover at most what the table holds.
    const auto [tablePoints, tableFeatures] = tableExtent(self);
    Selection rows(points, std::min(numPoints, tablePoints));
    Selection cols(features, std::min(numFeatures, tableFeatures));
    Transformer walk(self, toTransform, rows, cols, numPoints, numFeatures);
    walk.run();
    return py::none();
}

// ---------------------------------------------------------------------------
// Calculate
// ---------------------------------------------------------------------------

namespace {

// The user's function as pandas calls it for calculate.  pandas decides
// where each result goes (a column type may be mapped once per distinct
// value, in any order); the results pandas would re-type by inference are
// handed to it sealed, so that it stores them as objects where they land:
// text (pandas 3 would make a string column of it, NaN for None) and
// timezone-naive Timestamps and numpy datetime64 values (pandas 2 would make
// nanoseconds of every unit).
// pandas' NA comes back as None, the missing value of whatever the column
// turns out to be.  `state` = (function, NA, Timestamp type, datetime64 type).  Not noexcept:
// a daemon thread the interpreter ends at exit unwinds through it.
constexpr const char* kSealedName = "kestro.calculate.result";

void releaseSealed(PyObject* capsule) {
    Py_XDECREF(static_cast<PyObject*>(PyCapsule_GetPointer(capsule, kSealedName)));
}

PyObject* sealedResult(PyObject* state, PyObject* value) {
    PyObject* result = PyObject_CallOneArg(PyTuple_GET_ITEM(state, 0), value);
    if (result == nullptr) return nullptr;
    if (result == PyTuple_GET_ITEM(state, 1)) {
        Py_DECREF(result);
        Py_RETURN_NONE;
    }
    bool seal = PyUnicode_Check(result) ||
                Py_TYPE(result) == reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(state, 3));
    if (!seal && Py_TYPE(result) == reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(state, 2))) {
        PyObject* zone = PyObject_GetAttrString(result, "tzinfo");
        if (zone == nullptr) {
            Py_DECREF(result);
            return nullptr;
        }
        seal = zone == Py_None;
        Py_DECREF(zone);
    }
    if (!seal) return result;
    PyObject* capsule = PyCapsule_New(result, kSealedName, releaseSealed);
    if (capsule == nullptr) Py_DECREF(result);
    return capsule;
}

PyMethodDef kSealedResult = {"sealed", sealedResult, METH_O, nullptr};

bool isSealed(py::handle value) {
    return PyCapsule_CheckExact(value.ptr()) && PyCapsule_IsValid(value.ptr(), kSealedName);
}

py::object unsealed(py::handle value) {
    return py::reinterpret_borrow<py::object>(
        static_cast<PyObject*>(PyCapsule_GetPointer(value.ptr(), kSealedName)));
}

// Whether `value` stands for a missing date: None, pandas' NaT or a float NaN.
bool missingDate(py::handle value, py::handle nat) {
    if (value.is_none() || value.is(nat)) return true;
    return PyFloat_Check(value.ptr()) && std::isnan(PyFloat_AS_DOUBLE(value.ptr()));
}

// Numpy's datetime units from the coarsest to the finest.
constexpr const char* kUnits[] = {"s", "ms", "us", "ns"};

// The finest unit among naive Timestamps (nanoseconds before pandas 2,
// whose Timestamps have no other).
std::size_t unitRank(py::handle stamp) {
    const std::string unit = py::str(py::getattr(stamp, "unit", py::str("ns"))).cast<std::string>();
    for (std::size_t k = 0; k < std::size(kUnits); ++k) {
        if (unit == kUnits[k]) return k;
    }
    return std::size(kUnits) - 1;
}

// The rank of a numpy datetime64's unit among kUnits, where a data object
// holds it exactly: units coarser than seconds count as seconds, and pandas
// before 2 (`onlyNanoseconds`) holds nanoseconds only.  False for units
// finer than ns; `value` is no NaT.
bool datetime64Rank(py::handle value, bool onlyNanoseconds, std::size_t& rank) {
    const std::string unit = py::str(global(Name::np).attr("datetime_data")(
                                         value.attr(attrName(Attr::dtype)))[py::int_(0)])
                                 .cast<std::string>();
    if (unit == "ps" || unit == "fs" || unit == "as") return false;
    rank = 0;
    for (std::size_t k = 0; k < std::size(kUnits); ++k) {
        if (unit == kUnits[k]) rank = k;
    }
    if (onlyNanoseconds) rank = std::size(kUnits) - 1;
    return true;
}

// Column `j` of `ret` with its sealed results opened: a column of naive
// Timestamps (missing values aside) becomes datetime64 of the finest unit
// among them, as pandas 3 infers it on every version; any other column
// holding sealed results holds the objects returned.
void unsealColumn(py::handle ret, Py_ssize_t j, py::handle values) {
    const Py_ssize_t rows = static_cast<Py_ssize_t>(py::len(values));
    py::object objectType = numpyType("object");
    py::object opened = global(Name::np).attr("empty")(rows, py::arg("dtype") = objectType);
    py::object timestamp = global(Name::pd).attr("Timestamp");
    py::object datetime64 = global(Name::np).attr("datetime64");
    py::object isnat = global(Name::np).attr("isnat");
    py::object nat = global(Name::pd).attr("NaT");
    const bool onlyNanoseconds = !py::hasattr(timestamp, "unit");
    bool dates = true, anyDate = false;
    std::size_t finest = 0, rank = 0;
    for (Py_ssize_t i = 0; i < rows; ++i) {
        py::object value = steal(PySequence_GetItem(values.ptr(), i));
        if (isSealed(value)) value = unsealed(value);
        if (!dates) {
            // not a column of dates: the values are only copied
        } else if (py::type::handle_of(value).is(timestamp)) {
            anyDate = true;
            finest = std::max(finest, unitRank(value));
        } else if (py::type::handle_of(value).is(datetime64)) {
            if (!truthy(isnat(value))) {
                dates = datetime64Rank(value, onlyNanoseconds, rank);
                anyDate = true;
                finest = std::max(finest, rank);
            }
        } else if (!missingDate(value, nat)) {
            dates = false;
        }
        if (PySequence_SetItem(opened.ptr(), i, value.ptr()) < 0) throw py::error_already_set();
    }
    py::object dtype = objectType;
    if (dates && anyDate) {
        dtype = global(Name::np).attr("dtype")(std::string("datetime64[") + kUnits[finest] + "]");
    }
    py::object column = global(Name::pd).attr("Series")(
        opened, py::arg("index") = ret.attr(attrName(Attr::index)), py::arg("dtype") = dtype);
    ret.attr(attrName(Attr::isetitem))(j, column);
}

// Opens every sealed result of the table pandas built.
void unsealResults(py::handle ret) {
    Py_ssize_t j = 0;
    // Object columns, and any column type of objects pandas may build from
    // them (a category of results, say).
    for (const py::object& dtype : PandasStorage().columnTypes(ret)) {
        if (equals(dtype.attr(attrName(Attr::kind)), "O")) {
            py::object values = ilocColumns(ret, py::int_(j))
                                     .attr(attrName(Attr::to_numpy))(
                                         py::arg("dtype") = numpyType("object"));
            bool sealed = false;
            for (py::handle value : values) {
                if (isSealed(value)) {
                    sealed = true;
                    break;
                }
            }
            if (sealed) unsealColumn(ret, j, values);
        }
        ++j;
    }
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
    py::object state = py::make_tuple(function, pd.attr("NA"), pd.attr("Timestamp"),
                                        global(Name::np).attr("datetime64"));
    py::object sealing = steal(PyCFunction_New(&kSealedResult, state.ptr()));
    py::object ret = toCalculate.attr(elementwise)(sealing);
    unsealResults(ret);
    applyEntryRule(ret);
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
