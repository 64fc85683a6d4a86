// Conversion and export: copies into other formats, nested objects, files.
#include "dataframe.hpp"

namespace kestro::native {

const char* const kCopyDoc =
    "\n        Copy the current DataFrame object to one in a specified format.\n\n"
    "        to : string\n"
    "            Sparse, List, Matrix, pythonlist, numpyarray, numpymatrix,\n"
    "            scipycsc, scipycsr.\n"
    "        ";
const char* const kCreateNestedObjectDoc =
    "\n        Create an object of one less dimension from the point at\n"
    "        ``pointIndex``.\n        ";
const char* const kSaveCSVDoc =
    "\n        Write the data in this object to a CSV file at the designated\n"
    "        path.\n        ";
const char* const kSaveMTXDoc =
    "\n        Write the data in this object to a matrix market file at the\n"
    "        designated path.\n        ";

py::object copyTo(py::handle, py::handle) { notImplemented("_copy_implementation"); }

py::object createNestedObject(py::handle self, py::handle pointIndex) {
    py::object dims = self.attr("_dims");
    py::object trailing = dims[slice(py::int_(2), py::none())];
    py::tuple storageShape = py::make_tuple(
        dims[py::int_(1)], py::int_(global("np").attr("prod")(trailing)));
    py::object point = self.attr("_asNumpyArray")()[pointIndex];
    py::object values = point.attr("reshape")(storageShape);
    py::dict kwds;
    kwds["shape"] = dims[slice(py::int_(1), py::none())];
    kwds["reuseData"] = true;
    return newDataFrame(values, kwds);
}

py::object saveCSV(py::handle, py::handle, py::handle, py::handle) {
    notImplemented("_saveCSV_implementation");
}

py::object saveMTX(py::handle, py::handle, py::handle, py::handle) {
    notImplemented("_saveMTX_implementation");
}

}  // namespace kestro::native
