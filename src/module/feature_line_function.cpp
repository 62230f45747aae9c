// _feature_line(line_index, tokens, layers, values, dtype, width, digits) -> bytes:
// one feature-file line for orvelle.extract. `values` is bytes or bytearray of
// native-endian float32 or float64 (`dtype`), laid out [layer][token][unit]
// with `width` units, as numpy's tobytes() gives it: the buffer protocol is
// outside the stable ABI of Python 3.10.
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fio/writer/feature_line.hpp"
#include "module/host/args.hpp"
#include "module/host/functions.hpp"

namespace orvelle::host {

namespace {

constexpr const char* kParams[] = {"line_index", "tokens", "layers", "values", "dtype", "width", "digits"};
constexpr Signature kSignature{"_feature_line()", kParams, 7};

std::string_view byte_view(PyObject* obj) {
    if (PyBytes_Check(obj)) {
        char* data = nullptr;
        Py_ssize_t size = 0;
        check_status(PyBytes_AsStringAndSize(obj, &data, &size));
        return {data, static_cast<std::size_t>(size)};
    }
    if (PyByteArray_Check(obj))
        return {PyByteArray_AsString(obj), static_cast<std::size_t>(PyByteArray_Size(obj))};
    raise_downcast(obj, "PyBytes");
}

template <class T>
Ref line(std::uint64_t line_index, const std::vector<std::string>& texts, const std::vector<std::int64_t>& layers,
         std::string_view bytes, std::size_t width, int digits, const char* dtype) {
    const std::size_t count = layers.size() * texts.size() * width;
    if (bytes.size() != count * sizeof(T))
        raise(PyExc_ValueError, "values hold " + std::to_string(bytes.size()) + " bytes; " +
                                    std::to_string(layers.size()) + " layers of " + std::to_string(texts.size()) +
                                    " tokens of " + std::to_string(width) + " " + dtype + " values take " +
                                    std::to_string(count * sizeof(T)));
    // A bytearray's data need not be aligned for T.
    std::vector<T> copy;
    const T* data = reinterpret_cast<const T*>(bytes.data());
    if (reinterpret_cast<std::uintptr_t>(data) % alignof(T) != 0) {
        copy.resize(count);
        std::memcpy(copy.data(), bytes.data(), bytes.size());
        data = copy.data();
    }
    const SentenceValues<T> v{{data, count}, layers.size(), texts.size(), width};
    if (auto bad = non_finite_layer(v))
        raise(PyExc_ValueError, "sentence " + std::to_string(line_index) + ": hidden state " +
                                    std::to_string(layers[*bad]) + " holds a value that is not finite");
    const std::vector<std::string_view> tokens(texts.begin(), texts.end());
    thread_local FeatureLine builder;  // keeps its buffer from line to line
    const std::string_view text = builder.build(line_index, tokens, layers, v, digits);
    return own(PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace

PyObject* feature_line(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded("_feature_line()", [&]() -> PyObject* {
        std::array<PyObject*, std::size(kParams)> a{};
        bind_arguments(kSignature, args, kwargs, a);
        const std::uint64_t line_index = argument("line_index", a[0], to_u64);
        const std::vector<std::string> tokens = argument("tokens", a[1], to_string_list);
        const std::vector<std::int64_t> layers = argument("layers", a[2], to_i64_list);
        const std::string dtype = argument("dtype", a[4], to_string);
        const std::uint64_t width = argument("width", a[5], to_u64);
        const std::int64_t digits = argument("digits", a[6], to_i64);
        // Last: the conversions above may run Python code that resizes a bytearray.
        const std::string_view bytes = argument("values", a[3], byte_view);
        if (digits < 0 || digits > 17)
            raise(PyExc_ValueError, "digits must be 0 (shortest) to 17, not " + std::to_string(digits));
        const int d = static_cast<int>(digits);
        if (dtype == "float32") return line<float>(line_index, tokens, layers, bytes, width, d, "float32").release();
        if (dtype == "float64") return line<double>(line_index, tokens, layers, bytes, width, d, "float64").release();
        raise(PyExc_ValueError, "dtype must be 'float32' or 'float64', not '" + dtype + "'");
    });
}

}  // namespace orvelle::host
