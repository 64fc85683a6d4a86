// Per-feature element types and the dense array export.
#include "dataframe.hpp"

namespace kestro::native {

const char* const kAsNumpyArrayDoc =
    "\n        Convert the dataframe to a numpy array with appropriate dtype.\n\n"
    "        Object dtype is used whenever more than one dtype is present.\n"
    "        If numericRequired is True, the data will be all be converted to\n"
    "        floats if the dtypes are not already all the same numeric dtype.\n"
    "        ";
const char* const kSetDtypesDoc =
    "\n        Give each feature of the backing table the matching dtype of\n"
    "        ``dtypes`` (one per feature), converting only the columns whose\n"
    "        dtype differs.\n        ";
const char* const kConvertToNumericTypesDoc =
    "\n        Convert every feature to float64 unless all feature dtypes are\n"
    "        already among ``usableTypes``.\n        ";

py::object setDtypes(py::handle, py::handle) { notImplemented("_setDtypes"); }

py::object convertToNumericTypes(py::handle, py::handle) {
    notImplemented("_convertToNumericTypes_implementation");
}

py::object asNumpyArray(py::handle, py::handle) { notImplemented("_asNumpyArray"); }

}  // namespace kestro::native
