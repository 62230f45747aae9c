// Failed checks. Every failure inside an analysis stops the whole call with
// one message text; the module boundary turns it into PanicException. The
// message forms below are the only place these texts are spelt.
#pragma once

#include <cstddef>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

namespace orvelle {

class Panic : public std::exception {
public:
    explicit Panic(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

[[noreturn]] void panic(std::string message);

// "called `Result::unwrap()` on an `Err` value: " + the error's debug form.
[[noreturn]] void unwrap_failed(std::string_view error_debug);
std::string unwrap_message(std::string_view error_debug);

// "called `Option::unwrap()` on a `None` value"
[[noreturn]] void unwrap_none();
extern const char* const kUnwrapNone;

// "assertion `left == right` failed[: msg]\n  left: L\n right: R"
std::string assert_eq_message(std::string_view left, std::string_view right,
                              std::optional<std::string_view> msg = std::nullopt);
[[noreturn]] void assert_eq_failed(std::size_t left, std::size_t right,
                                   std::optional<std::string_view> msg = std::nullopt);

// "index out of bounds: the len is L but the index is I"
std::string index_message(std::size_t len, std::size_t index);
[[noreturn]] void index_out_of_bounds(std::size_t len, std::size_t index);

// Bounds-checked element access with the index failure.
template <class Vec>
auto& at(Vec& v, std::size_t i) {
    if (i >= v.size()) index_out_of_bounds(v.size(), i);
    return v[i];
}

// System errors in their debug form.
// Os { code: 2, kind: NotFound, message: "No such file or directory" }
std::string os_error_debug(int code);
// The same error as a user reads it: No such file or directory (os error 2)
std::string os_error_display(int code);
// Name of the error kind for an errno value: NotFound, PermissionDenied, ...
std::string_view error_kind_name(int code);
// Error { kind: InvalidInput, message: "file name contained an unexpected NUL byte" }
std::string simple_error_debug(std::string_view kind, std::string_view message);
// Custom { kind: InvalidData, error: "features.jsonl.zst: ..." }
std::string custom_error_debug(std::string_view kind, std::string_view error);

extern const char* const kNulInPath;        // "file name contained an unexpected NUL byte"
extern const char* const kNulInArgument;    // "nul byte found in provided data"
extern const char* const kWriteZero;        // "failed to write whole buffer"
extern const char* const kInvalidUtf8;      // "stream did not contain valid UTF-8"

// unwrap_failed(os_error_debug(errno)) in one call.
[[noreturn]] void os_failed(int code);

// Appends text as its debug form reads between the quotes (see str_debug).
void append_debug_escaped(std::string& out, std::string_view text);

// The JSON decoder's error in its debug form:
// Error("missing field `index`", line: 1, column: 63)
std::string decode_error_debug(std::string_view message, std::size_t line, std::size_t column);

}  // namespace orvelle
