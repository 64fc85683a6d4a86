// Element-wise computation (transform, calculate) and queries on all values.
#include "dataframe.hpp"

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

py::object transform(py::handle, py::handle, py::handle, py::handle) {
    notImplemented("_transform_implementation");
}

py::object calculate(py::handle, py::handle, py::handle, py::handle, py::handle) {
    notImplemented("_calculate_implementation");
}

py::object countUnique(py::handle, py::handle, py::handle) {
    notImplemented("_countUnique_implementation");
}

py::object containsZero(py::handle) { notImplemented("_containsZero_implementation"); }

py::object isIdentical(py::handle, py::handle) { notImplemented("_isIdentical_implementation"); }

py::object iterateElements(py::handle, py::handle, py::handle) {
    notImplemented("_iterateElements_implementation");
}

}  // namespace kestro::native
