#include "module/host/errors.hpp"

#include <unistd.h>

namespace orvelle::host {

namespace {
std::atomic<PyObject*> g_panic_type{nullptr};

std::string to_text(PyObject* obj) {
    if (!obj) return "<NULL>";
    Ref bytes = Ref::steal(PyUnicode_AsUTF8String(obj));
    if (!bytes) {
        PyErr_Clear();
        return "<unprintable>";
    }
    return std::string(PyBytes_AsString(bytes.get()), static_cast<std::size_t>(PyBytes_Size(bytes.get())));
}

std::string repr(PyObject* obj) {
    Ref r = Ref::steal(PyObject_Repr(obj));
    if (!r) {
        PyErr_Clear();
        return "<unprintable>";
    }
    return to_text(r.get());
}
}  // namespace

PyObject* created_once(std::atomic<PyObject*>& slot, PyObject* (*create)()) {
    if (PyObject* made = slot.load(std::memory_order_acquire)) return made;
    Ref mine = own(create());
    PyObject* none = nullptr;
    if (slot.compare_exchange_strong(none, mine.get(), std::memory_order_acq_rel)) return mine.release();
    return none;  // another thread's came first; ours goes
}

PyObject* panic_exception_type() {
    return created_once(g_panic_type, [] {
        return PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException",
                                         "\nThe exception raised when a check inside orvelle fails.\n\n"
                                         "Like SystemExit, it derives from BaseException so that `except Exception`\n"
                                         "does not swallow a failed analysis.\n",
                                         PyExc_BaseException, nullptr);
    });
}

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw PythonError{};
}

std::string take_error_debug() {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref t = Ref::steal(type), v = Ref::steal(value), b = Ref::steal(tb);
    std::string out = "PyErr { type: " + repr(t.get()) + ", value: " + repr(v.get()) + ", traceback: ";
    out += b ? "Some(" + repr(b.get()) + ")" : std::string("None");
    out += " }";
    return out;
}

std::string type_name(PyObject* obj) {
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    if (!name) {
        PyErr_Clear();
        return "?";
    }
    return to_text(name.get());
}

void raise_panic(std::string_view function, const std::string& message) {
    std::string line = "orvelle: ";
    line += function;
    line += " failed: ";
    for (char c : message) line += (c == '\n') ? ' ' : c;
    line += '\n';
    // Best effort: a closed standard error must not hide the exception.
    ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
    PyObject* type = nullptr;
    try {
        type = panic_exception_type();
    } catch (const PythonError&) {
        return;  // the creation error stays set
    }
    Ref msg = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!msg) return;
    PyErr_SetObject(type, msg.get());
}

}  // namespace orvelle::host
