#include "module/host/args.hpp"

#include <cstring>
#include <limits>

namespace orvelle::host {

namespace {

[[noreturn]] void type_error(const std::string& message) { raise(PyExc_TypeError, message); }

std::string quoted_list(const std::vector<std::string>& names) {
    // 'a'  |  'a' and 'b'  |  'a', 'b', and 'c'
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += (names.size() == 2) ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += "'" + names[i] + "'";
    }
    return out;
}

std::string utf8(PyObject* str) {
    Ref bytes = own(PyUnicode_AsUTF8String(str));
    return std::string(PyBytes_AsString(bytes.get()), static_cast<std::size_t>(PyBytes_Size(bytes.get())));
}

// A keyword name as messages show it. Text UTF-8 cannot carry (lone
// surrogates) shows as U+FFFD, so such a name matches no parameter.
std::string keyword_text(PyObject* key) {
    Ref text = own(PyObject_Str(key));
    Ref bytes = own(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
    Ref clean = own(PyUnicode_DecodeUTF8(PyBytes_AsString(bytes.get()), PyBytes_Size(bytes.get()), "replace"));
    return utf8(clean.get());
}

}  // namespace

void bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> out) {
    const std::size_t n_params = sig.params.size();
    for (auto& o : out) o = nullptr;

    const std::size_t n_args = args ? static_cast<std::size_t>(PyTuple_Size(args)) : 0;
    if (n_args > n_params) {
        std::string m = std::string(sig.display) + " takes from " + std::to_string(sig.required) +
                        " to " + std::to_string(n_params) + " positional arguments but " +
                        std::to_string(n_args) + (n_args == 1 ? " was" : " were") + " given";
        if (sig.required == n_params)
            m = std::string(sig.display) + " takes " + std::to_string(n_params) +
                " positional arguments but " + std::to_string(n_args) + (n_args == 1 ? " was" : " were") +
                " given";
        type_error(m);
    }
    for (std::size_t i = 0; i < n_args; ++i) out[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));

    if (kwargs && PyDict_Size(kwargs) > 0) {
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            std::string name = keyword_text(key);
            std::size_t index = n_params;
            for (std::size_t i = 0; i < n_params; ++i)
                if (name == sig.params[i]) index = i;
            if (index == n_params)
                type_error(std::string(sig.display) + " got an unexpected keyword argument '" + name + "'");
            if (index < n_args)
                type_error(std::string(sig.display) + " got multiple values for argument '" + name + "'");
            out[index] = value;
        }
    }

    std::vector<std::string> missing;
    for (std::size_t i = 0; i < sig.required; ++i)
        if (!out[i]) missing.emplace_back(sig.params[i]);
    if (!missing.empty())
        type_error(std::string(sig.display) + " missing " + std::to_string(missing.size()) +
                   " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
                   quoted_list(missing));
}

void raise_downcast(PyObject* obj, const char* target) {
    type_error("'" + type_name(obj) + "' object cannot be converted to '" + target + "'");
}

void rewrap_argument_error(const char* name) {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (type != PyExc_TypeError) {  // subclasses and other errors pass unchanged
        PyErr_Restore(type, value, tb);
        return;
    }
    PyErr_NormalizeException(&type, &value, &tb);
    Ref t = Ref::steal(type), v = Ref::steal(value), b = Ref::steal(tb);
    Ref text = Ref::steal(PyObject_Str(v.get()));
    if (!text) return;  // the str() failure is the error now
    std::string message = std::string("argument '") + name + "': " + utf8(text.get());
    Ref fresh = Ref::steal(PyObject_CallFunction(PyExc_TypeError, "s#", message.data(),
                                                 static_cast<Py_ssize_t>(message.size())));
    if (!fresh) return;
    if (PyObject* cause = PyException_GetCause(v.get())) PyException_SetCause(fresh.get(), cause);  // steals
    PyErr_SetObject(PyExc_TypeError, fresh.get());
}

std::string to_string(PyObject* obj) {
    if (!PyUnicode_Check(obj)) raise_downcast(obj, "PyString");
    return utf8(obj);
}

namespace {

// A sequence that is not a str, each item converted in iteration order.
template <class T, class F>
std::vector<T> to_vector(PyObject* obj, F convert_item) {
    if (PyUnicode_Check(obj)) type_error("Can't extract `str` to `Vec`");
    if (!PySequence_Check(obj)) raise_downcast(obj, "Sequence");
    Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0) {  // only a capacity hint: a failing len() is not an error
        PyErr_Clear();
        hint = 0;
    }
    std::vector<T> out;
    out.reserve(static_cast<std::size_t>(hint));
    Ref it = own(PyObject_GetIter(obj));
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) out.push_back(convert_item(item.get()));
    if (PyErr_Occurred()) throw PythonError{};
    return out;
}

}  // namespace

std::vector<std::string> to_string_list(PyObject* obj) { return to_vector<std::string>(obj, to_string); }

std::vector<std::vector<std::string>> to_string_lists(PyObject* obj) {
    return to_vector<std::vector<std::string>>(obj, to_string_list);
}

double to_f64(PyObject* obj) {
    double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) throw PythonError{};
    return v;
}

// Through C long, as the port is, so both overflow with the interpreter's
// "Python int too large to convert to C long".
static_assert(sizeof(long) == sizeof(std::int64_t), "64-bit long platforms only");

std::int64_t to_i64(PyObject* obj) {
    Ref index = own(PyNumber_Index(obj));
    long v = PyLong_AsLong(index.get());
    if (v == -1 && PyErr_Occurred()) throw PythonError{};
    return v;
}

std::vector<std::int64_t> to_i64_list(PyObject* obj) { return to_vector<std::int64_t>(obj, to_i64); }

std::uint64_t to_u64(PyObject* obj) {
    Ref index = own(PyNumber_Index(obj));
    unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
    return v;
}

std::uint16_t to_u16(PyObject* obj) {
    Ref index = own(PyNumber_Index(obj));
    long v = PyLong_AsLong(index.get());
    if (v == -1 && PyErr_Occurred()) throw PythonError{};
    if (v < 0 || v > std::numeric_limits<std::uint16_t>::max())
        raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    return static_cast<std::uint16_t>(v);
}

bool to_bool(PyObject* obj) {
    if (!PyBool_Check(obj)) raise_downcast(obj, "PyBool");
    return obj == Py_True;
}

}  // namespace orvelle::host
