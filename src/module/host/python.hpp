// The one include of the interpreter's headers; the module targets the stable
// ABI of Python 3.10 and later.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030A0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
