// The module's functions, in the interpreter's calling conventions.
#pragma once

#include <span>

#include "module/host/python.hpp"
#include "analysis/pipeline.hpp"

namespace orvelle::host {

PyObject* version(PyObject* self, PyObject* unused);
PyObject* calculator(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* visualize(PyObject* self, PyObject* args, PyObject* kwargs);
// calculator()'s eight parameters, bound in its order, converted one by one;
// the first failure raises.
AnalysisRequest convert_analysis(std::span<PyObject*> args);

// Private to the package's measurement layer; not in __all__.
PyObject* measure(PyObject* self, PyObject* args, PyObject* kwargs);
// Private to orvelle.extract: one feature-file line from a sentence's activations.
PyObject* feature_line(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace orvelle::host
