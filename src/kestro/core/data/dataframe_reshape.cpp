// Structural reshaping and element access.
#include "dataframe.hpp"

namespace kestro::native {

const char* const kTransposeDoc =
    "\n        Function to transpose the data, ie invert the feature and point\n"
    "        indices of the data.\n\n"
    "        This is not an in place operation, a new pandas DataFrame is\n"
    "        constructed.\n        ";
const char* const kReplaceRectangleDoc =
    "\n        Overwrite the rectangle of points pointStart..pointEnd and features\n"
    "        featureStart..featureEnd (inclusive) with ``replaceWith``.\n        ";
const char* const kFlattenDoc =
    "\n        Flatten the object into a single point, reading the elements in\n"
    "        ``order``.\n        ";
const char* const kUnflattenDoc =
    "\n        Restore a single point (or feature) to the shape ``reshape``,\n"
    "        reading the elements in ``order``.\n        ";
const char* const kMergeDoc =
    "\n        Join this object's table with ``other``'s.\n        ";
const char* const kReplaceFeatureWithBinaryFeaturesDoc =
    "\n        Replace this one-feature object by one binary feature per unique\n"
    "        value.\n        ";

py::object transpose(py::handle) { notImplemented("_transpose_implementation"); }

py::object replaceRectangle(py::handle, py::handle, py::handle, py::handle, py::handle,
                            py::handle) {
    notImplemented("_replaceRectangle_implementation");
}

py::object flatten(py::handle, py::handle) { notImplemented("_flatten_implementation"); }

py::object unflatten(py::handle, py::handle, py::handle) {
    notImplemented("_unflatten_implementation");
}

py::object merge(py::handle, py::handle, py::handle, py::handle, py::handle, py::handle) {
    notImplemented("_merge_implementation");
}

py::object replaceFeatureWithBinaryFeatures(py::handle, py::handle) {
    notImplemented("_replaceFeatureWithBinaryFeatures_implementation");
}

py::object getitem(py::handle self, py::handle x, py::handle y) {
    return backingTable(self).attr("iat")[py::make_tuple(x, y)];
}

}  // namespace kestro::native
