// Structural reshaping and element access.
#include "dataframe.hpp"
#include "pandas_storage.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kestro::native {

const char* const kTransposeDoc =
    "\n        Function to transpose the data, ie invert the feature and point\n"
    "        indices of the data.\n\n"
    "        This is not an in place operation, a new pandas DataFrame is\n"
    "        constructed.\n        ";
const char* const kReplaceRectangleDoc =
    "\n        Overwrite the rectangle of points pointStart..pointEnd and features\n"
    "        featureStart..featureEnd (inclusive) with ``replaceWith``.\n\n"
    "        Each touched feature is widened to the larger of its own dtype and\n"
    "        the replacement's dtype (numpy's ordering of dtypes). A numeric or\n"
    "        boolean value fills the rectangle as a number; any other single\n"
    "        value (a string, None, a date) fills it as itself and turns the\n"
    "        touched features into object features.\n        ";
const char* const kFlattenDoc =
    "\n        Flatten the object into a single point, reading the elements in\n"
    "        ``order`` (\"point\": all features of point 0, then of point 1, ...;\n"
    "        anything else: feature by feature).  Each new feature keeps the\n"
    "        dtype of the feature its element came from.\n        ";
const char* const kUnflattenDoc =
    "\n        Restore a single point (or feature) to the shape ``reshape``,\n"
    "        reading the elements in ``order``.  Each restored feature takes the\n"
    "        largest dtype (numpy's ordering) among the positions it gathers.\n"
    "        ";
const char* const kMergeDoc =
    "\n        Join this object's table with ``other``'s, in place.\n\n"
    "        Points are matched with pandas' merge: by point name, by position\n"
    "        when neither object names its points, or, when ``onFeature`` (a\n"
    "        feature name, or a position in this object) is given, by the\n"
    "        values of that feature, whose counterpart in ``other`` is found\n"
    "        through ``matchingFtIdx``.  A missing key matches nothing.\n"
    "        ``matchingFtIdx`` is a pair of equally long sequences of positions:\n"
    "        features of this object and of ``other`` holding the same quantity;\n"
    "        each matched pair becomes one feature.\n\n"
    "        ``point`` and ``feature`` are each \"strict\" (both objects hold the\n"
    "        same points / features), \"left\" (those of this object), \"union\"\n"
    "        (those of this object, then those only ``other`` has) or\n"
    "        \"intersection\" (those of this object found in ``other``).  Points\n"
    "        keep this object's order, each followed by its further matches in\n"
    "        ``other``'s order.\n\n"
    "        Where a matched feature has a value on both sides the values must\n"
    "        agree, else InvalidArgumentValue (\"The objects contain different\n"
    "        values for the same feature\"); a value missing on one side is\n"
    "        taken from the other, and positions neither side fills are\n"
    "        missing (NaN).  The table is replaced only when the merge\n"
    "        succeeds.\n        ";
const char* const kReplaceFeatureWithBinaryFeaturesDoc =
    "\n        Replace this one-feature object by one binary feature per unique\n"
    "        value.\n\n"
    "        ``uniqueIdx`` maps every value of the feature to the position of\n"
    "        its new feature (positions 0 .. len(uniqueIdx) - 1, each once).\n"
    "        The new table holds float64 1.0 where the point's value is that\n"
    "        feature's value and 0.0 elsewhere.\n        ";

// Typed table construction ---------------------------------------------------

namespace {

// A numpy array of positions.
py::object intpArray(const std::vector<Py_ssize_t>& values) {
    py::array_t<Py_ssize_t> array(static_cast<Py_ssize_t>(values.size()));
    std::copy(values.begin(), values.end(), array.mutable_data());
    return std::move(array);
}

}  // namespace

std::uint32_t TypeList::intern(py::handle dtype) {
    for (std::size_t k = 0; k < distinct.size(); ++k) {
        if (distinct[k].is(dtype)) return static_cast<std::uint32_t>(k);
    }
    for (std::size_t k = 0; k < distinct.size(); ++k) {
        if (distinct[k].equal(dtype)) return static_cast<std::uint32_t>(k);
    }
    distinct.push_back(py::reinterpret_borrow<py::object>(dtype));
    return static_cast<std::uint32_t>(distinct.size() - 1);
}

TypeList TypeList::of(py::handle table) {
    return of(table, PandasStorage().featureTypes(table));
}

TypeList TypeList::of(py::handle table, const py::list& blockTypes) {
    TypeList types;
    const PandasStorage storage;
    if (py::len(blockTypes) == 1) {
        // One type for every feature: no per-feature look-up.
        types.distinct.push_back(blockTypes[0]);
        types.at = std::vector<std::uint32_t>(
            static_cast<std::size_t>(py::len(table.attr(attrName(Attr::columns)))));
        return types;
    }
    const std::vector<py::object> dtypes = storage.columnTypes(table);
    types.at.reserve(dtypes.size());
    // Consecutive features mostly share one dtype object.
    py::handle last;
    std::uint32_t lastIndex = 0;
    for (const py::object& dtype : dtypes) {
        if (!last || !last.is(dtype)) {
            lastIndex = types.intern(dtype);
            last = dtype;
        }
        types.at.push_back(lastIndex);
    }
    return types;
}

namespace {

// A table of `values` whose features all have `dtype`.  Object features are
// built as object columns straight away: no type is inferred for them
// (pandas 3 would infer its string dtype).
py::object oneTypeTable(py::handle values, const py::object& dtype) {
    py::object pdFrame = global(Name::pd).attr("DataFrame");
    py::object objectType = global(Name::np).attr("dtype")(builtinType(&PyBaseObject_Type));
    if (dtype.equal(objectType)) return pdFrame(values, py::arg("dtype") = objectType);
    py::object table = pdFrame(values);
    return py::object(values.attr(attrName(Attr::dtype))).equal(dtype)
               ? table
               : table.attr(attrName(Attr::astype))(dtype);
}

// The feature positions of each distinct dtype of `types`, dtypes in order
// of first appearance.
struct TypeGroups {
    std::vector<std::uint32_t> type;  // index into types.distinct
    std::vector<std::vector<Py_ssize_t>> positions;
};

TypeGroups groupsOf(const TypeList& types) {
    TypeGroups groups;
    std::vector<std::uint32_t> groupOf(types.distinct.size(), UINT32_MAX);
    for (std::size_t pos = 0; pos < types.at.size(); ++pos) {
        std::uint32_t& group = groupOf[types.at[pos]];
        if (group == UINT32_MAX) {
            group = static_cast<std::uint32_t>(groups.type.size());
            groups.type.push_back(types.at[pos]);
            groups.positions.emplace_back();
        }
        groups.positions[group].push_back(static_cast<Py_ssize_t>(pos));
    }
    return groups;
}

// One block per dtype, cast as a whole, joined side by side and put back
// into position order: no column is ever assigned on its own.
py::object joinedGroups(py::handle values, const TypeList& types, const TypeGroups& groups) {
    py::object pd = global(Name::pd);
    py::object pdFrame = pd.attr("DataFrame");
    py::object objectType = global(Name::np).attr("dtype")(builtinType(&PyBaseObject_Type));
    py::object valuesType = values.attr(attrName(Attr::dtype));
    const std::size_t count = types.at.size();
    py::list frames;
    py::array_t<Py_ssize_t> concatenated(static_cast<Py_ssize_t>(count));
    Py_ssize_t* out = concatenated.mutable_data();
    for (std::size_t g = 0; g < groups.type.size(); ++g) {
        const std::vector<Py_ssize_t>& positions = groups.positions[g];
        py::object labels = intpArray(positions);
        out = std::copy(positions.begin(), positions.end(), out);
        const py::object& dtype = types.distinct[groups.type[g]];
        py::object block = values.attr(attrName(Attr::take))(labels, py::arg("axis") = 1);
        py::object frame;
        if (dtype.equal(objectType)) {
            frame = pdFrame(block, py::arg("columns") = labels, py::arg("dtype") = objectType);
        } else {
            frame = pdFrame(block, py::arg("columns") = labels);
            if (!valuesType.equal(dtype)) frame = frame.attr(attrName(Attr::astype))(dtype);
        }
        frames.append(frame);
    }
    py::object joined = pd.attr("concat")(frames, py::arg("axis") = 1);
    py::object order = global(Name::np).attr("argsort")(concatenated, py::arg("kind") = "stable");
    py::object table = joined.attr(attrName(Attr::take))(order, py::arg("axis") = 1);
    table.attr(attrName(Attr::columns)) = rangeIndex(py::int_(static_cast<Py_ssize_t>(count)));
    table.attr(attrName(Attr::index)) =
        rangeIndex(py::tuple(values.attr(attrName(Attr::shape)))[0]);
    return table;
}

}  // namespace

