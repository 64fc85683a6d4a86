// Argument binding and error plumbing shared by every native method.
//
// Methods of the data object classes are plain builtin functions (wrapped so
// that they bind like Python functions, see method_type.hpp).  Their arguments
// are bound here with the wording CPython users know from compiled Python
// functions: every parameter by position or keyword, defaults, an optional
// `**kwds`, and the classic "takes exactly N positional arguments" errors.
//
// It also decides what releasing a reference means, so it comes before any
// pybind11 header in every source file (see `releaseReference`).
#pragma once

#ifdef PYBIND11_VERSION_MAJOR
#error "native_call.hpp must be included before any pybind11 header"
#endif

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <exception>
#include <initializer_list>
#include <new>
#include <thread>

namespace kestro::native {

// Threads ended at interpreter exit ------------------------------------------
//
// When the interpreter finalises, a daemon thread that waits for the GIL is
// ended where it waits: CPython 3.11 to 3.13 call pthread_exit, which
// unwinds the thread's stack (`abi::__forced_unwind`) through every native
// frame between there and the thread's start, running their destructors
// without the GIL.  Therefore: every catch-all passes that unwind on, and no
// destructor touches a Python object on such a thread.

// Set when the interpreter starts to exit, by a callback the module registers
// with `atexit` (those run before finalisation begins).  Until then every
// thread may touch Python objects, and checking costs one load.
inline std::atomic<bool> g_exitStarted{false};

// Whether this thread may touch Python objects: false only on a thread the
// finalising interpreter is ending (it does not hold the GIL and never will).
inline bool mayTouchPython() noexcept {
    if (!g_exitStarted.load(std::memory_order_relaxed)) return true;
#if PY_VERSION_HEX >= 0x030D0000
    return !Py_IsFinalizing() || PyThreadState_GetUnchecked() != nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
    return !_Py_IsFinalizing() || _PyThreadState_UncheckedGet() != nullptr;
#else
    if (!_Py_IsFinalizing()) return true;
    PyThreadState* holder = _PyThreadState_UncheckedGet();  // of the GIL, on any thread
    return holder != nullptr && holder == PyGILState_GetThisThreadState();
#endif
}

// The thread that runs the interpreter's exit (it calls the `atexit`
// callbacks); set together with g_exitStarted.
inline std::atomic<unsigned long> g_exitingThread{0};

// Notes that the interpreter starts to exit, on the thread that exits it.
inline void markExitStarted() noexcept {
    g_exitingThread.store(PyThread_get_thread_ident());
    g_exitStarted.store(true);
}

// Gives up one owned reference, or leaks it on a thread that may not touch
// Python objects: the process is ending and the object may be in use by the
// finalising thread.  Once the exit has started, a thread other than the
// exiting one (a daemon thread, about to be ended) also keeps the last
// reference to an object: freeing it could run Python code (`__del__`, a
// weak reference callback), and a thread ended inside that code would unwind
// out of a destructor, which ends the process.
inline void releaseReference(PyObject* object) noexcept {
    if (object == nullptr) return;
    if (!g_exitStarted.load(std::memory_order_relaxed)) {
        Py_DECREF(object);
        return;
    }
    if (!mayTouchPython()) return;
    if (Py_REFCNT(object) > 1 || PyThread_get_thread_ident() == g_exitingThread.load()) {
        Py_DECREF(object);
    }
}

// Inside `catch (...)`: whether the exception being handled is no C++
// exception but the unwind of a thread the interpreter ends (the C++ runtime
// has no exception object for it).  Binding it to a reference, as
// `catch (abi::__forced_unwind&)` does, binds a null reference.
inline bool handlingThreadEnd() noexcept { return !std::current_exception(); }

// Keeps a thread the interpreter is ending where it is, until the process
// exits: for a destructor that meets the forced unwind while another
// exception is already unwinding (two at once end the process).  CPython
// itself holds such threads this way from 3.14 on.
[[noreturn]] inline void holdThreadUntilExit() {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

}  // namespace kestro::native

// Every owner of a reference in this module releases it through
// `Py_XDECREF`: pybind11's handles (`py::object` and the rest) and the
// module's own uses of the macro.
#undef Py_XDECREF
#define Py_XDECREF(op) ::kestro::native::releaseReference(_PyObject_CAST(op))

#include <pybind11/pybind11.h>

namespace kestro::native {

namespace py = pybind11;

// Runs the Python clean-up code of a destructor.  Nothing runs on a thread
// the interpreter is ending.  On the success path an error of the clean-up
// propagates like any other.  While another error unwinds the stack, that
// one wins and the clean-up's error is reported through
// `sys.unraisablehook`, as Python reports an error it cannot raise.  When
// the interpreter ends the thread inside the clean-up, the unwind goes on,
// unless the destructor runs for another exception: then the thread is held
// (see holdThreadUntilExit).
template <typename Cleanup>
void cleanUp(Cleanup&& cleanup) noexcept(false) {
    if (!mayTouchPython()) return;
    if (std::uncaught_exceptions() == 0) {
        cleanup();
        return;
    }
    try {
        cleanup();
    } catch (py::error_already_set& error) {
        error.discard_as_unraisable("cleaning up after an error in kestro.core.data.dataframe");
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
        PyErr_WriteUnraisable(nullptr);
    } catch (...) {
        if (handlingThreadEnd()) holdThreadUntilExit();
        PyErr_SetString(PyExc_RuntimeError, "unknown native error");
        PyErr_WriteUnraisable(nullptr);
    }
}

// A Python error moved out of the C++ exception that carried it.  Code that
// runs Python code after catching an error keeps it in this form: the
// exception object takes the GIL when it is destroyed, which a thread ended
// at interpreter exit inside that Python code would then do while it
// unwinds.
class PendingError {
public:
    explicit PendingError(const py::error_already_set& error)
        : type_(error.type()), value_(error.value()), trace_(error.trace()) {}
    PendingError(py::handle type, py::handle value, py::handle trace)
        : type_(py::reinterpret_borrow<py::object>(type)),
          value_(py::reinterpret_borrow<py::object>(value)),
          trace_(py::reinterpret_borrow<py::object>(trace)) {}

