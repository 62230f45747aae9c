// version() and visualize(port=...).
#include <array>
#include <string>

#include "module/host/args.hpp"
#include "module/host/functions.hpp"
#include "module/host/stdout.hpp"
#include "web/run.hpp"

namespace orvelle::host {

namespace {
constexpr const char* kParams[] = {"port"};
constexpr Signature kSignature{"visualize()", kParams, 0};

// sys.executable in the file system's encoding, read at each call; empty
// where the interpreter cannot tell (None or "") or it is no usable path.
std::string interpreter() {
    PyObject* executable = PySys_GetObject("executable");  // borrowed
    if (!executable || !PyUnicode_Check(executable)) return {};
    Ref bytes = own(PyUnicode_EncodeFSDefault(executable));
    char* data = nullptr;
    Py_ssize_t size = 0;
    check_status(PyBytes_AsStringAndSize(bytes.get(), &data, &size));
    std::string path(data, static_cast<std::size_t>(size));
    return path.find('\0') == std::string::npos ? path : std::string();
}
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
        Web web{optional_argument("port", given[0], to_u16).value_or(8000), interpreter()};
        web.run();
        Py_RETURN_NONE;
    });
}

}  // namespace orvelle::host
