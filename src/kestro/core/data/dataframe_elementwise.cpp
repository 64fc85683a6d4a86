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
