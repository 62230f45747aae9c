// Errors across the module boundary: a Python error already set travels up as
// PythonError; a failed check travels as orvelle::Panic and becomes
// PanicException here, with a one-line diagnostic on standard error.
#pragma once

#include <atomic>
#include <new>
#include <string>
#include <string_view>

#include "module/host/python.hpp"
#include "module/host/ref.hpp"
#include "util/cancellation.hpp"
#include "util/panic.hpp"

namespace orvelle::host {

// Thrown when the interpreter's error indicator is set and should propagate.
struct PythonError {};

// Checks a result of the C API: null means an error is set.
inline PyObject* check(PyObject* p) {
    if (!p) throw PythonError{};
    return p;
}
inline Ref own(PyObject* p) { return Ref::steal(check(p)); }
// Checks a status result of the C API: non-zero means an error is set.
inline void check_status(int rc) {
    if (rc != 0) throw PythonError{};
}

// "pyo3_runtime.PanicException", base BaseException, created on first need.
PyObject* panic_exception_type();

// The object in `slot`, made by create() (a new reference, or null with an
// error set) the first time. Calls on several threads may both create one
// (creating runs Python code, which may let another thread in); the first
// stored is the one every call gets, and the others are dropped.
PyObject* created_once(std::atomic<PyObject*>& slot, PyObject* (*create)());

[[noreturn]] void raise(PyObject* type, const std::string& message);

// Debug form of the pending Python error, which is cleared:
// PyErr { type: <class 'T'>, value: T('...'), traceback: None }
std::string take_error_debug();

// `__qualname__` of the object's type, as conversion messages show it.
std::string type_name(PyObject* obj);

// Raises PanicException(message) and writes the diagnostic.
void raise_panic(std::string_view function, const std::string& message);

// Runs body and turns every C++ failure into a Python exception; `function`
// names the call in the diagnostic.
template <class F>
PyObject* guarded(const char* function, F&& body) noexcept {
    try {
        return body();
    } catch (const PythonError&) {
    } catch (const Interrupted&) {
        // Stopped by a signal handler's exception, which is set; or by other
        // means, which read as Ctrl-C.
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    } catch (const Panic& p) {
        raise_panic(function, p.message());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(function, e.what());
    } catch (...) {
        raise_panic(function, "unknown failure");
    }
    return nullptr;
}

}  // namespace orvelle::host
