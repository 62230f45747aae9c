// version() and visualize(port=...).
#include <array>

#include "host/args.hpp"
#include "host/functions.hpp"
#include "host/stdout.hpp"
#include "web/run.hpp"

namespace orvelle::host {

namespace {
constexpr const char* kParams[] = {"port"};
constexpr Signature kSignature{"visualize()", kParams, 0};
}  // namespace

PyObject* version(PyObject*, PyObject*) {
    return guarded("version()", []() -> PyObject* {
        print_stdout("Orvelle version: 0.2.9\n");
        Py_RETURN_NONE;
    });
}

PyObject* visualize(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded("visualize()", [&]() -> PyObject* {
        std::array<PyObject*, 1> given{};
        bind_arguments(kSignature, args, kwargs, given);
        Web web{optional_argument("port", given[0], to_u16).value_or(8000)};
        web.run();
        Py_RETURN_NONE;
    });
}

}  // namespace orvelle::host
