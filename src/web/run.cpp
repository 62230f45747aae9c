#include "web/run.hpp"

#include <Python.h>

#include <chrono>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "host/stdout.hpp"
#include "util/panic.hpp"
#include "web/process.hpp"

namespace orvelle {

namespace {

// Executed as a module to learn where the package was loaded from.
constexpr const char* kGetDirSource =
    "\nimport os\nimport orvelle\ndef get_dir():\n    return os.path.dirname(orvelle.__file__)\n"
    "            ";

struct Ref {
    PyObject* p;
    explicit Ref(PyObject* p) : p(p) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p); }
};

// Bytes of a str; file names keep undecodable bytes through surrogateescape.
std::optional<std::string> utf8_bytes(PyObject* text, const char* errors) {
    Ref bytes(PyUnicode_AsEncodedString(text, "utf-8", errors));
    if (!bytes.p) return std::nullopt;
    char* data = PyBytes_AsString(bytes.p);
    if (!data) return std::nullopt;
    return std::string(data, static_cast<std::size_t>(PyBytes_Size(bytes.p)));
}

std::string repr(PyObject* o) {
    Ref r(PyObject_Repr(o));
    std::optional<std::string> s = r.p ? utf8_bytes(r.p, "backslashreplace") : std::nullopt;
    if (!s) {
        PyErr_Clear();
        return "<unprintable object>";
    }
    return *s;
}

// Takes the pending Python error (clearing it) and describes it:
// PyErr { type: <class 'T'>, value: T('...'), traceback: Some(<traceback ...>) }
std::string take_python_error() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) return "PyErr { no exception was set }";
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref t(type), v(value), tb(traceback);
    std::string s = "PyErr { type: " + repr(t.p) + ", value: " + (v.p ? repr(v.p) : "None") +
                    ", traceback: " + (tb.p ? "Some(" + repr(tb.p) + ")" : "None") + " }";
    PyErr_Clear();
    return s;
}

PyObject* checked(PyObject* o) {
    if (!o) unwrap_failed(take_python_error());
    return o;
}

// The folder of the loaded package, found by the interpreter itself.
std::string module_dir() {
    Ref code(checked(Py_CompileString(kGetDirSource, "", Py_file_input)));
    Ref module(checked(PyImport_ExecCodeModuleEx("", code.p, "")));
    Ref get_dir(checked(PyObject_GetAttrString(module.p, "get_dir")));
    Ref no_args(checked(PyTuple_New(0)));
    Ref dir(checked(PyObject_Call(get_dir.p, no_args.p, nullptr)));
    Ref text(checked(PyObject_Str(dir.p)));
    std::optional<std::string> path = utf8_bytes(text.p, "surrogateescape");
    if (!path) unwrap_failed(take_python_error());
    return *path;
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
        launcher.emplace([&launcher_error, url = "http://127.0.0.1:" + port_text] {
            std::this_thread::sleep_for(std::chrono::seconds(1));  // let the server listen
            launcher_error = run_silenced({"python", "-m", "webbrowser", "-t", url});
        });
    } catch (const std::system_error& e) {
        panic("failed to spawn thread: " + os_error_debug(e.code().value()));
    }

    // On any failure below, the jthread is joined while unwinding, so no
    // thread outlives the call.
    print_stdout("Control-C to stop the server\n");

    // Bound to loopback: the viewer is for this machine only.
    int server_error = run_silenced({"python", "-m", "http.server", port_text, "--bind",
                                     "127.0.0.1", "--directory", dir});
    if (server_error != 0) panic(failed_to_execute(server_error));

    launcher->join();
    if (launcher_error != 0) unwrap_failed(failed_to_execute(launcher_error));
}

}  // namespace orvelle