py::object typedTable(py::handle values, const TypeList& types) {
    py::tuple shape(values.attr(attrName(Attr::shape)));
    if (shape.size() != 2 || py::cast<std::size_t>(shape[1]) != types.at.size()) {
        raise(global(Name::InvalidArgumentValue), "A dtype must be specified for each feature");
    }
    // Every feature of one type (wide tables hold many): one table.
    if (types.distinct.size() == 1) return oneTypeTable(values, types.distinct[0]);
    const TypeGroups groups = groupsOf(types);
    if (groups.type.empty()) return newTable(values);
    if (groups.type.size() == 1) return oneTypeTable(values, types.distinct[groups.type[0]]);
    return joinedGroups(values, types, groups);
}

namespace {

std::vector<py::object> listOf(py::handle iterable) {
    std::vector<py::object> items;
    for (py::handle item : iterable) items.push_back(py::reinterpret_borrow<py::object>(item));
    return items;
}

Py_ssize_t asSize(py::handle value) {
    const Py_ssize_t result = PyNumber_AsSsize_t(value.ptr(), PyExc_OverflowError);
    if (result == -1 && PyErr_Occurred()) throw py::error_already_set();
    return result;
}

Py_ssize_t length(py::handle value) {
    const Py_ssize_t result = PyObject_Length(value.ptr());
    if (result < 0) throw py::error_already_set();
    return result;
}

bool isPointOrder(py::handle order) { return equals(order, "point"); }

// A Python int (not a bool) that int64 cannot hold.
bool beyondInt64(py::handle value) {
    if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr())) return false;
    int overflow = 0;
    const long long result = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (result == -1 && PyErr_Occurred()) throw py::error_already_set();
    return overflow != 0;
}

// Boolean, integer, float or complex.
bool isNumericType(py::handle dtype) {
    const std::string kind = py::cast<std::string>(dtype.attr(attrName(Attr::kind)));
    return kind.size() == 1 && std::string("biufc").find(kind[0]) != std::string::npos;
}

[[noreturn]] void emptyMax() { throw py::value_error("max() arg is an empty sequence"); }

// Lets a long native loop be interrupted: every 4096 steps it runs the
// interpreter's signal handlers, and a handler's exception ends the loop.
class SignalCheck {
public:
    void step() {
        if ((++steps_ & 4095u) == 0 && PyErr_CheckSignals() != 0) throw py::error_already_set();
    }

private:
    std::size_t steps_ = 0;
};

// `a * b` for sizes of zero or more; false when it does not fit.
bool checkedProduct(Py_ssize_t a, Py_ssize_t b, Py_ssize_t& product) {
    return !__builtin_mul_overflow(a, b, &product);
}

// The positions of the integer features (kinds "i" and "u") of `types`.
std::vector<Py_ssize_t> integerPositions(const TypeList& types) {
    std::vector<bool> integral(types.distinct.size());
    for (std::size_t k = 0; k < types.distinct.size(); ++k) {
        const std::string kind =
            py::cast<std::string>(types.distinct[k].attr(attrName(Attr::kind)));
        integral[k] = kind == "i" || kind == "u";
    }
    std::vector<Py_ssize_t> positions;
    for (std::size_t j = 0; j < types.at.size(); ++j) {
        if (integral[types.at[j]]) positions.push_back(static_cast<Py_ssize_t>(j));
    }
    return positions;
}

// Whether the integer features of `table` keep every value in `commonType`,
// the type pandas gives the table's values as one array.
bool integersSurvive(py::handle table, const TypeList& types, py::handle commonType) {
    const std::string kind = py::cast<std::string>(commonType.attr(attrName(Attr::kind)));
    if (kind != "f" && kind != "c") return true;
    const std::vector<Py_ssize_t> positions = integerPositions(types);
    if (positions.empty()) return true;
    py::object block = ilocColumns(table, intpArray(positions)).attr(attrName(Attr::to_numpy))();
    for (py::handle exact : representable(block, commonType)) {
        if (!truthy(exact)) return false;
    }
    return true;
}

// The largest of the dtypes at `first`, `first + step`, ... (`count`
// positions), chosen as the builtin `max` chooses: a later dtype replaces the
// current choice only when it compares strictly greater.
class LargestType {
public:
    explicit LargestType(const TypeList& types)
        : types_(types), known_(types.distinct.size() * types.distinct.size(), kUnknown) {}

    std::uint32_t operator()(std::size_t first, std::size_t step, std::size_t count) {
        if (count == 0) emptyMax();
        std::uint32_t best = types_.at[first];
        for (std::size_t k = 1; k < count; ++k) {
            signals_.step();
            const std::uint32_t candidate = types_.at[first + k * step];
            if (candidate != best && greater(candidate, best)) best = candidate;
        }
        return best;
    }

private:
    static constexpr signed char kUnknown = -1;

    bool greater(std::uint32_t a, std::uint32_t b) {
        signed char& answer = known_[a * types_.distinct.size() + b];
        if (answer == kUnknown) {
            answer = dtypeGreater(types_.distinct[a], types_.distinct[b]) ? 1 : 0;
        }
        return answer == 1;
    }

    const TypeList& types_;
    std::vector<signed char> known_;
    SignalCheck signals_;
};

}  // namespace

// Transpose -----------------------------------------------------------------

namespace {

// The transpose of `table` with every element held as the object it is.
// The table is built from an object array with its element type given, so
// that no pandas version infers a type for the new features (pandas 1.5
// turns object columns of dates into datetime features and None next to NaT
// into NaT).
py::object objectTranspose(py::handle table) {
    py::object objectType = global(Name::np).attr("dtype")(builtinType(&PyBaseObject_Type));
    py::object values = table.attr(attrName(Attr::to_numpy))(py::arg("dtype") = objectType);
    return global(Name::pd).attr("DataFrame")(values.attr(attrName(Attr::T)),
                                              py::arg("dtype") = objectType);
}

bool holdsOnlyNumbers(const TypeList& types) {
    for (const py::object& dtype : types.distinct) {
        if (!isNumericType(dtype)) return false;
    }
    return true;
}

}  // namespace

py::object transpose(py::handle self) {
    py::object table = backingTable(self);
    const TypeList types = TypeList::of(table);
    py::object transposed;
    if (!holdsOnlyNumbers(types)) {
        // Objects, dates and durations keep their values as objects.
        transposed = types.distinct.size() == 1 &&
                             !equals(types.distinct[0].attr(attrName(Attr::kind)), "O")
                         ? table.attr(attrName(Attr::T))
                         : objectTranspose(table);
    } else {
        transposed = table.attr(attrName(Attr::T));
        // Features of several types meet in one common type; where that type
        // is a float that would change an integer, the elements travel as
        // objects.
        if (types.distinct.size() > 1) {
            const TypeList newTypes = TypeList::of(transposed);
            if (newTypes.distinct.size() == 1 &&
                !integersSurvive(table, types, newTypes.distinct[0])) {
                transposed = objectTranspose(table);
            }
        }
    }
    self.attr(attrName(Attr::data)) = transposed;
    return py::none();
}

// Replace rectangle ---------------------------------------------------------

