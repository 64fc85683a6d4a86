// Element-wise arithmetic and comparison, and the matrix product.
#include "dataframe.hpp"

#include <string>

namespace kestro::native {

const char* const kBinaryOperationsDoc =
    "\n        Attempt to perform operation with data as is, preserving sparse\n"
    "        representations if possible. Otherwise, uses the generic\n"
    "        implementation.\n        ";
const char* const kMatmulDoc =
    "\n        Matrix product of this object with ``other``.\n\n"
    "        ``other`` is a data object of any storage type whose point count\n"
    "        equals this object's feature count; both hold numeric values (the\n"
    "        public operation checks both).  The product is computed on dense\n"
    "        numeric arrays (a sparse ``other`` is multiplied without\n"
    "        densifying it) and returned as a new DataFrame with one point per\n"
    "        point of this object and one feature per feature of ``other``.\n"
    "        Boolean operands are counted as 0/1 integers, so the product of\n"
    "        two boolean objects holds integer counts, not logical values.\n"
    "        Neither operand is modified.\n        ";

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

// The element type every result feature is given: one entry per pair of
// features of `self` and `other`, stopping at the shorter side.  A
// one-feature operand is broadcast across the other's features; a scalar
// counts as one feature of its own type per feature of `self`.
py::list resultDtypes(py::handle self, const std::string& opName, py::handle other) {
    py::object np = global("np");
    py::object floatType = builtinType(&PyFloat_Type);
    py::object canCast = np.attr("can_cast");

    py::tuple initialDtypes(backingTable(self).attr("dtypes"));
    py::object otherDtypes;
    if (isInstance(other, global("Base"))) {
        otherDtypes = global("getFeatureDtypes")(other);
        const py::ssize_t selfCount = py::len(self.attr("features"));
        const py::ssize_t otherCount = py::len(other.attr("features"));
        if (selfCount != otherCount) {
            if (initialDtypes.size() == 1) initialDtypes = repeated(initialDtypes[0], otherCount);
            if (py::len(otherDtypes) == 1) {
                otherDtypes = repeated(otherDtypes[py::int_(0)], selfCount);
            }
        }
    } else {
        py::object dtype = np.attr("dtype")(py::type::handle_of(other));
        if (!truthy(canCast(dtype, floatType))) dtype = np.attr("object_");
        otherDtypes = repeated(dtype, static_cast<py::ssize_t>(initialDtypes.size()));
    }

    const bool alwaysFloat = opName.find("truediv") != std::string::npos;
    const bool comparison = isComparison(opName);
    py::object floatDtype = np.attr("dtype")(floatType);
    py::object boolDtype = np.attr("dtype")(builtinType(&PyBool_Type));

    py::list dtypes;
    py::iterator others = py::iter(otherDtypes);
    for (py::handle dtype1 : initialDtypes) {
        if (others == py::iterator::sentinel()) break;
        py::object dtype2 = py::reinterpret_borrow<py::object>(*others);
        ++others;
        py::object useType = dtypeGreater(dtype2, dtype1)
                                 ? dtype2
                                 : py::reinterpret_borrow<py::object>(dtype1);
        if (comparison) {
            // Comparisons answer with truth values whatever the operands hold.
            dtypes.append(boolDtype);
        } else if (alwaysFloat && truthy(canCast(useType, floatType))) {
            dtypes.append(floatDtype);
        } else {
            dtypes.append(useType);
        }
    }
    return dtypes;
}

// `wanted` with each entry whose type cannot hold the computed values of its
// feature exactly replaced by the type the computation produced: the type
// list decides types, never values.
py::list settledDtypes(py::handle result, py::list wanted) {
    py::object table = backingTable(result);
    py::tuple computed(table.attr("dtypes"));
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
        py::object block = table.attr("iloc")[py::make_tuple(slice(py::none(), py::none()),
                                                             positions)]
                               .attr("to_numpy")();
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
    result.attr("_setDtypes")(settledDtypes(result, dtypes));
}

bool absorbedOnFastPath(py::error_already_set& e) {
    return e.matches(PyExc_AttributeError) || e.matches(global("InvalidArgumentType")) ||
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
    return isInstance(other, global("kestro").attr("core").attr("data").attr("Sparse"));
}

// numpy multiplies boolean matrices logically (True + True is True), so
// booleans enter the product as 0/1 integers; object arrays (values of a
// storage type without per-feature types) as floats.
py::object asProductOperand(py::object operand) {
    const auto kind = py::cast<std::string>(operand.attr("dtype").attr("kind"));
    if (kind == "b") return operand.attr("astype")(builtinType(&PyLong_Type));
    if (kind == "O") return operand.attr("astype")(builtinType(&PyFloat_Type));
    return operand;
}

}  // namespace

py::object binaryOperations(py::handle self, py::handle opName, py::handle other) {
    HandledExceptionGuard keepHandledException;
    if (!PyUnicode_Check(opName.ptr())) throw py::type_error("opName must be a str");
    const std::string op = py::cast<std::string>(opName);

    py::list dtypes = resultDtypes(self, op, other);

    if (!takesGenericRoute(op, other)) {
        try {
            py::object array =
                self.attr("_asNumpyArray")(py::arg("numericRequired") = true);
            py::object method = py::getattr(array, opName);
            py::object values = method(other.attr("_data"));
            py::object ret = dataFrameClass()(values);
            applyDtypes(ret, dtypes);
            return ret;
        } catch (py::error_already_set& e) {
            if (!absorbedOnFastPath(e)) throw;
        }
    }

    py::object ret = self.attr("_defaultBinaryOperations_implementation")(opName, other);
    applyDtypes(ret, dtypes);
    return ret;
}

py::object matmul(py::handle self, py::handle other) {
    py::object np = global("np");
    py::object left = self.attr("_asNumpyArray")(py::arg("numericRequired") = true);
    left = asProductOperand(left);

    py::object scipy = global("scipy");
    py::object data = other.attr("_data");
    py::object product;
    if (truthy(scipy.attr("kestroAccessible")()) &&
        truthy(scipy.attr("sparse").attr("issparse")(data))) {
        // (A B) = (B^T A^T)^T keeps the sparse operand on the left, where
        // scipy multiplies it with a dense array without densifying it.
        py::object dense =
            asProductOperand(data).attr("transpose")().attr("__matmul__")(left.attr("transpose")());
        product = np.attr("asarray")(dense).attr("transpose")();
    } else {
        py::object right;
        if (isInstance(other, dataFrameClass())) {
            right = other.attr("_asNumpyArray")(py::arg("numericRequired") = true);
        } else {
            right = np.attr("asarray")(other.attr("_asNumpyArray")());
        }
        product = np.attr("matmul")(left, asProductOperand(right));
    }
    return dataFrameClass()(product);
}

}  // namespace kestro::native
