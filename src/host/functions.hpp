// The module's functions, in the interpreter's calling conventions.
#pragma once

#include "host/python.hpp"

namespace orvelle::host {

PyObject* version(PyObject* self, PyObject* unused);
PyObject* calculator(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* visualize(PyObject* self, PyObject* args, PyObject* kwargs);
// Private to the package's measurement layer; not in __all__.
PyObject* measure(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace orvelle::host