namespace {

// `value` as a position or size; InvalidArgumentValue(`message`) for an
// integer beyond the position range.
Py_ssize_t positionOrRefuse(py::handle value, const char* message) {
    const Py_ssize_t result = PyNumber_AsSsize_t(value.ptr(), PyExc_OverflowError);
    if (result == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw py::error_already_set();
        PyErr_Clear();
        raise(global(Name::InvalidArgumentValue), message);
    }
    return result;
}

// A rectangle bound as a position; a Python int beyond the position range
// lies outside every table.
Py_ssize_t boundOf(py::handle value) {
    return positionOrRefuse(value, "The rectangle to replace lies outside the data");
}

// 0 <= first <= last < count.
bool withinCount(Py_ssize_t first, Py_ssize_t last, Py_ssize_t count) {
    return first >= 0 && first <= last && last < count;
}

// The inclusive rectangle of points and features to replace.
struct Rectangle {
    Py_ssize_t firstPoint, lastPoint, firstFeature, lastFeature;

    Py_ssize_t height() const { return lastPoint - firstPoint + 1; }
    Py_ssize_t width() const { return lastFeature - firstFeature + 1; }
    py::object rows() const { return slice(py::int_(firstPoint), py::int_(lastPoint + 1)); }
    py::object features() const { return slice(py::int_(firstFeature), py::int_(lastFeature + 1)); }
    std::size_t feature(Py_ssize_t k) const { return static_cast<std::size_t>(firstFeature + k); }
};

// The rectangle given by the four bounds, refused unless it lies inside a
// table of `points` x `features`.  Both ranges are checked before any size
// is computed from them, so no difference can overflow.
Rectangle rectangleWithin(py::handle pointStart, py::handle featureStart, py::handle pointEnd,
                          py::handle featureEnd, Py_ssize_t points, Py_ssize_t features) {
    const Rectangle rect{boundOf(pointStart), boundOf(pointEnd), boundOf(featureStart),
                         boundOf(featureEnd)};
    if (!withinCount(rect.firstPoint, rect.lastPoint, points) ||
        !withinCount(rect.firstFeature, rect.lastFeature, features)) {
        raise(global(Name::InvalidArgumentValue), "The rectangle to replace lies outside the data");
    }
    return rect;
}

// The new values of a rectangle: their types (one per touched feature, or
// those of the replacing object's features) and, once needed, the block of
// values.  A number is kept as it is (`scalarType` set) until a type check
// or a rebuilt feature asks for the block.
class Replacement {
public:
    Replacement(py::handle replaceWith, const Rectangle& rect)
        : value_(py::reinterpret_borrow<py::object>(replaceWith)),
          shape_(py::make_tuple(rect.height(), rect.width())) {
        py::object np = global(Name::np);
        const bool isFrame = isInstance(replaceWith, dataFrameClass());
        const bool isData = isFrame || isInstance(replaceWith, global(Name::Base));
        if (isFrame) {
            types = PandasStorage().columnTypes(backingTable(replaceWith));
        } else {
            py::object valueType = np.attr("dtype")(py::type::of(replaceWith));
            const bool numeric = isNumericType(valueType);
            if (!isData && !numeric) valueType = np.attr("dtype")("O");
            types.assign(static_cast<std::size_t>(rect.width()), valueType);
            if (!isData) fromValue(valueType, numeric);
        }
        if (isData) {
            values_ = replaceWith.attr(attrName(Attr::asNumpyArray))();
            if (!py::object(np.attr("shape")(values_)).equal(shape_)) {
                raise(global(Name::InvalidArgumentValue),
                      "The replacement data must have the shape of the rectangle");
            }
        }
    }

    std::vector<py::object> types;
    // A Python int beyond int64, held as a float, and whether that float
    // holds it exactly.
    bool hugeInt = false;
    bool floatIsExact = false;

    // The block of new values, made on first use.
    const py::object& block() {
        if (!values_) {
            values_ = global(Name::np).attr("full")(shape_, value_, py::arg("dtype") = scalarType_);
        }
        return values_;
    }
    // Column `k` of the block as a one-column block.
    py::object blockColumn(Py_ssize_t k) {
        return block()[py::make_tuple(slice(py::none(), py::none()),
                                      slice(py::int_(k), py::int_(k + 1)))];
    }
    py::object valuesType() const {
        return scalarType_ ? scalarType_ : py::object(values_.attr(attrName(Attr::dtype)));
    }
    // Whether the replacement is a signed integer or float number kept as
    // it is (no block made for it yet).
    bool isPlainNumber() const { return scalarType_ && !values_ && isSignedOrFloat(scalarType_); }
    // Whether `type` holds the number exactly.
    bool numberFits(py::handle type) const {
        py::object one = global(Name::np).attr("full")(py::make_tuple(1, 1), value_,
                                                       py::arg("dtype") = scalarType_);
        return truthy(representable(one, type)[0]);
    }
    static bool isSignedOrFloat(py::handle dtype) {
        const std::string kind = py::cast<std::string>(dtype.attr(attrName(Attr::kind)));
        return kind == "i" || kind == "f";
    }
    // What an in-place write assigns: the block, or the number itself, which
    // pandas spreads over the rectangle without a block of copies.
    py::object written() const { return values_ ? values_ : value_; }

private:
    void fromValue(const py::object& valueType, bool numeric) {
        py::object np = global(Name::np);
        if (numeric && beyondInt64(value_)) {
            // No exact numpy integer: the block holds it as a float, as
            // `value * numpy.ones` would.
            hugeInt = true;
            py::object asFloat = steal(PyNumber_Float(value_.ptr()));
            floatIsExact = steal(PyNumber_Long(asFloat.ptr())).equal(value_);
            values_ =
                np.attr("full")(shape_, asFloat, py::arg("dtype") = builtinType(&PyFloat_Type));
        } else if (numeric) {
            // Its own dtype: a float round trip would lose the low digits of
            // large integers.
            scalarType_ = valueType;
        } else {
            values_ =
                np.attr("empty")(shape_, py::arg("dtype") = np.attr("dtype")(np.attr("object_")));
            values_.attr("fill")(value_);
        }
    }

