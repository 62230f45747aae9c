#include "web/run.hpp"

#include <cerrno>
#include <chrono>
#include <optional>
#include <string>
#include <system_error>
#include <new>
#include <thread>
#include <vector>

#include "module/host/errors.hpp"
#include "module/host/python.hpp"
#include "module/host/ref.hpp"
#include "module/host/stdout.hpp"
#include "util/panic.hpp"
#include "web/process.hpp"

namespace orvelle {

namespace {

// Executed as a module to learn where the package was loaded from.
constexpr const char* kGetDirSource =
    "\nimport os\nimport orvelle\ndef get_dir():\n    return os.path.dirname(orvelle.__file__)\n"
    "            ";

// A failed call leaves a Python error: report it in the unwrap form.
host::Ref checked(PyObject* o) {
    if (!o) unwrap_failed(host::take_error_debug());
    return host::Ref::steal(o);
}

// The folder of the loaded package, found by the interpreter itself.
std::string module_dir() {
    host::Ref code = checked(Py_CompileString(kGetDirSource, "", Py_file_input));
    host::Ref module = checked(PyImport_ExecCodeModuleEx("", code.get(), ""));
    host::Ref get_dir = checked(PyObject_GetAttrString(module.get(), "get_dir"));
    host::Ref no_args = checked(PyTuple_New(0));
    host::Ref dir = checked(PyObject_Call(get_dir.get(), no_args.get(), nullptr));
    host::Ref text = checked(PyObject_Str(dir.get()));
    // File names keep undecodable bytes through surrogateescape.
    host::Ref bytes = checked(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogateescape"));
    char* data = PyBytes_AsString(bytes.get());
    if (!data) unwrap_failed(host::take_error_debug());
    return std::string(data, static_cast<std::size_t>(PyBytes_Size(bytes.get())));
}

std::string failed_to_execute(int code) {
    return "failed to execute process: " + os_error_debug(code);
}

}  // namespace

void Web::run() const {
    const std::string dir = module_dir();
    const std::string port_text = std::to_string(port);

    // The launcher owns nothing of Python's and never throws: a browser that
    // cannot be started is recorded here and reported after the join.
    int launcher_error = 0;
    std::optional<std::jthread> launcher;
    try {
        launcher.emplace([&launcher_error, this, url = "http://127.0.0.1:" + port_text] {
            std::this_thread::sleep_for(std::chrono::seconds(1));  // let the server listen
            try {
                launcher_error = run_silenced({"python", "-m", "webbrowser", "-t", url}, interpreter);
            } catch (const std::bad_alloc&) {
                launcher_error = ENOMEM;
            }
        });
    } catch (const std::system_error& e) {
        panic("failed to spawn thread: " + os_error_debug(e.code().value()));
    }

    // On any failure below, the jthread is joined while unwinding, so no
    // thread outlives the call.
    print_stdout("Control-C to stop the server\n");

    // A NUL byte would cut the folder short as a C string: refuse it.
    if (dir.find('\0') != std::string::npos)
        panic("failed to execute process: " + simple_error_debug("InvalidInput", kNulInArgument));

    // Bound to loopback: the viewer is for this machine only.
    int server_error = run_silenced(
        {"python", "-m", "http.server", port_text, "--bind", "127.0.0.1", "--directory", dir},
        interpreter);
    if (server_error != 0) panic(failed_to_execute(server_error));

    launcher->join();
    if (launcher_error != 0) unwrap_failed(failed_to_execute(launcher_error));
}

}  // namespace orvelle
