// Argument binding and conversion with the interpreter's calling rules and the
// module's exact messages. Every failure leaves a Python error set and throws
// PythonError.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "module/host/errors.hpp"

namespace orvelle::host {

struct Signature {
    const char* display;                 // "calculator()", "Calculator.save_summary()"
    std::span<const char* const> params;  // positional-or-keyword, in order
    std::size_t required;                 // the first `required` params
};

// Fills out[i] with a borrowed reference or nullptr when not given. Not named
// `bind`: with a std::array argument, lookup would also find std::bind, an
// exact match that silently wins.
void bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> out);

// Conversions. A TypeError they raise is re-raised by `argument` with the
// prefix "argument '<name>': ".
std::string to_string(PyObject* obj);
std::vector<std::string> to_string_list(PyObject* obj);
std::vector<std::vector<std::string>> to_string_lists(PyObject* obj);
double to_f64(PyObject* obj);
std::int64_t to_i64(PyObject* obj);
std::vector<std::int64_t> to_i64_list(PyObject* obj);
std::uint64_t to_u64(PyObject* obj);
std::uint16_t to_u16(PyObject* obj);
bool to_bool(PyObject* obj);

// Re-raises a pending TypeError (exactly that type) as
// TypeError("argument '<name>': " + message), keeping its cause.
void rewrap_argument_error(const char* name);

// Runs convert(obj), prefixing a TypeError with the parameter's name and
// carrying its cause over.
template <class F>
auto argument(const char* name, PyObject* obj, F convert) -> decltype(convert(obj)) {
    try {
        return convert(obj);
    } catch (const PythonError&) {
        rewrap_argument_error(name);
        throw;
    }
}

// Optional parameter: absent or None means the default.
template <class F>
auto optional_argument(const char* name, PyObject* obj, F convert)
    -> std::optional<decltype(convert(obj))> {
    if (!obj || obj == Py_None) return std::nullopt;
    return argument(name, obj, convert);
}

// "'<type>' object cannot be converted to '<target>'" as a TypeError.
[[noreturn]] void raise_downcast(PyObject* obj, const char* target);

}  // namespace orvelle::host