    py::object value_;
    py::tuple shape_;
    py::object values_;
    py::object scalarType_;
};

// The type feature `type` must take to hold the replacement's column `k`.
// It widens to the replacement's type when that is the larger one.  Two
// numeric types of which neither holds the other (int64 and float32) keep
// the feature's type unless the new values would not survive it (0.5 into
// int64): those meet in numpy's common type, so no value is lost.
py::object widenedFeatureType(py::object type, Replacement& replacement, Py_ssize_t k) {
    py::object promote = global(Name::np).attr("promote_types");
    const py::object& candidate = replacement.types[static_cast<std::size_t>(k)];
    if (dtypeGreater(candidate, type)) {
        type = candidate;
    } else if (isNumericType(candidate) && isNumericType(type) && !dtypeGreater(type, candidate) &&
               !type.equal(candidate) &&
               !truthy(representable(replacement.blockColumn(k), type)[0])) {
        type = promote(type, candidate);
    }
    if (replacement.hugeInt && isNumericType(type)) {
        // The int64 listed for such a value must not wrap it: a numeric
        // feature that cannot hold it (an integer feature: exactly) meets it
        // in float.
        const std::string kind = py::cast<std::string>(type.attr(attrName(Attr::kind)));
        const bool integral = kind == "b" || kind == "i" || kind == "u";
        py::object column = replacement.blockColumn(k);
        if ((integral && !replacement.floatIsExact) || !truthy(representable(column, type)[0])) {
            type = promote(type, column.attr(attrName(Attr::dtype)));
        }
    }
    return type;
}

// Writes the replacement over the rectangle; `types` are the features'
// final dtypes, `current` those they have now.  When every touched feature
// keeps its dtype and the values have it too, one positional write in place.
// Otherwise each touched feature is rebuilt whole in its final dtype before
// anything is written, so pandas never has to guess a dtype for a mixed
// column.
// Whether the replacement can be written over the rectangle in place: every
// touched feature keeps its type and either has the values' type already,
// or (a signed integer or float number into signed integer and float
// features) holds the number exactly, which pandas then stores as it is
// (pandas 1.5 warns about such a write over whole columns: it rebuilds them).
bool writesInPlace(const Rectangle& rect, const Replacement& replacement,
                   const std::vector<py::object>& types, const std::vector<py::object>& current) {
    py::object valuesType = replacement.valuesType();
    bool sameTypes = true;
    bool numberFits = replacement.isPlainNumber() && pandasMajor(global(Name::pd)) >= 2;
    py::object checked;  // the last feature type the number was checked against
    for (Py_ssize_t k = 0; k < rect.width() && (sameTypes || numberFits); ++k) {
        const std::size_t i = rect.feature(k);
        if (!types[i].equal(current[i])) return false;
        sameTypes = sameTypes && valuesType.equal(current[i]);
        if (numberFits && !valuesType.equal(current[i]) && !current[i].is(checked)) {
            numberFits =
                Replacement::isSignedOrFloat(current[i]) && replacement.numberFits(current[i]);
            checked = current[i];
        }
    }
    return sameTypes || numberFits;
}

void writeRectangle(py::handle table, const Rectangle& rect, Replacement& replacement,
                    const std::vector<py::object>& types, const std::vector<py::object>& current) {
    if (writesInPlace(rect, replacement, types, current)) {
        table.attr(attrName(Attr::iloc))[py::make_tuple(rect.rows(), rect.features())] =
            replacement.written();
        return;
    }
    py::object iloc = table.attr(attrName(Attr::iloc));
    py::object all = slice(py::none(), py::none());
    std::vector<py::object> columns;
    columns.reserve(static_cast<std::size_t>(rect.width()));
    for (Py_ssize_t k = 0; k < rect.width(); ++k) {
        const std::size_t i = rect.feature(k);
        py::object column = iloc[py::make_tuple(all, py::int_(rect.firstFeature + k))];
        if (!types[i].equal(current[i])) column = column.attr(attrName(Attr::astype))(types[i]);
        py::object array = column.attr(attrName(Attr::to_numpy))(py::arg("copy") = true);
        array[rect.rows()] = replacement.block()[py::make_tuple(all, py::int_(k))];
        columns.push_back(std::move(array));
    }
    // Each array goes in as a Series of its own dtype: pandas 3 would turn
    // an object array of strings into its string dtype.
    py::object series = global(Name::pd).attr("Series");
    py::object index = table.attr(attrName(Attr::index));
    for (Py_ssize_t k = 0; k < rect.width(); ++k) {
        const py::object& array = columns[static_cast<std::size_t>(k)];
        table.attr(attrName(Attr::isetitem))(
            rect.firstFeature + k, series(array, py::arg("index") = index,
                                          py::arg("dtype") = array.attr(attrName(Attr::dtype))));
    }
}

}  // namespace

py::object replaceRectangle(py::handle self, py::handle replaceWith, py::handle pointStart,
                            py::handle featureStart, py::handle pointEnd, py::handle featureEnd) {
    py::object table = backingTable(self);
    // The feature type list: a Series of its own, updated where a feature is
    // widened and handed whole to `_setDtypes` at the end.
    py::object dtypeSeries = table.attr(attrName(Attr::dtypes));
    const std::vector<py::object> current = listOf(dtypeSeries);
    const Rectangle rect = rectangleWithin(pointStart, featureStart, pointEnd, featureEnd,
                                           length(table.attr(attrName(Attr::index))),
                                           static_cast<Py_ssize_t>(current.size()));
    Replacement replacement(replaceWith, rect);

    std::vector<py::object> types = current;
    const Py_ssize_t pairs =
        std::min(rect.width(), static_cast<Py_ssize_t>(replacement.types.size()));
    for (Py_ssize_t k = 0; k < pairs; ++k) {
        types[rect.feature(k)] = widenedFeatureType(types[rect.feature(k)], replacement, k);
    }
    writeRectangle(table, rect, replacement, types, current);

    py::object dtypeIloc = dtypeSeries.attr(attrName(Attr::iloc));
    for (std::size_t i = 0; i < types.size(); ++i) {
        if (!types[i].is(current[i])) dtypeIloc[py::int_(i)] = types[i];
    }
    self.attr(attrName(Attr::setDtypes))(dtypeSeries);
    return py::none();
}

// Flatten and unflatten -----------------------------------------------------

namespace {

// Whether `self._setDtypes` is this module's own method, replaced neither on
// the class nor on the object: bound from a native callable of this module
// named `_setDtypes`.
bool ownSetDtypes(py::handle self) {
    py::object bound = self.attr(attrName(Attr::setDtypes));
    if (!PyMethod_Check(bound.ptr())) return false;
    py::handle function = PyMethod_GET_FUNCTION(bound.ptr());
    if (PyFunction_Check(function.ptr())) return false;
    py::object name = py::getattr(function, "__name__", py::none());
    py::object module = py::getattr(function, "__module__", py::none());
    return equals(name, "_setDtypes") && module.equal(global(Name::__name__));
}

py::tuple asTuple(const TypeList& types) {
    py::tuple result(types.at.size());
    for (std::size_t k = 0; k < types.at.size(); ++k) {
        result[k] = types.distinct[types.at[k]];
    }
    return result;
}

// Whether `values` (two-dimensional) has one column per type of `types`.
bool oneTypePerColumn(py::handle values, const TypeList& types) {
    py::tuple shape(values.attr(attrName(Attr::shape)));
    return shape.size() == 2 && py::cast<std::size_t>(shape[1]) == types.at.size();
}

// The new backing table: `pd.DataFrame(values)`, then `_setDtypes` with
// `types` (a tuple).  With this module's own `_setDtypes` and one type per
// column the typed table is built directly, which ends in the same table
// without a pass through the array's element type.  Should a value not
// convert to its type, the two steps are taken as they are, so that the
// object is left as the failing `_setDtypes` leaves it (the columns before
// the failing one converted) with the error it raises.
void installTable(py::handle self, py::handle values, const TypeList& types) {
    if (ownSetDtypes(self) && oneTypePerColumn(values, types)) {
        try {
            self.attr(attrName(Attr::data)) = typedTable(values, types);
            return;
        } catch (py::error_already_set& e) {
            const bool conversionFailed = e.matches(PyExc_ValueError) ||
                                          e.matches(PyExc_TypeError) ||
                                          e.matches(PyExc_ArithmeticError);
            if (!conversionFailed) throw;
        }
    }
    self.attr(attrName(Attr::data)) = newTable(values);
    self.attr(attrName(Attr::setDtypes))(asTuple(types));
}

// The values reshaped to `shape` in `order` ("point" or "feature") become
// the new backing table, with `types` per feature.
// The values to reshape: the dense array, unless that array's common type
// would change an integer feature's values (2**53 + 1 next to a float
// feature); then every element as the Python object the table holds.
py::object exactValues(py::handle self) {
    py::object values = self.attr(attrName(Attr::asNumpyArray))();
    py::object table = backingTable(self);
    const py::list blockTypes = PandasStorage().featureTypes(table);
    if (py::len(blockTypes) <= 1) return values;
    const TypeList types = TypeList::of(table, blockTypes);
    if (types.distinct.size() <= 1 ||
        integersSurvive(table, types,
                        global(Name::np).attr("asarray")(values).attr(attrName(Attr::dtype)))) {
        return values;
    }
    return table.attr(attrName(Attr::astype))(global(Name::np).attr("dtype")("O"))
        .attr(attrName(Attr::to_numpy))();
}

void reshapeValues(py::handle self, py::handle shape, py::handle order, const TypeList& types) {
    py::object numpyOrder = global(Name::convertToNumpyOrder)(order);
    py::object values = exactValues(self);
    installTable(self, values.attr(attrName(Attr::reshape))(shape, py::arg("order") = numpyOrder),
                 types);
}

// The table's point and feature counts.
std::pair<Py_ssize_t, Py_ssize_t> tableShape(py::handle table) {
    py::tuple shape(table.attr(attrName(Attr::shape)));
    return {asSize(shape[0]), asSize(shape[1])};
}

// The restored features' types exactly as Python computes them from the
// tuple of types: `max` over `dtypes[i::F]` for i in `range(F)` in point
// order, over `dtypes[s:s + P]` for s in `range(0, numpy.prod(reshape), P)`
// otherwise; a single feature first becomes `(dtypes[0],) * (P * F)` when
// F > 1.
TypeList typesBySlicing(const TypeList& dtypes, py::handle reshape, py::handle order) {
    py::object builtins = py::module_::import("builtins");
    py::object range = builtins.attr("range");
    py::object max = builtins.attr("max");
    py::object P = reshape[py::int_(0)];
    py::object F = reshape[py::int_(1)];
    py::tuple types = asTuple(dtypes);
    if (types.size() == 1 && F > py::int_(1)) {
        py::tuple one = py::make_tuple(types[0]);
        types = py::reinterpret_borrow<py::tuple>(
            steal(PyNumber_Multiply(one.ptr(), (P * F).ptr())));
    }
    TypeList result;
    if (isPointOrder(order)) {
        for (py::handle i : range(F)) {
            py::object every = steal(PySlice_New(i.ptr(), Py_None, F.ptr()));
            result.at.push_back(result.intern(max(steal(PyObject_GetItem(types.ptr(), every.ptr())))));
        }
    } else {
        py::object total = global(Name::np).attr("prod")(reshape);
        for (py::handle start : range(0, total, P)) {
            py::object stop = py::reinterpret_borrow<py::object>(start) + P;
            py::object part = steal(PyObject_GetItem(types.ptr(), slice(start, stop).ptr()));
            result.at.push_back(result.intern(max(part)));
        }
    }
    return result;
}

}  // namespace

