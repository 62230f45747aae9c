#include "module/host/released.hpp"

namespace orvelle::host {

namespace {

// Signal handlers run on the main thread only: elsewhere a poll could
// never answer yes, and taking the lock for it would slow the work.
bool on_main_thread() {
    Ref threading = own(PyImport_ImportModule("threading"));
    Ref main = own(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
    Ref ident = own(PyObject_GetAttrString(main.get(), "ident"));
    const unsigned long id = PyLong_AsUnsignedLong(ident.get());
    if (id == static_cast<unsigned long>(-1) && PyErr_Occurred()) throw PythonError{};
    return id == PyThread_get_thread_ident();
}

}  // namespace

Released::Released() {
    if (PyErr_CheckSignals() != 0) throw PythonError{};
    environment_ = EnvironmentSnapshot::take();
    if (on_main_thread()) token_.set_poll([this] { return poll(); });
    state_ = PyEval_SaveThread();
}

Released::~Released() { PyEval_RestoreThread(state_); }

bool Released::poll() {
    PyEval_RestoreThread(state_);
    const bool raised = PyErr_CheckSignals() != 0;  // the exception stays set for the call
    state_ = PyEval_SaveThread();
    return raised;
}

}  // namespace orvelle::host
