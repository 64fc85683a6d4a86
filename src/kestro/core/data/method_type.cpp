// The method type of the data object classes (see method_type.hpp).
#include "method_type.hpp"

#include <structmember.h>

#include <cstddef>

#include "native_call.hpp"

namespace kestro::native {

namespace {

struct MethodObject {
    PyObject_HEAD
    PyObject* function;  // the builtin function called
    PyObject* qualname;
    PyObject* doc;
    PyObject* dict;      // attributes users set, as on Python functions
    PyObject* weakrefs;
    vectorcallfunc vectorcall;
};

MethodObject* asMethod(PyObject* self) { return reinterpret_cast<MethodObject*>(self); }

PyObject* callMethod(PyObject* self, PyObject* const* args, std::size_t nargsf,
                     PyObject* kwnames) {
    PyObject* function = asMethod(self)->function;
    if (!function) {  // only after the collector cleared a dead cycle
        PyErr_SetString(PyExc_RuntimeError, "method called after its class was destroyed");
        return nullptr;
    }
    return PyObject_Vectorcall(function, args, nargsf, kwnames);
}

// Read from an instance: a bound method; read from the class: the method
// itself, as for Python functions.
PyObject* bindMethod(PyObject* self, PyObject* instance, PyObject* /*owner*/) {
    if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

int traverseMethod(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    MethodObject* method = asMethod(self);
    Py_VISIT(method->function);
    Py_VISIT(method->qualname);
    Py_VISIT(method->doc);
    Py_VISIT(method->dict);
    return 0;
}

int clearMethod(PyObject* self) {
    MethodObject* method = asMethod(self);
    Py_CLEAR(method->function);
    Py_CLEAR(method->qualname);
    Py_CLEAR(method->doc);
    Py_CLEAR(method->dict);
    return 0;
}

void deallocMethod(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (asMethod(self)->weakrefs) PyObject_ClearWeakRefs(self);
    clearMethod(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* reprMethod(PyObject* self) {
    return PyUnicode_FromFormat("<native function %S>", asMethod(self)->qualname);
}

// Attributes forwarded to the builtin function (fixed by its definition).
PyObject* forwarded(PyObject* self, const char* name) {
    PyObject* function = asMethod(self)->function;
    if (!function) {
        PyErr_SetString(PyExc_AttributeError, name);
        return nullptr;
    }
    return PyObject_GetAttrString(function, name);
}

PyObject* getName(PyObject* self, void*) { return forwarded(self, "__name__"); }
PyObject* getModule(PyObject* self, void*) { return forwarded(self, "__module__"); }
PyObject* getTextSignature(PyObject* self, void*) {
    return forwarded(self, "__text_signature__");
}

PyObject* getStored(PyObject* stored) { return Py_NewRef(stored ? stored : Py_None); }

PyObject* getDoc(PyObject* self, void*) { return getStored(asMethod(self)->doc); }
int setDoc(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(asMethod(self)->doc, Py_NewRef(value ? value : Py_None));
    return 0;
}

PyObject* getQualname(PyObject* self, void*) { return getStored(asMethod(self)->qualname); }
int setQualname(PyObject* self, PyObject* value, void*) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(asMethod(self)->qualname, Py_NewRef(value));
    return 0;
}

PyGetSetDef kGetSets[] = {
    {"__doc__", getDoc, setDoc, nullptr, nullptr},
    {"__name__", getName, nullptr, nullptr, nullptr},
    {"__qualname__", getQualname, setQualname, nullptr, nullptr},
    {"__module__", getModule, nullptr, nullptr, nullptr},
    {"__text_signature__", getTextSignature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef kMembers[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(MethodObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(MethodObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(MethodObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(deallocMethod)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverseMethod)},
    {Py_tp_clear, reinterpret_cast<void*>(clearMethod)},
    {Py_tp_descr_get, reinterpret_cast<void*>(bindMethod)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void*>(reprMethod)},
    {Py_tp_getset, kGetSets},
    {Py_tp_members, kMembers},
    {0, nullptr},
};

// METHOD_DESCRIPTOR: calling the method with the instance first is the same
// as calling the bound method, so `obj.method(...)` needs no bound object.
PyType_Spec kSpec = {
    "kestro.core.data.dataframe.native_function",
    sizeof(MethodObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

py::object makeMethodType() { return steal(PyType_FromSpec(&kSpec)); }

py::object newMethod(py::handle methodType, py::handle function, const char* qualname) {
    py::str name(qualname);
    py::object doc = function.attr("__doc__");
    auto* method = PyObject_GC_New(MethodObject, reinterpret_cast<PyTypeObject*>(methodType.ptr()));
    if (!method) throw py::error_already_set();
    method->function = Py_NewRef(function.ptr());
    method->qualname = name.release().ptr();
    method->doc = doc.release().ptr();
    method->dict = nullptr;
    method->weakrefs = nullptr;
    method->vectorcall = callMethod;
    PyObject_GC_Track(method);
    return steal(reinterpret_cast<PyObject*>(method));
}

}  // namespace kestro::native
