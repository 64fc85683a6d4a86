// Methods of the data object classes.
//
// A builtin function does not bind to instances, so each native method is
// stored in its class as a small callable that behaves like a Python
// function: read from an instance it gives a bound method, read from the
// class it gives itself (so it can be saved and assigned back), its docstring
// can be replaced, and `inspect.signature` reads the builtin's text signature.
#pragma once

#include "native_call.hpp"

namespace kestro::native {

namespace py = pybind11;

// The type of those callables; made once per module execution and kept alive
// by the callables themselves.
py::object makeMethodType();

// A method of type `methodType` calling `function`, named `qualname` (for
// example "DataFrame._copy_implementation").
py::object newMethod(py::handle methodType, py::handle function, const char* qualname);

}  // namespace kestro::native