    const py::object& value() const { return value_; }
    const py::object& trace() const { return trace_; }

    // Raises the error again.
    [[noreturn]] void raise() {
        PyErr_Restore(type_.release().ptr(), value_.release().ptr(), trace_.release().ptr());
        throw py::error_already_set();
    }

private:
    py::object type_;
    py::object value_;
    py::object trace_;
};

inline constexpr std::size_t kMaxParams = 8;

// What an optional parameter is bound to when the call leaves it out.
enum class Default { required, False, None };

// One parameter: its name and default.
struct Param {
    const char* name;
    Default value = Default::required;

    constexpr Param(const char* paramName) : name(paramName) {}  // NOLINT: implicit by design
    constexpr Param(const char* paramName, Default byDefault) : name(paramName), value(byDefault) {}
};

// A parameter that defaults to False.
constexpr Param optional(const char* name) { return Param(name, Default::False); }

// Static description of one method's parameter list.  `self` is the first
// parameter and counts in the "given" totals, as it does for Python methods.
// Required parameters come first.
struct Signature {
    const char* name;
    std::array<const char*, kMaxParams> params{};
    std::array<Default, kMaxParams> defaults{};
    std::size_t count = 0;
    std::size_t required = 0;
    bool varKeywords = false;

    constexpr Signature(const char* methodName, std::initializer_list<Param> list,
                        bool collectsKeywords = false)
        : name(methodName), varKeywords(collectsKeywords) {
        for (const Param& param : list) {
            params[count] = param.name;
            defaults[count] = param.value;
            ++count;
            if (param.value == Default::required) required = count;
        }
    }

    // The object a left-out parameter `i` is bound to (immortal singletons).
    PyObject* defaultOf(std::size_t i) const {
        return defaults[i] == Default::None ? Py_None : Py_False;
    }
    const char* defaultText(std::size_t i) const {
        return defaults[i] == Default::None ? "None" : "False";
    }
};

// The bound arguments of one call: borrowed from the caller's frame, valid for
// the duration of the call only.
class Call {
public:
    py::handle operator[](std::size_t i) const { return values_[i]; }
    // The collected `**kwds` (only for signatures that declare them).
    py::dict kwds() const { return py::reinterpret_borrow<py::dict>(kwds_); }

private:
    friend bool bindArguments(const Signature&, PyObject* const*, Py_ssize_t, PyObject*, Call&);
    std::array<py::handle, kMaxParams> values_{};
    py::object kwds_;
};

namespace detail {

inline void raiseCountError(const Signature& sig, Py_ssize_t given) {
    const bool exact = sig.required == sig.count;
    Py_ssize_t expected;
    const char* moreOrLess;
    if (given < static_cast<Py_ssize_t>(sig.required)) {
        expected = static_cast<Py_ssize_t>(sig.required);
        moreOrLess = "at least";
    } else {
        expected = static_cast<Py_ssize_t>(sig.count);
        moreOrLess = "at most";
    }
    if (exact) moreOrLess = "exactly";
    PyErr_Format(PyExc_TypeError,
                 "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", sig.name,
                 moreOrLess, expected, (expected == 1) ? "" : "s", given);
}

inline Py_ssize_t findParam(const Signature& sig, PyObject* key, std::size_t from,
                            std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    return -1;
}

}  // namespace detail

namespace detail {

// The value given by keyword for parameter `name`, or nullptr.
inline PyObject* keywordValue(const char* name, PyObject* kwnames, PyObject* const* kwvalues,
                              Py_ssize_t nkw) {
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, k), name) == 0) {
            return kwvalues[k];
        }
    }
    return nullptr;
}