py::object flatten(py::handle self, py::handle order) {
    const Py_ssize_t points = length(self.attr(attrName(Attr::points)));
    const Py_ssize_t features = length(self.attr(attrName(Attr::features)));
    py::object table = backingTable(self);
    // The shape the host records must be the table's: every count below is
    // then bounded by the elements the table really holds.
    if (tableShape(table) != std::make_pair(points, features)) {
        raise(global(Name::InvalidArgumentValue),
              "The recorded shape of the object differs from the shape of its table");
    }
    Py_ssize_t numElements = 0;
    if (!checkedProduct(points, features, numElements)) {
        raise(global(Name::InvalidArgumentValue), "The object holds too many elements to flatten");
    }
    const TypeList dtypes = TypeList::of(table);

    // Point order tiles the feature types, feature order repeats each one.
    TypeList newTypes;
    newTypes.distinct = dtypes.distinct;
    const std::size_t p = static_cast<std::size_t>(std::max<Py_ssize_t>(points, 0));
    newTypes.at.reserve(dtypes.at.size() * p);
    SignalCheck signals;
    if (dtypes.distinct.size() == 1) {
        newTypes.at = std::vector<std::uint32_t>(dtypes.at.size() * p);
    } else if (isPointOrder(order)) {
        for (std::size_t k = 0; k < p; ++k) {
            signals.step();
            newTypes.at.insert(newTypes.at.end(), dtypes.at.begin(), dtypes.at.end());
        }
    } else {
        for (std::uint32_t type : dtypes.at) {
            signals.step();
            newTypes.at.insert(newTypes.at.end(), p, type);
        }
    }

    reshapeValues(self, py::make_tuple(1, numElements), order, newTypes);
    return py::none();
}

namespace {


// The element type of each restored feature: the largest type among the
// positions it gathers; no types when the shape does not hold the
// `elementCount` elements of the table.
TypeList restoredTypes(py::handle table, py::handle reshape, py::handle order,
                       Py_ssize_t elementCount) {
    // A size beyond the position range is too large for any object.
    const char* tooLarge = "The shape to restore holds more elements than any object can";
    const Py_ssize_t points = positionOrRefuse(reshape[py::int_(0)], tooLarge);
    const Py_ssize_t features = positionOrRefuse(reshape[py::int_(1)], tooLarge);
    if (points <= 0 || features <= 0) {
        // Sizes of zero or below: the types are worked out with Python's own
        // slicing, range and max, whatever numpy then makes of the shape.
        return typesBySlicing(TypeList::of(table), reshape, order);
    }
    Py_ssize_t product = 0;
    if (!checkedProduct(points, features, product)) {
        raise(global(Name::InvalidArgumentValue),
              "The shape to restore holds more elements than any object can");
    }
    if (product != elementCount) return TypeList{};  // numpy's reshape reports it
    py::list blockTypes = PandasStorage().featureTypes(table);
    if (py::len(blockTypes) == 1) {
        // One type for every element (and no per-position list of it).
        TypeList oneType;
        oneType.distinct.push_back(blockTypes[0]);
        oneType.at.assign(static_cast<std::size_t>(features), 0);
        return oneType;
    }
    TypeList dtypes = TypeList::of(table, blockTypes);
    // A single feature holding every element: each position shares its type.
    if (dtypes.at.size() == 1 && features > 1) {
        dtypes.at.assign(static_cast<std::size_t>(points * features), dtypes.at[0]);
    }
    const std::size_t available = dtypes.at.size();
    const std::size_t p = static_cast<std::size_t>(points);
    const std::size_t f = static_cast<std::size_t>(features);

    TypeList newTypes;
    newTypes.distinct = dtypes.distinct;
    LargestType largest(dtypes);
    SignalCheck signals;
    if (isPointOrder(order)) {
        // Feature i gathers positions i, i + F, i + 2F, ...
        for (std::size_t i = 0; i < f; ++i) {
            signals.step();
            const std::size_t count = i < available ? (available - i + f - 1) / f : 0;
            newTypes.at.push_back(largest(i, f, count));
        }
    } else {
        // Feature j gathers the P consecutive positions from j * P.
        for (std::size_t start = 0; start < p * f; start += p) {
            signals.step();
            const std::size_t end = std::min(start + p, available);
            newTypes.at.push_back(largest(start, 1, end > start ? end - start : 0));
        }
    }
    return newTypes;
}

}  // namespace

py::object unflatten(py::handle self, py::handle reshape, py::handle order) {
    py::object table = backingTable(self);
    const auto [points, features] = tableShape(table);
    TypeList newTypes = restoredTypes(table, reshape, order, points * features);
    reshapeValues(self, reshape, order, newTypes);
    return py::none();
}

// Merge ---------------------------------------------------------------------

