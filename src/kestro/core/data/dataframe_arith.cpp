// Element-wise arithmetic and comparison, and the matrix product.
#include "dataframe.hpp"
#include "pandas_storage.hpp"

#include <string>
#include <utility>
#include <vector>

namespace kestro::native {


namespace {

// Keeps the thread's handled exception (what `sys.exc_info()` reports inside
// an `except` block) across a scope: whatever the Python code called in the
// scope does to it, the caller sees its own state again when the scope ends,
// by return or by exception.
class HandledExceptionGuard {
public:
    HandledExceptionGuard() { PyErr_GetExcInfo(&type_, &value_, &traceback_); }
    ~HandledExceptionGuard() {
        if (mayTouchPython()) PyErr_SetExcInfo(type_, value_, traceback_);
    }
    HandledExceptionGuard(const HandledExceptionGuard&) = delete;
    HandledExceptionGuard& operator=(const HandledExceptionGuard&) = delete;

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

py::tuple tupleOf(const std::vector<py::object>& items) {
    py::tuple result(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) result[i] = items[i];
    return result;
}

bool isComparison(const std::string& opName) {
    static const char* const kComparisons[] = {"__eq__", "__ne__", "__lt__",
                                               "__le__", "__gt__", "__ge__"};
    for (const char* name : kComparisons) {
        if (opName == name) return true;
    }
    return false;
}

// `(item,) * count`
py::tuple repeated(py::handle item, py::ssize_t count) {
    py::tuple result(count);
    for (py::ssize_t i = 0; i < count; ++i) {
        result[static_cast<std::size_t>(i)] = py::reinterpret_borrow<py::object>(item);
    }
    return result;
}

// The element type a scalar operand enters the comparison with: that of its
// Python type, object where that type does not cast safely to float.
py::object scalarType(py::handle scalar) {
    py::object np = global(Name::np);
    py::object dtype = np.attr("dtype")(py::type::handle_of(scalar));
    if (!truthy(np.attr("can_cast")(dtype, np.attr("dtype")(builtinType(&PyFloat_Type))))) {
        dtype = np.attr("dtype")("O");
    }
    return dtype;
}

// The element type of a result feature computed from a feature of `self`
// of type `dtype1` and one of the other operand of type `dtype2`: the larger
// of the two (`self`'s on a tie), a float for a true division of numbers, a
// truth value for a comparison whatever the operands hold.
py::object pairType(py::handle dtype1, py::handle dtype2, const std::string& opName) {
    py::object np = global(Name::np);
    if (isComparison(opName)) return np.attr("dtype")(builtinType(&PyBool_Type));
    py::object useType = py::reinterpret_borrow<py::object>(
        dtypeGreater(dtype2, dtype1) ? dtype2 : dtype1);
    py::object floatType = np.attr("dtype")(builtinType(&PyFloat_Type));
    if (opName.find("truediv") != std::string::npos &&
        truthy(np.attr("can_cast")(useType, floatType))) {
        return floatType;
    }
    return useType;
}

// The element type every result feature is given: one entry per pair of
// features of `self` and `other`, stopping at the shorter side.  A
// one-feature operand is broadcast across the other's features; a scalar
// counts as one feature of its own type per feature of `self`.
py::list resultDtypes(py::handle self, const std::string& opName, py::handle other) {
    const PandasStorage storage;
    py::tuple initialDtypes = tupleOf(storage.columnTypes(backingTable(self)));
    py::object otherDtypes;
    if (isInstance(other, dataFrameClass())) {
        otherDtypes = tupleOf(storage.columnTypes(backingTable(other)));
    } else if (isInstance(other, global(Name::Base))) {
        otherDtypes = global(Name::getFeatureDtypes)(other);
    }
    if (isInstance(other, global(Name::Base))) {
        const py::ssize_t selfCount = py::len(self.attr(attrName(Attr::features)));
        const py::ssize_t otherCount = py::len(other.attr(attrName(Attr::features)));
        if (selfCount != otherCount) {
            if (initialDtypes.size() == 1) initialDtypes = repeated(initialDtypes[0], otherCount);
            if (py::len(otherDtypes) == 1) {
                otherDtypes = repeated(otherDtypes[py::int_(0)], selfCount);
            }
        }
    } else {
        otherDtypes = repeated(scalarType(other), static_cast<py::ssize_t>(initialDtypes.size()));
    }

    py::list dtypes;
    py::iterator others = py::iter(otherDtypes);
    for (py::handle dtype1 : initialDtypes) {
        if (others == py::iterator::sentinel()) break;
        dtypes.append(pairType(dtype1, *others, opName));
        ++others;
    }
    return dtypes;
}

// `wanted` with each entry whose type cannot hold the computed values of its
// feature exactly replaced by the type the computation produced: the type
// list decides types, never values.
py::list settledDtypes(py::handle result, py::list wanted) {
    py::object table = backingTable(result);
    py::tuple computed = tupleOf(PandasStorage().columnTypes(table));
    if (computed.size() != wanted.size()) return wanted;  // `_setDtypes` reports it

    py::dict groups;  // (computed, wanted) -> positions
    for (std::size_t j = 0; j < computed.size(); ++j) {
        py::object computedType = computed[j];
        py::object wantedType = wanted[j];
        if (!computedType.not_equal(wantedType)) continue;
        py::tuple key = py::make_tuple(computedType, wantedType);
        py::object positions = groups.attr("setdefault")(key, py::list());
        positions.attr("append")(j);
    }
    if (groups.empty()) return wanted;

    py::list settled(py::len(wanted));
    for (std::size_t j = 0; j < wanted.size(); ++j) settled[j] = wanted[j];
    for (auto item : groups) {
        py::object target = py::reinterpret_borrow<py::tuple>(item.first)[1];
        py::list positions = py::reinterpret_borrow<py::list>(item.second);
        py::object columns = ilocColumns(table, positions);
        py::object block = columns.attr(attrName(Attr::to_numpy))();
        py::list exact = representable(block, target);
        for (std::size_t i = 0; i < positions.size(); ++i) {
            if (truthy(exact[i])) continue;
            const auto j = py::cast<std::size_t>(positions[i]);
            settled[j] = computed[j];
        }
    }
    return settled;
}

void applyDtypes(py::handle result, const py::list& dtypes) {
    result.attr(attrName(Attr::setDtypes))(settledDtypes(result, dtypes));
}

// The errors with which numpy declines an operation on these values (the
// route that asked then leaves it to another).
bool declinedByNumpy(py::error_already_set& e) {
    return e.matches(PyExc_TypeError) || e.matches(PyExc_ValueError) ||
           e.matches(PyExc_NotImplementedError);
}

bool absorbedOnFastPath(py::error_already_set& e) {
    return e.matches(PyExc_AttributeError) || e.matches(global(Name::InvalidArgumentType)) ||
           e.matches(PyExc_ValueError);
}

// Operations the dense fast path cannot do.  A sparse operand is one in any
// direction: an array method given a scipy sparse matrix treats the whole
// matrix as one scalar element (`+` raises NotImplementedError, `*` builds an
// array of matrices), so only the generic implementation gives the
// element-wise result.
bool takesGenericRoute(const std::string& opName, py::handle other) {
    if (isInstance(other, dataFrameClass()) && opName.find("pow") != std::string::npos) {
        return true;
    }
    return isInstance(other, global(Name::kestro).attr("core").attr("data").attr("Sparse"));
}

// numpy multiplies boolean matrices logically (True + True is True), so
// booleans enter the product as 0/1 integers; object arrays (values of a
// storage type without per-feature types) as floats.
py::object asProductOperand(py::object operand) {
    const auto kind =
        py::cast<std::string>(operand.attr(attrName(Attr::dtype)).attr(attrName(Attr::kind)));
    py::object dtype = global(Name::np).attr("dtype");
    if (kind == "b") return operand.attr(attrName(Attr::astype))(dtype(builtinType(&PyLong_Type)));
    if (kind == "O") return operand.attr(attrName(Attr::astype))(dtype(builtinType(&PyFloat_Type)));
    return operand;
}

// Real-valued tables: every feature boolean, integer or floating point ----

bool isRealKind(py::handle dtype) {
    const auto kind = py::cast<std::string>(dtype.attr(attrName(Attr::kind)));
    return kind == "b" || kind == "i" || kind == "u" || kind == "f";
}

bool isIntegralKind(py::handle dtype) {
    const auto kind = py::cast<std::string>(dtype.attr(attrName(Attr::kind)));
    return kind == "b" || kind == "i" || kind == "u";
}

// What the route by feature needs to know of an operand's feature types.
struct Kinds {
    bool real = true;       // every feature boolean, integer or float
    bool integral = false;  // some feature boolean or integer
    bool boolean = false;   // some feature boolean
    bool mixed = false;     // an integer feature next to a feature of another type
};

Kinds kindsOf(const TypeList& types) {
    Kinds kinds;
    for (const py::object& dtype : types.distinct) {
        kinds.real = kinds.real && isRealKind(dtype);
        kinds.integral = kinds.integral || isIntegralKind(dtype);
        kinds.boolean = kinds.boolean || equals(dtype.attr(attrName(Attr::kind)), "b");
    }
    kinds.mixed = kinds.integral && types.distinct.size() > 1;
    return kinds;
}

bool isRealTable(py::handle table) { return kindsOf(TypeList::of(table)).real; }

// A single real number: a bool, an int that int64 holds, a float, or a numpy
// scalar of those kinds.
bool isRealScalar(py::handle value) {
    if (PyBool_Check(value.ptr()) || PyFloat_Check(value.ptr())) return true;
    if (PyLong_Check(value.ptr())) {
        int overflow = 0;
        const long long result = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (result == -1 && PyErr_Occurred()) throw py::error_already_set();
        return overflow == 0;
    }
    return isInstance(value, global(Name::np).attr("generic")) &&
           isRealKind(value.attr(attrName(Attr::dtype)));
}

// The values of a data object as a table of real-valued features, or None:
// a DataFrame's own table, the dense values of any other non-sparse object.
py::object realValuesTable(py::handle obj) {
    py::object table;
    if (isInstance(obj, dataFrameClass())) {
        table = backingTable(obj);
    } else if (isInstance(obj, global(Name::Base)) &&
               !isInstance(obj, global(Name::kestro).attr("core").attr("data").attr("Sparse"))) {
        py::object values =
            global(Name::np).attr("asarray")(obj.attr(attrName(Attr::asNumpyArray))());
        if (py::len(values.attr(attrName(Attr::shape))) != 2 ||
            !isRealKind(values.attr(attrName(Attr::dtype)))) {
            return py::none();
        }
        table = global(Name::pd).attr("DataFrame")(values);
    } else {
        return py::none();
    }
    return isRealTable(table) ? table : py::none();
}

std::pair<Py_ssize_t, Py_ssize_t> shapeOf(py::handle table) {
    py::tuple shape(table.attr(attrName(Attr::shape)));
    return {py::cast<Py_ssize_t>(shape[0]), py::cast<Py_ssize_t>(shape[1])};
}

// `table` with the point and feature counts `points` and `features`: a
// single point (feature) is repeated to fill them, and both axes are labelled
// by position so that pandas pairs the elements by position.  None when the
// table has other counts.
py::object broadcastTo(py::object table, Py_ssize_t points, Py_ssize_t features) {
    py::object np = global(Name::np);
    const auto [height, width] = shapeOf(table);
    const bool repeatPoint = height != points;
    const bool repeatFeature = width != features;
    if ((repeatPoint && height != 1) || (repeatFeature && width != 1)) return py::none();
    py::object intp = np.attr("intp");
    if (repeatPoint) {
        table = table.attr(attrName(Attr::take))(np.attr("zeros")(points, py::arg("dtype") = intp));
    }
    if (repeatFeature) {
        table = table.attr(attrName(Attr::take))(
            np.attr("zeros")(features, py::arg("dtype") = intp), py::arg("axis") = 1);
    }
    py::object pointLabels = rangeIndex(py::int_(points));
    py::object featureLabels = rangeIndex(py::int_(features));
    if (repeatPoint || repeatFeature) {
        // `take` built a new table: relabelling it touches no one else's.
        table.attr(attrName(Attr::index)) = pointLabels;
        table.attr(attrName(Attr::columns)) = featureLabels;
        return table;
    }
    if (!truthy(table.attr(attrName(Attr::index)).attr(attrName(Attr::equals))(pointLabels))) {
        table = table.attr(attrName(Attr::set_axis))(pointLabels, py::arg("axis") = 0);
    }
    if (!truthy(table.attr(attrName(Attr::columns)).attr(attrName(Attr::equals))(featureLabels))) {
        table = table.attr(attrName(Attr::set_axis))(featureLabels, py::arg("axis") = 1);
    }
    return table;
}

// Whether a table or a scalar holds a zero (False included).
bool holdsZero(py::handle operand) {
    if (!isInstance(operand, global(Name::pd).attr("DataFrame"))) {
        return truthy(operand.attr(attrName(Attr::eq))(py::int_(0)));
    }
    return truthy(
        operand.attr("eq")(0).attr(attrName(Attr::to_numpy))().attr(attrName(Attr::any))());
}

bool divides(const std::string& opName) {
    for (const char* part : {"truediv", "floordiv", "mod"}) {
        if (opName.find(part) != std::string::npos) return true;
    }
    return false;
}

bool powers(const std::string& opName) { return opName.find("pow") != std::string::npos; }

// `table` with the features of the given kinds cast to `target`.
py::object castKinds(py::handle table, const char* kinds, py::handle target) {
    const TypeList types = TypeList::of(table);
    std::vector<bool> matches(types.distinct.size());
    bool any = false;
    bool every = true;
    for (std::size_t k = 0; k < types.distinct.size(); ++k) {
        const auto kind = py::cast<std::string>(types.distinct[k].attr(attrName(Attr::kind)));
        matches[k] = std::string(kinds).find(kind) != std::string::npos;
        any = any || matches[k];
        every = every && matches[k];
    }
    if (!any) return py::reinterpret_borrow<py::object>(table);
    if (every) return table.attr(attrName(Attr::astype))(target);
    py::dict casts;
    py::object columns = table.attr(attrName(Attr::columns));
    for (std::size_t j = 0; j < types.at.size(); ++j) {
        if (matches[types.at[j]]) casts[columns[py::int_(j)]] = target;
    }
    return table.attr(attrName(Attr::astype))(casts);
}

// Whether `exponent` (a table or a scalar) holds a negative integer.
bool hasNegativeIntegerExponent(py::handle exponent) {
    if (!isInstance(exponent, global(Name::pd).attr("DataFrame"))) {
        const auto kind = py::cast<std::string>(global(Name::np)
                                                    .attr("asarray")(exponent)
                                                    .attr(attrName(Attr::dtype))
                                                    .attr(attrName(Attr::kind)));
        return (kind == "i" || kind == "b") && exponent < py::int_(0);
    }
    py::object integers = exponent.attr("select_dtypes")(py::arg("include") = "integer");
    if (py::len(integers.attr(attrName(Attr::columns))) == 0) return false;
    return truthy(
        integers.attr("lt")(0).attr(attrName(Attr::to_numpy))().attr(attrName(Attr::any))());
}

// The operand as pandas computes with it: booleans count as the integers 0
// and 1 in divisions, remainders and powers (pandas has no boolean
// division), and an integer base with a negative integer exponent is a
// float, as 2 ** -1 is 0.5.
py::object preparedOperand(py::handle operand) {
    py::object int64 = global(Name::np).attr("dtype")("int64");
    if (!isInstance(operand, global(Name::pd).attr("DataFrame"))) {
        if (PyBool_Check(operand.ptr())) return steal(PyNumber_Long(operand.ptr()));
        if (isInstance(operand, global(Name::np).attr("bool_"))) {
            return operand.attr(attrName(Attr::astype))(int64);
        }
        return py::reinterpret_borrow<py::object>(operand);
    }
    return castKinds(operand, "b", int64);
}

// `left opName right` computed by pandas feature by feature on tables of
// real numbers (`right` a table of the same shape or a scalar), or None when
// pandas declines the operands.  Each feature is computed in its own type,
// so no integer passes through a float; pandas answers an integer division
// or remainder by zero with inf, -inf or NaN as for floats.
py::object computeByFeature(py::object left, const std::string& opName, py::object right) {
    if (divides(opName) || powers(opName)) {
        left = preparedOperand(left);
        right = preparedOperand(right);
        if (powers(opName)) {
            const bool reflected = opName.rfind("__r", 0) == 0;
            py::object& base = reflected ? right : left;
            const py::object& exponent = reflected ? left : right;
            if (hasNegativeIntegerExponent(exponent)) {
                py::object float64 = global(Name::np).attr("dtype")("float64");
                if (isInstance(base, global(Name::pd).attr("DataFrame"))) {
                    base = castKinds(base, "iu", float64);
                } else {
                    base = steal(PyNumber_Float(base.ptr()));
                }
            }
        }
    }
    try {
        return py::getattr(left, opName.c_str())(right);
    } catch (py::error_already_set& e) {
        if (declinedByNumpy(e)) return py::none();
        throw;
    }
}

// The operation computed feature by feature, when both operands are real
// numbers (a non-sparse data object of real values, or a real scalar) and
// the array routes could change a value or fail: an integer feature exported
// next to features of other types passes through a common float type, numpy
// answers an integer division by zero with 0, and pandas refuses to divide
// booleans.  None otherwise, or when pandas declines the operands.
// The other operand of a route by feature, with its kinds: a table of real
// values for a data object, the scalar itself for a real scalar; None when
// the operand is neither.
py::object realOperand(py::handle other, Kinds& kinds) {
    if (isInstance(other, global(Name::Base))) {
        py::object table = realValuesTable(other);
        if (!table.is_none()) kinds = kindsOf(TypeList::of(table));
        return table;
    }
    if (!isRealScalar(other)) return py::none();
    py::object dtype = global(Name::np).attr("asarray")(other).attr(attrName(Attr::dtype));
    kinds.integral = isIntegralKind(dtype);
    kinds.boolean = equals(dtype.attr(attrName(Attr::kind)), "b");
    return py::reinterpret_borrow<py::object>(other);
}

// Whether the array routes could change a value or fail where the route by
// feature does not: an integer feature next to features of other types,
// an integer division or remainder with a zero divisor (numpy answers 0), or
// one with booleans (pandas has no boolean division).
bool needsRouteByFeature(const Kinds& left, const Kinds& right, const std::string& opName,
                         py::handle leftTable, py::handle rightOperand) {
    if (left.mixed || right.mixed) return true;
    if (!(left.integral && right.integral && divides(opName))) return false;
    const bool reflected = opName.rfind("__r", 0) == 0;
    return left.boolean || right.boolean || holdsZero(reflected ? leftTable : rightOperand);
}

// The operation computed feature by feature, when both operands are real
// numbers (a non-sparse data object of real values, or a real scalar) and
// the array routes could change a value or fail (see needsRouteByFeature).
// None otherwise, or when pandas declines the operands.
py::object realResult(py::handle self, const std::string& opName, py::handle other) {
    py::object left = backingTable(self);
    const Kinds leftKinds = kindsOf(TypeList::of(left));
    if (!leftKinds.real) return py::none();
    Kinds rightKinds;
    py::object right = realOperand(other, rightKinds);
    if (right.is_none() || !needsRouteByFeature(leftKinds, rightKinds, opName, left, right)) {
        return py::none();
    }
    if (isInstance(other, global(Name::Base))) {
        const std::pair<Py_ssize_t, Py_ssize_t> leftShape = shapeOf(left);
        const std::pair<Py_ssize_t, Py_ssize_t> rightShape = shapeOf(right);
        const Py_ssize_t points = leftShape.first == 1 ? rightShape.first : leftShape.first;
        const Py_ssize_t features = leftShape.second == 1 ? rightShape.second : leftShape.second;
        left = broadcastTo(left, points, features);
        right = broadcastTo(right, points, features);
        if (left.is_none() || right.is_none()) return py::none();
    }
    py::object table = computeByFeature(left, opName, right);
    if (table.is_none()) return table;
    return dataFrameClass()(table);
}

// Whether every feature of a DataFrame object is boolean, integer or float.
bool holdsRealFeatures(py::handle obj) {
    for (py::handle dtype : PandasStorage().featureTypes(backingTable(obj))) {
        if (!isInstance(dtype, global(Name::np).attr("dtype")) || !isRealKind(dtype)) return false;
    }
    return true;
}

// Whether `values` is a numpy array of integers or floats.
bool isNumberArray(py::handle values) {
    if (!isInstance(values, global(Name::np).attr("ndarray"))) return false;
    const auto kind =
        py::cast<std::string>(values.attr(attrName(Attr::dtype)).attr(attrName(Attr::kind)));
    return kind == "i" || kind == "u" || kind == "f";
}

// `values opName other` by numpy, without floating point warnings (a
// division by zero gives inf or NaN, as for every other route).
py::object quietly(py::handle values, const std::string& opName, py::handle other) {
    WithBlock quiet(global(Name::np).attr("errstate")(py::arg("all") = "ignore"));
    py::object result = py::getattr(values, opName.c_str())(other);
    quiet.exit();
    return result;
}

// A real scalar with a table whose features share one real type: numpy
// computes the whole block at once and the new table takes the result as it
// is, when numpy's type for it is the listed type (the same for every
// feature, as they share their type).  None otherwise: integer divisions
// (a zero divisor, booleans) take the route by feature or the generic
// route, and so do powers, for their integer exponents.
py::object singleTypeScalarResult(py::handle self, const std::string& opName,
                                  py::handle other) {
    if (isInstance(other, global(Name::Base)) || powers(opName) || !isRealScalar(other)) {
        return py::none();
    }
    py::object table = backingTable(self);
    const TypeList types = TypeList::of(table);
    if (types.distinct.size() != 1 || !isRealKind(types.distinct[0]) ||
        (divides(opName) && isIntegralKind(types.distinct[0]))) {
        return py::none();
    }
    py::object wanted = pairType(types.distinct[0], scalarType(other), opName);
    // numpy computes integers in their own type, whatever the scalar
    if (isIntegralKind(types.distinct[0]) && !wanted.equal(types.distinct[0])) return py::none();
    py::object values = table.attr(attrName(Attr::to_numpy))();
    py::object result;
    try {
        result = quietly(values, opName, other);
    } catch (py::error_already_set& e) {
        if (declinedByNumpy(e)) return py::none();  // the generic route says why
        throw;
    }
    if (!isInstance(result, global(Name::np).attr("ndarray")) ||
        !py::object(result.attr(attrName(Attr::dtype))).equal(wanted)) {
        return py::none();
    }
    py::object resultTable = global(Name::pd).attr("DataFrame")(result, py::arg("copy") = false);
    return dataFrameClass()(resultTable, py::arg("reuseData") = true);
}

// `array opName otherData`, where `array` is this object's values as
// numbers and `otherData` the other object's storage.  Against a pandas
// table of one integer or float type and the same shape, numpy computes
// what pandas would compute column by column, without pandas' alignment.
py::object arrayResult(py::handle array, py::handle opName, py::handle otherData) {
    if (isNumberArray(array) && isInstance(otherData, global(Name::pd).attr("DataFrame"))) {
        py::list types = PandasStorage().featureTypes(otherData);
        bool oneType = py::len(types) >= 1;
        for (py::handle dtype : types) oneType = oneType && dtype.equal(types[0]);
        if (oneType) {
            py::object otherValues = otherData.attr(attrName(Attr::to_numpy))();
            if (isNumberArray(otherValues) && py::object(array.attr(attrName(Attr::shape)))
                                                  .equal(otherValues.attr(attrName(Attr::shape)))) {
                return quietly(array, py::cast<std::string>(opName), otherValues);
            }
        }
    }
    return py::getattr(array, opName)(otherData);
}

// `self`, or a new object holding its values with each integer feature cast
// to the integer type listed for its result where that type is larger and
// holds all its values: the operation is then computed in the result type,
// so a small integer type never wraps a value labelled with a larger type.
py::object widenedToResultTypes(py::handle self, const py::list& dtypes) {
    py::object table = backingTable(self);
    const TypeList types = TypeList::of(table);
    if (types.at.size() != dtypes.size()) return py::reinterpret_borrow<py::object>(self);
    py::object np = global(Name::np);
    py::object columns = table.attr(attrName(Attr::columns));
    py::dict casts;
    for (std::size_t j = 0; j < types.at.size(); ++j) {
        py::object own = types.distinct[types.at[j]];
        py::object wanted = dtypes[j];
        const auto ownKind = py::cast<std::string>(own.attr(attrName(Attr::kind)));
        const auto wantedKind = py::cast<std::string>(wanted.attr(attrName(Attr::kind)));
        if ((ownKind == "i" || ownKind == "u") && (wantedKind == "i" || wantedKind == "u") &&
            own.not_equal(wanted) && truthy(np.attr("can_cast")(own, wanted))) {
            casts[columns[py::int_(j)]] = wanted;
        }
    }
    if (casts.empty()) return py::reinterpret_borrow<py::object>(self);
    // astype gives a new table: the object holds it as it is
    return dataFrameClass()(table.attr(attrName(Attr::astype))(casts), py::arg("reuseData") = true);
}

}  // namespace

py::object binaryOperations(py::handle self, py::handle opName, py::handle other) {
    HandledExceptionGuard keepHandledException;
    if (!PyUnicode_Check(opName.ptr())) throw py::type_error("opName must be a str");
    const std::string op = py::cast<std::string>(opName);

    py::object whole = singleTypeScalarResult(self, op, other);
    if (!whole.is_none()) return whole;

    py::list dtypes = resultDtypes(self, op, other);
    py::object operand = widenedToResultTypes(self, dtypes);

    py::object exact = realResult(operand, op, other);
    if (!exact.is_none()) {
        applyDtypes(exact, dtypes);
        return exact;
    }

    // The array route turns both sides into numbers: it is taken only when
    // both hold real numbers in typed features (dates would become numbers
    // and compare unequal to themselves, numbers held as objects would pass
    // through floats).  A scalar operand takes the generic route: it is what
    // the array route would do with it.
    if (isInstance(other, global(Name::Base)) && !takesGenericRoute(op, other) &&
        holdsRealFeatures(operand) &&
        (!isInstance(other, dataFrameClass()) || holdsRealFeatures(other))) {
        py::object values;
        try {
            py::object array =
                operand.attr(attrName(Attr::asNumpyArray))(py::arg("numericRequired") = true);
            values = arrayResult(array, opName, other.attr(attrName(Attr::data)));
        } catch (py::error_already_set& e) {
            if (!absorbedOnFastPath(e)) throw;
        }
        if (values) {
            py::object ret = dataFrameClass()(values);
            applyDtypes(ret, dtypes);
            return ret;
        }
    }

    py::object ret = operand.attr("_defaultBinaryOperations_implementation")(opName, other);
    applyDtypes(ret, dtypes);
    return ret;
}

const MethodRow kBinaryOperationsRow = methodRow<binaryOperations>(
    "_binaryOperations_implementation", {"self", "opName", "other"},
    "\n        Attempt to perform operation with data as is, preserving sparse\n"
    "        representations if possible. Otherwise, uses the generic\n"
    "        implementation.\n        ");

py::object matmul(py::handle self, py::handle other) {
    py::object np = global(Name::np);
    py::object left = self.attr(attrName(Attr::asNumpyArray))(py::arg("numericRequired") = true);
    left = asProductOperand(left);

    py::object scipy = global(Name::scipy);
    py::object data = other.attr(attrName(Attr::data));
    py::object product;
    if (truthy(scipy.attr("kestroAccessible")()) &&
        truthy(scipy.attr("sparse").attr("issparse")(data))) {
        // (A B) = (B^T A^T)^T keeps the sparse operand on the left, where
        // scipy multiplies it with a dense array without densifying it.
        py::object dense = asProductOperand(data).attr(attrName(Attr::transpose))().attr(
            "__matmul__")(left.attr(attrName(Attr::transpose))());
        product = np.attr("asarray")(dense).attr(attrName(Attr::transpose))();
    } else {
        py::object right;
        if (isInstance(other, dataFrameClass())) {
            right = other.attr(attrName(Attr::asNumpyArray))(py::arg("numericRequired") = true);
        } else {
            right = np.attr("asarray")(other.attr(attrName(Attr::asNumpyArray))());
        }
        product = np.attr("matmul")(left, asProductOperand(right));
    }
    return dataFrameClass()(product);
}

const MethodRow kMatmulRow = methodRow<matmul>("_matmul__implementation", {"self", "other"},
    "\n        Matrix product of this object with ``other``.\n\n"
    "        ``other`` is a data object of any storage type whose point count\n"
    "        equals this object's feature count; both hold numeric values (the\n"
    "        public operation checks both).  The product is computed on dense\n"
    "        numeric arrays (a sparse ``other`` is multiplied without\n"
    "        densifying it) and returned as a new DataFrame with one point per\n"
    "        point of this object and one feature per feature of ``other``.\n"
    "        Boolean operands are counted as 0/1 integers, so the product of\n"
    "        two boolean objects holds integer counts, not logical values.\n"
    "        Neither operand is modified.\n        ");

}  // namespace kestro::native
