// Conversion of an analysis' result into a Python `Calculator` object.
#pragma once

#include "module/host/errors.hpp"
#include "space/calculator.hpp"

namespace orvelle::host {

// The type, created on first use under the name builtins.Calculator.
PyTypeObject* calculator_type();

// Moves the result into a new instance (a new reference).
PyObject* wrap_calculator(Calculator&& value);

}  // namespace orvelle::host