namespace {

enum class Keep { Strict, Left, Union, Intersection };

Keep keepMode(py::handle mode, const char* axis) {
    if (equals(mode, "strict")) return Keep::Strict;
    if (equals(mode, "left")) return Keep::Left;
    if (equals(mode, "union")) return Keep::Union;
    if (equals(mode, "intersection")) return Keep::Intersection;
    std::string message = std::string(axis) +
                          " must be one of 'strict', 'left', 'union' or 'intersection'";
    raise(global(Name::InvalidArgumentValue), message.c_str());
}

// The largest integer magnitude up to which float64 holds every integer.
constexpr long long kExactFloatInteger = 1LL << 53;

// Positions read from a sequence, each checked against `limit`.
std::vector<Py_ssize_t> positionsOf(py::handle sequence, Py_ssize_t limit) {
    std::vector<Py_ssize_t> positions;
    for (py::handle item : sequence) {
        const Py_ssize_t position = asSize(item);
        if (position < 0 || position >= limit) {
            raise(global(Name::InvalidArgumentValue),
                  "matchingFtIdx holds a feature position outside the data");
        }
        positions.push_back(position);
    }
    return positions;
}

// The key of every point: its value in the key feature, else its name, or
// its position when neither object names its points.
py::object pointKeys(py::handle obj, py::handle table, Py_ssize_t keyFeature,
                     bool byPosition) {
    if (keyFeature >= 0) {
        return ilocColumns(table, py::int_(keyFeature))
            .attr(attrName(Attr::to_numpy))(py::arg("dtype") = global(Name::np).attr("dtype")("O"));
    }
    if (byPosition) {
        return global(Name::np).attr("arange")(length(table.attr(attrName(Attr::index))));
    }
    py::object names =
        obj.attr(attrName(Attr::points)).attr(attrName(Attr::getNamesNoGeneration))();
    if (names.is_none()) {
        raise(global(Name::InvalidArgumentValue),
              "Matching points by name needs point names on both objects");
    }
    return py::list(names);
}

// The position of the key feature `onFeature` (a name, or a position in
// `obj`).
Py_ssize_t keyPosition(py::handle obj, py::handle onFeature, Py_ssize_t featureCount) {
    const Py_ssize_t position =
        PyUnicode_Check(onFeature.ptr())
            ? asSize(obj.attr(attrName(Attr::features)).attr("getIndex")(onFeature))
            : asSize(onFeature);
    if (position < 0 || position >= featureCount) {
        raise(global(Name::InvalidArgumentValue), "onFeature must be one of the matched features");
    }
    return position;
}

// The columns at `positions` of `table`, in that order.
py::object columnsAt(py::handle table, const std::vector<Py_ssize_t>& positions) {
    return table.attr(attrName(Attr::take))(intpArray(positions), py::arg("axis") = 1);
}

// Whether every value of the integer column `column` is a float64 exactly
// (no larger than 2**53 in magnitude).
bool floatHoldsEvery(py::handle column) {
    if (length(column) == 0) return true;
    py::object limit = py::int_(kExactFloatInteger);
    py::object values = column.attr(attrName(Attr::to_numpy))();
    return truthy(values.attr(attrName(Attr::min))().attr(attrName(Attr::ge))(-limit)) &&
           truthy(values.attr(attrName(Attr::max))().attr("__le__")(limit));
}

// The rows at `positions` of `table`, a position of -1 giving a missing row.
// Boolean and integer features cannot hold a missing value: with missing
// rows pandas makes them object (boolean) and float (integer) features.  An
// integer feature that float would change travels as objects instead, so
// that no integer passes through a float that does not hold it.
py::object rowsAt(py::handle table, py::handle positions, bool missingRows) {
    if (!missingRows) return table.attr(attrName(Attr::take))(positions);
    py::object objectType = global(Name::np).attr("dtype")(global(Name::np).attr("object_"));
    const TypeList types = TypeList::of(table);
    py::dict casts;
    py::object columns = table.attr(attrName(Attr::columns));
    for (std::size_t j = 0; j < types.at.size(); ++j) {
        const std::string kind =
            py::cast<std::string>(types.distinct[types.at[j]].attr(attrName(Attr::kind)));
        const bool integral = kind == "i" || kind == "u";
        const auto position = py::int_(static_cast<Py_ssize_t>(j));
        if (kind == "b" || (integral && !floatHoldsEvery(ilocColumns(table, position)))) {
            casts[columns[py::int_(j)]] = objectType;
        }
    }
    py::object source = casts.empty() ? py::reinterpret_borrow<py::object>(table)
                                      : table.attr(attrName(Attr::astype))(casts);
    return source.attr("reindex")(positions);
}

// The type of the feature each result feature comes from: this object's
// kept features, then the other's own.
std::vector<py::object> sourceTypes(py::handle left, const std::vector<Py_ssize_t>& leftKept,
                                    py::handle right, const std::vector<Py_ssize_t>& rightKept) {
    const TypeList leftTypes = TypeList::of(left);
    const TypeList rightTypes = TypeList::of(right);
    std::vector<py::object> types;
    for (Py_ssize_t j : leftKept) {
        types.push_back(leftTypes.distinct[leftTypes.at[static_cast<std::size_t>(j)]]);
    }
    for (Py_ssize_t j : rightKept) {
        types.push_back(rightTypes.distinct[rightTypes.at[static_cast<std::size_t>(j)]]);
    }
    return types;
}

// Each feature of `result` that holds no missing value gets back the type of
// the feature it comes from, where that type holds its values exactly.  An
// integer feature travelled as objects because of missing rows and still
// missing values becomes float, as pandas makes it; a boolean one stays
// object.
// `gapped` marks the features known to miss a value (taken from a side with
// missing rows and filled from nowhere).
void restoreSourceTypes(py::handle result, const std::vector<py::object>& types,
                        const std::vector<bool>& gapped) {
    const std::vector<py::object> current = PandasStorage().columnTypes(result);
    for (std::size_t k = 0; k < types.size(); ++k) {
        const py::object& source = types[k];
        py::object now = current[k];
        if (!now.not_equal(source)) continue;
        const auto position = py::int_(static_cast<Py_ssize_t>(k));
        py::object column = ilocColumns(result, position);
        const std::string kind = py::cast<std::string>(source.attr(attrName(Attr::kind)));
        if (gapped[k] || truthy(column.attr(attrName(Attr::isna))().attr(attrName(Attr::any))())) {
            if (equals(now.attr(attrName(Attr::kind)), "O") && (kind == "i" || kind == "u")) {
                py::object float64 = global(Name::np).attr("dtype")("float64");
                result.attr(attrName(Attr::isetitem))(
                    position, column.attr(attrName(Attr::astype))(float64));
            }
            continue;
        }
        py::object block =
            column.attr(attrName(Attr::to_numpy))().attr(attrName(Attr::reshape))(-1, 1);
        if (truthy(representable(block, source)[0])) {
            result.attr(attrName(Attr::isetitem))(position,
                                                  column.attr(attrName(Attr::astype))(source));
        }
    }
}

const char* ruleName(Keep mode) {
    switch (mode) {
        case Keep::Strict:
            return "strict";
        case Keep::Left:
            return "left";
        case Keep::Union:
            return "union";
        case Keep::Intersection:
            return "intersection";
    }
    return "left";
}

// Which features a merge result holds: this object's kept features (each
// with its matched partner in the other, or -1), then the other's own kept
// features.
struct FeaturePlan {
    std::vector<Py_ssize_t> partnerOfLeft;  // per feature of this object
    std::vector<Py_ssize_t> leftKept;
    std::vector<Py_ssize_t> rightKept;
};

// The partner in the other object of each feature of this one (-1: none),
// from `matchingFtIdx`, a pair of equally long sequences of positions each
// naming a feature once; `rightIsMatched` marks the other's partners.
std::vector<Py_ssize_t> partnersOf(py::handle matchingFtIdx, Py_ssize_t leftFeatures,
                                   Py_ssize_t rightFeatures, std::vector<bool>& rightIsMatched) {
    py::object invalid = global(Name::InvalidArgumentValue);
    // Matched features: pairs (position here, position in other).
    if (length(matchingFtIdx) != 2) {
        raise(invalid, "matchingFtIdx must hold two sequences of feature positions");
    }
    const std::vector<Py_ssize_t> leftMatched =
        positionsOf(matchingFtIdx[py::int_(0)], leftFeatures);
    const std::vector<Py_ssize_t> rightMatched =
        positionsOf(matchingFtIdx[py::int_(1)], rightFeatures);
    if (leftMatched.size() != rightMatched.size()) {
        raise(invalid, "matchingFtIdx must pair every matched feature with exactly one other");
    }
    std::vector<Py_ssize_t> partners(static_cast<std::size_t>(leftFeatures), -1);
    rightIsMatched.assign(static_cast<std::size_t>(rightFeatures), false);
    for (std::size_t k = 0; k < leftMatched.size(); ++k) {
        const auto mine = static_cast<std::size_t>(leftMatched[k]);
        const auto theirs = static_cast<std::size_t>(rightMatched[k]);
        if (partners[mine] >= 0 || rightIsMatched[theirs]) {
            raise(invalid, "matchingFtIdx must pair every matched feature with exactly one other");
        }
        partners[mine] = rightMatched[k];
        rightIsMatched[theirs] = true;
    }
    return partners;
}

FeaturePlan planFeatures(Keep featureMode, py::handle matchingFtIdx, Py_ssize_t leftFeatures,
                         Py_ssize_t rightFeatures) {
    FeaturePlan plan;
    std::vector<bool> rightIsMatched;
    plan.partnerOfLeft = partnersOf(matchingFtIdx, leftFeatures, rightFeatures, rightIsMatched);
    const auto matchedCount =
        static_cast<Py_ssize_t>(std::count(rightIsMatched.begin(), rightIsMatched.end(), true));
    if (featureMode == Keep::Strict &&
        (matchedCount != leftFeatures || matchedCount != rightFeatures)) {
        raise(global(Name::InvalidArgumentValue),
              "With feature='strict' every feature of each object must be matched");
    }
    for (Py_ssize_t i = 0; i < leftFeatures; ++i) {
        if (featureMode != Keep::Intersection ||
            plan.partnerOfLeft[static_cast<std::size_t>(i)] >= 0) {
            plan.leftKept.push_back(i);
        }
    }
    if (featureMode == Keep::Union) {
        for (Py_ssize_t j = 0; j < rightFeatures; ++j) {
            if (!rightIsMatched[static_cast<std::size_t>(j)]) plan.rightKept.push_back(j);
        }
    }
    return plan;
}

// The positions of the key feature in both objects, or (-1, -1) when
// points are matched by name or position.
std::pair<Py_ssize_t, Py_ssize_t> keyFeatures(py::handle self, py::handle other,
                                              py::handle onFeature, const FeaturePlan& plan,
                                              Py_ssize_t rightFeatures) {
    if (onFeature.is_none()) return {-1, -1};
    const auto leftFeatures = static_cast<Py_ssize_t>(plan.partnerOfLeft.size());
    const Py_ssize_t leftKey = keyPosition(self, onFeature, leftFeatures);
    const Py_ssize_t rightKey = plan.partnerOfLeft[static_cast<std::size_t>(leftKey)];
    if (rightKey < 0 || (PyUnicode_Check(onFeature.ptr()) &&
                         keyPosition(other, onFeature, rightFeatures) != rightKey)) {
        raise(global(Name::InvalidArgumentValue), "onFeature must be one of the matched features");
    }
    return {leftKey, rightKey};
}

// Where each result point comes from: (positions in this object, positions
// in the other), -1 where a side has no such point, as the host's merge
// alignment gives them for the points' keys.
std::pair<py::object, py::object> matchPoints(py::handle self, py::handle other, py::handle left,
                                              py::handle right, Keep pointMode,
                                              std::pair<Py_ssize_t, Py_ssize_t> key) {
    const bool byPosition =
        key.first < 0 &&
        self.attr(attrName(Attr::points)).attr(attrName(Attr::getNamesNoGeneration))().is_none() &&
        other.attr(attrName(Attr::points)).attr(attrName(Attr::getNamesNoGeneration))().is_none();
    py::object leftKeys = pointKeys(self, left, key.first, byPosition);
    py::object rightKeys = pointKeys(other, right, key.second, byPosition);
    py::tuple positions =
        global(Name::Base).attr("_mergedPointPositions")(leftKeys, rightKeys, ruleName(pointMode));
    return {positions[0], positions[1]};
}

// A value for a message: numpy scalars shown as the Python values they hold.
std::string shownValue(py::object value) {
    if (isInstance(value, global(Name::np).attr("generic"))) value = value.attr("item")();
    return py::str(py::repr(value));
}

// Refuses the merge at the first value the two objects hold differently:
// row `row` of the merged table, kept feature `k` of this object.
[[noreturn]] void refuseClash(py::handle self, const FeaturePlan& plan, const py::object& leftPos,
                              std::size_t k, Py_ssize_t row, const py::object& mine,
                              const py::object& theirs) {
    py::object point = self.attr(attrName(Attr::points))
                           .attr(attrName(Attr::getName))(py::int_(leftPos[py::int_(row)]));
    py::object feature = self.attr(attrName(Attr::features))
                             .attr(attrName(Attr::getName))(plan.leftKept[k]);
    const std::string message =
        "The objects contain different values for the same point and feature: point " +
        std::string(py::str(py::repr(point))) + ", feature " +
        std::string(py::str(py::repr(feature))) + " holds " +
        shownValue(mine.attr("iat")[py::int_(row)]) + " here and " +
        shownValue(theirs.attr("iat")[py::int_(row)]) +
        " in the other object";
    raise(global(Name::InvalidArgumentValue), message.c_str());
}

// Each matched feature kept: where both sides hold a value the values
// agree, and a value missing on one side is taken from the other (written
// into `leftPart`).  A disagreement is refused (see refuseClash).
void reconcileMatched(py::handle self, const FeaturePlan& plan, const py::object& leftPos,
                      py::handle leftPart, py::handle rightPart,
                      const std::vector<Py_ssize_t>& partnerColumn) {
    py::object leftIloc = leftPart.attr(attrName(Attr::iloc));
    py::object rightIloc = rightPart.attr(attrName(Attr::iloc));
    py::object all = slice(py::none(), py::none());
    py::object boolType = global(Name::np).attr("dtype")(builtinType(&PyBool_Type));
    auto asBools = [&](const py::object& series) {
        return series.attr(attrName(Attr::to_numpy))(py::arg("dtype") = boolType);
    };
    for (std::size_t k = 0; k < partnerColumn.size(); ++k) {
        if (partnerColumn[k] < 0) continue;
        py::object mine = leftIloc[py::make_tuple(all, py::int_(static_cast<Py_ssize_t>(k)))];
        py::object theirs = rightIloc[py::make_tuple(all, py::int_(partnerColumn[k]))];
        py::object mineMissing = asBools(mine.attr(attrName(Attr::isna))());
        py::object theirsMissing = asBools(theirs.attr(attrName(Attr::isna))());
        py::object same = asBools(mine.attr(attrName(Attr::eq))(theirs));
        py::object clash = ~(same | mineMissing | theirsMissing);
        if (truthy(clash.attr(attrName(Attr::any))())) {
            refuseClash(self, plan, leftPos, k, py::cast<Py_ssize_t>(clash.attr("argmax")()),
                        mine, theirs);
        }
        py::object fill = mineMissing & ~theirsMissing;
        if (truthy(fill.attr(attrName(Attr::any))())) {
            leftPart.attr(attrName(Attr::isetitem))(k, mine.attr("where")(~fill, theirs));
        }
    }
}

// The merged table: one reindex per side (labels are positions on both
// axes), this object's kept features, then the other's matched partners
// followed by its own kept features.
py::object combine(py::handle self, py::handle left, py::handle right, const FeaturePlan& plan,
                   const py::object& leftPos, const py::object& rightPos) {
    std::vector<Py_ssize_t> rightNeeded;
    std::vector<Py_ssize_t> partnerColumn(plan.leftKept.size(), -1);
    for (std::size_t k = 0; k < plan.leftKept.size(); ++k) {
        const Py_ssize_t partner = plan.partnerOfLeft[static_cast<std::size_t>(plan.leftKept[k])];
        if (partner < 0) continue;
        partnerColumn[k] = static_cast<Py_ssize_t>(rightNeeded.size());
        rightNeeded.push_back(partner);
    }
    const auto partnerCount = static_cast<Py_ssize_t>(rightNeeded.size());
    rightNeeded.insert(rightNeeded.end(), plan.rightKept.begin(), plan.rightKept.end());
    const bool everyLeftFeature = plan.leftKept.size() == plan.partnerOfLeft.size();
    py::object leftSource = everyLeftFeature ? py::reinterpret_borrow<py::object>(left)
                                             : columnsAt(left, plan.leftKept);
    const bool leftGaps = !truthy(leftPos.attr(attrName(Attr::ge))(0).attr(attrName(Attr::all))());
    const bool rightGaps =
        !truthy(rightPos.attr(attrName(Attr::ge))(0).attr(attrName(Attr::all))());
    py::object leftPart = rowsAt(leftSource, leftPos, leftGaps);
    py::object rightPart = rowsAt(columnsAt(right, rightNeeded), rightPos, rightGaps);
    py::object labels = rangeIndex(py::int_(length(leftPos)));
    leftPart.attr(attrName(Attr::index)) = labels;
    rightPart.attr(attrName(Attr::index)) = labels;
    reconcileMatched(self, plan, leftPos, leftPart, rightPart, partnerColumn);

    py::object result = leftPart;
    if (!plan.rightKept.empty()) {
        py::object rightOwn = rightPart.attr(attrName(Attr::iloc))[py::make_tuple(
            slice(py::none(), py::none()), slice(py::int_(partnerCount), py::none()))];
        result = global(Name::pd).attr("concat")(py::make_tuple(leftPart, rightOwn),
                                                 py::arg("axis") = 1);
    }
    result.attr(attrName(Attr::columns)) =
        rangeIndex(py::int_(static_cast<Py_ssize_t>(plan.leftKept.size() + plan.rightKept.size())));
    result.attr(attrName(Attr::index)) = labels;
    std::vector<bool> gapped;
    for (Py_ssize_t partner : partnerColumn) gapped.push_back(leftGaps && partner < 0);
    gapped.resize(plan.leftKept.size() + plan.rightKept.size(), rightGaps);
    restoreSourceTypes(result, sourceTypes(left, plan.leftKept, right, plan.rightKept), gapped);
    return result;
}

}  // namespace

