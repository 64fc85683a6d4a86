// Element-wise arithmetic and comparison, and the matrix product.
#include "dataframe.hpp"

namespace kestro::native {

const char* const kBinaryOperationsDoc =
    "\n        Attempt to perform operation with data as is, preserving sparse\n"
    "        representations if possible. Otherwise, uses the generic\n"
    "        implementation.\n        ";
const char* const kMatmulDoc =
    "\n        Matrix product of this object with ``other``.\n        ";

py::object binaryOperations(py::handle, py::handle, py::handle) {
    notImplemented("_binaryOperations_implementation");
}

py::object matmul(py::handle, py::handle) { notImplemented("_matmul__implementation"); }

}  // namespace kestro::native