// Checks the keywords no parameter after the positional ones claimed: a
// keyword naming a positional parameter again, or an unknown one without
// `**kwds`, raises; the others go into `kwds`.  False with an exception set.
inline bool collectKeywords(const Signature& sig, Py_ssize_t nargs, PyObject* kwnames,
                            PyObject* const* kwvalues, PyObject* kwds) {
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
            return false;
        }
        if (findParam(sig, key, static_cast<std::size_t>(nargs), sig.count) >= 0) continue;
        if (findParam(sig, key, 0, static_cast<std::size_t>(nargs)) >= 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         sig.name, key);
            return false;
        }
        if (!sig.varKeywords) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         sig.name, key);
            return false;
        }
        if (PyDict_SetItem(kwds, key, kwvalues[k]) < 0) return false;
    }
    return true;
}

}  // namespace detail

// Binds a vectorcall argument vector to `sig`.  Returns false with a Python
// exception set when the call does not match the signature.
inline bool bindArguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames, Call& call) {
    if (nargs > static_cast<Py_ssize_t>(sig.count)) {
        detail::raiseCountError(sig, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) call.values_[i] = args[i];

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* const* kwvalues = args + nargs;
    Py_ssize_t unclaimed = nkw;
    for (std::size_t i = static_cast<std::size_t>(nargs); i < sig.count; ++i) {
        PyObject* found = detail::keywordValue(sig.params[i], kwnames, kwvalues, nkw);
        if (found) {
            call.values_[i] = found;
            --unclaimed;
        } else if (i < sig.required) {
            detail::raiseCountError(sig, static_cast<Py_ssize_t>(i));
            return false;
        } else {
            call.values_[i] = sig.defaultOf(i);
        }
    }
    if (sig.varKeywords) call.kwds_ = py::dict();
    if (unclaimed <= 0) return true;
    return detail::collectKeywords(sig, nargs, kwnames, kwvalues, call.kwds_.ptr());
}

// Runs `body`, turning any C++ exception into the matching Python exception.
// Returns a new reference, or nullptr with an exception set.  The forced
// unwind of a thread ended at interpreter exit passes through.
template <typename Body>
PyObject* translateExceptions(Body&& body) {
    try {
        return body().release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        if (handlingThreadEnd()) throw;
        PyErr_SetString(PyExc_RuntimeError, "unknown native error");
    }
    return nullptr;
}

// A new reference returned by the C API, owned; throws when it is null.
inline py::object steal(PyObject* result) {
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

// A builtin type (`float`, `object`, `super`) as a Python object.
inline py::object builtinType(PyTypeObject* type) {
    return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(type));
}

// Raises `type(message)`; `type` is any exception class, the host's included.
[[noreturn]] inline void raise(py::handle type, const char* message) {
    py::object instance = type(py::str(message));
    PyErr_SetObject(type.ptr(), instance.ptr());
    throw py::error_already_set();
}

// Python truth test that propagates the exception `__bool__` may raise.
inline bool truthy(py::handle value) {
    const int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw py::error_already_set();
    return result != 0;
}

// `value in container`.
inline bool contains(py::handle container, py::handle value) {
    const int result = PySequence_Contains(container.ptr(), value.ptr());
    if (result < 0) throw py::error_already_set();
    return result != 0;
}

// `value == literal` with Python's equality.
inline bool equals(py::handle value, const char* literal) {
    const int result = PyObject_RichCompareBool(value.ptr(), py::str(literal).ptr(), Py_EQ);
    if (result < 0) throw py::error_already_set();
    return result != 0;
}

// A `with` block around a context manager: `__enter__` on construction and
// `__exit__(None, None, None)` when the block ends, whichever way it ends.
// Errors from `__exit__` on the failure path give way to the error already
// in flight.
class WithBlock {
public:
    explicit WithBlock(const py::object& manager)
        : exit_(manager.attr("__exit__")), target_(manager.attr("__enter__")()) {}
    WithBlock(const WithBlock&) = delete;
    WithBlock& operator=(const WithBlock&) = delete;
    ~WithBlock() noexcept(false) {
        if (open_) cleanUp([&] { exit_(py::none(), py::none(), py::none()); });
    }

    const py::object& target() const { return target_; }

    // Ends the block on the success path; errors from `__exit__` propagate.
    void exit() {
        open_ = false;
        exit_(py::none(), py::none(), py::none());
    }

private:
    py::object exit_;
    py::object target_;
    bool open_ = true;
};

inline bool isInstance(py::handle value, py::handle cls) {
    const int result = PyObject_IsInstance(value.ptr(), cls.ptr());
    if (result < 0) throw py::error_already_set();
    return result != 0;
}

}  // namespace kestro::native