py::object merge(py::handle self, py::handle other, py::handle point, py::handle feature,
                 py::handle onFeature, py::handle matchingFtIdx) {
    const Keep pointMode = keepMode(point, "point");
    const Keep featureMode = keepMode(feature, "feature");
    py::object left = backingTable(self);
    py::object right = backingTable(other);
    const Py_ssize_t rightFeatures = length(right.attr(attrName(Attr::columns)));
    const FeaturePlan plan = planFeatures(
        featureMode, matchingFtIdx, length(left.attr(attrName(Attr::columns))), rightFeatures);
    const auto key = keyFeatures(self, other, onFeature, plan, rightFeatures);
    const auto [leftPos, rightPos] = matchPoints(self, other, left, right, pointMode, key);
    self.attr(attrName(Attr::data)) = combine(self, left, right, plan, leftPos, rightPos);
    return py::none();
}

// Binary features -----------------------------------------------------------

namespace {

// The positions among `keys` of None and of the other missing value (NaN,
// NaT); -1 for one not there.
std::pair<Py_ssize_t, Py_ssize_t> missingKeyPositions(py::handle keys) {
    py::object isna = global(Name::pd).attr("isna");
    py::object numpyBool = global(Name::np).attr("bool_");
    Py_ssize_t noneKey = -1;
    Py_ssize_t nanKey = -1;
    Py_ssize_t position = 0;
    for (py::handle key : keys) {
        if (key.is_none()) {
            if (noneKey < 0) noneKey = position;
        } else if (nanKey < 0) {
            // A key such as a tuple answers with an array: it is no missing value.
            py::object answer = isna(key);
            const bool single = PyBool_Check(answer.ptr()) || isInstance(answer, numpyBool);
            if (single && truthy(answer)) nanKey = position;
        }
        ++position;
    }
    return {noneKey, nanKey};
}

// Each missing element of `elements` (an object array) gets, in `found`, the
// position of its key: None that of None, NaN and NaT that of the missing
// value, either the other when its own is not a key.  pandas versions differ
// in whether an object index tells None from NaN, so these are matched here.
void assignMissing(py::handle found, py::handle elements, py::handle keys) {
    // Without a missing key no missing element has a position: the search
    // for them is skipped (the caller refuses an element without one).
    const auto [noneKey, nanKey] = missingKeyPositions(keys);
    if (noneKey < 0 && nanKey < 0) return;
    py::object np = global(Name::np);
    py::object missing = np.attr("flatnonzero")(global(Name::pd).attr("isna")(elements));
    const Py_ssize_t count = length(missing);
    if (count == 0) return;
    py::array_t<Py_ssize_t> targets(count);
    Py_ssize_t* out = targets.mutable_data();
    SignalCheck signals;
    for (py::handle position : missing) {
        signals.step();
        const bool isNone = elements[position].is_none();
        const Py_ssize_t own = isNone ? noneKey : nanKey;
        *out++ = own >= 0 ? own : (isNone ? nanKey : noneKey);
    }
    found[missing] = targets;
}
}  // namespace

py::object replaceFeatureWithBinaryFeatures(py::handle self, py::handle uniqueIdx) {
    py::object np = global(Name::np);
    py::object pd = global(Name::pd);
    py::object table = backingTable(self);
    if (py::len(table.attr(attrName(Attr::columns))) != 1) {
        raise(global(Name::InvalidArgumentValue),
              "Binary features can only replace an object of exactly one feature");
    }
    py::dict mapping(py::reinterpret_borrow<py::object>(uniqueIdx));
    const Py_ssize_t newCount = static_cast<Py_ssize_t>(py::len(mapping));
    py::object keys = pd.attr("Index")(py::list(mapping.attr("keys")()),
                                       py::arg("dtype") = np.attr("dtype")("O"));
    py::object targets = np.attr("array")(py::list(mapping.attr(attrName(Attr::values))()),
                                          py::arg("dtype") = np.attr("intp"));
    if (newCount > 0) {
        const bool permutation = asSize(targets.attr(attrName(Attr::min))()) == 0 &&
                                 asSize(targets.attr(attrName(Attr::max))()) == newCount - 1 &&
                                 length(np.attr("unique")(targets)) == newCount;
        if (!permutation) {
            raise(global(Name::InvalidArgumentValue),
                  "uniqueIdx must map the values to the positions 0 to len(uniqueIdx) - 1, "
                  "each used once");
        }
    }
    if (!truthy(keys.attr("is_unique"))) {
        raise(global(Name::InvalidArgumentValue), "uniqueIdx holds the same value twice");
    }
    py::object column = ilocColumns(table, py::int_(0));
    // An array, not a Series: pandas matches the elements as they are,
    // without inferring a type for them.
    py::object elements =
        column.attr(attrName(Attr::astype))(np.attr("dtype")("O")).attr(attrName(Attr::to_numpy))();
    py::object found = keys.attr("get_indexer")(elements);
    assignMissing(found, elements, keys);
    const Py_ssize_t rows = length(found);
    if (rows > 0 && asSize(found.attr(attrName(Attr::min))()) < 0) {
        raise(global(Name::InvalidArgumentValue),
              "The feature holds a value that uniqueIdx does not map to a new feature");
    }
    py::object binary = np.attr("zeros")(py::make_tuple(rows, newCount));
    py::object positions = targets.attr(attrName(Attr::take))(found);
    binary[py::make_tuple(np.attr("arange")(rows), positions)] = 1.0;
    self.attr(attrName(Attr::data)) = pd.attr("DataFrame")(binary);
    return py::none();
}

// Element access ------------------------------------------------------------

py::object getitem(py::handle self, py::handle x, py::handle y) {
    return backingTable(self).attr(attrName(Attr::iat))[py::make_tuple(x, y)];
}

// Method rows ---------------------------------------------------------------

const MethodRow kTransposeRow =
    methodRow<transpose>("_transpose_implementation", {"self"}, kTransposeDoc);
const MethodRow kReplaceRectangleRow = methodRow<replaceRectangle>(
    "_replaceRectangle_implementation",
    {"self", "replaceWith", "pointStart", "featureStart", "pointEnd", "featureEnd"},
    kReplaceRectangleDoc);
const MethodRow kFlattenRow =
    methodRow<flatten>("_flatten_implementation", {"self", "order"}, kFlattenDoc);
const MethodRow kUnflattenRow =
    methodRow<unflatten>("_unflatten_implementation", {"self", "reshape", "order"}, kUnflattenDoc);
const MethodRow kMergeRow = methodRow<merge>(
    "_merge_implementation", {"self", "other", "point", "feature", "onFeature", "matchingFtIdx"},
    kMergeDoc);
const MethodRow kReplaceFeatureWithBinaryFeaturesRow = methodRow<replaceFeatureWithBinaryFeatures>(
    "_replaceFeatureWithBinaryFeatures_implementation", {"self", "uniqueIdx"},
    kReplaceFeatureWithBinaryFeaturesDoc);
const MethodRow kGetitemRow = methodRow<getitem>("_getitem_implementation", {"self", "x", "y"});

}  // namespace kestro::native
