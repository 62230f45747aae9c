#include "util/panic.hpp"

#include "util/platform.hpp"
#include "util/str_debug.hpp"

#include <cerrno>
#include <cstring>

namespace orvelle {

const char* const kUnwrapNone = "called `Option::unwrap()` on a `None` value";
const char* const kNulInPath = "file name contained an unexpected NUL byte";
const char* const kNulInArgument = "nul byte found in provided data";
const char* const kWriteZero = "failed to write whole buffer";
const char* const kInvalidUtf8 = "stream did not contain valid UTF-8";

void panic(std::string message) { throw Panic(std::move(message)); }

std::string unwrap_message(std::string_view error_debug) {
    std::string m = "called `Result::unwrap()` on an `Err` value: ";
    m += error_debug;
    return m;
}

void unwrap_failed(std::string_view error_debug) { panic(unwrap_message(error_debug)); }

void unwrap_none() { panic(kUnwrapNone); }

std::string assert_eq_message(std::string_view left, std::string_view right,
                              std::optional<std::string_view> msg) {
    std::string m = "assertion `left == right` failed";
    if (msg) {
        m += ": ";
        m += *msg;
    }
    m += "\n  left: ";
    m += left;
    m += "\n right: ";
    m += right;
    return m;
}

void assert_eq_failed(std::size_t left, std::size_t right, std::optional<std::string_view> msg) {
    panic(assert_eq_message(std::to_string(left), std::to_string(right), msg));
}

std::string index_message(std::size_t len, std::size_t index) {
    return "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
           std::to_string(index);
}

void index_out_of_bounds(std::size_t len, std::size_t index) { panic(index_message(len, index)); }

std::string_view error_kind_name(int code) {
    switch (code) {
        case E2BIG: return "ArgumentListTooLong";
        case EPERM:
        case EACCES: return "PermissionDenied";
        case EADDRINUSE: return "AddrInUse";
        case EADDRNOTAVAIL: return "AddrNotAvailable";
        case EBUSY: return "ResourceBusy";
        case ECONNABORTED: return "ConnectionAborted";
        case ECONNREFUSED: return "ConnectionRefused";
        case ECONNRESET: return "ConnectionReset";
        case EDEADLK: return "Deadlock";
        case EDQUOT: return "QuotaExceeded";
        case EEXIST: return "AlreadyExists";
        case EFBIG: return "FileTooLarge";
        case EHOSTUNREACH: return "HostUnreachable";
        case EINTR: return "Interrupted";
        case EINVAL: return "InvalidInput";
        case EISDIR: return "IsADirectory";
        case ELOOP: return "FilesystemLoop";
        case ENOENT: return "NotFound";
        case ENOMEM: return "OutOfMemory";
        case ENOSPC: return "StorageFull";
        case ENOSYS: return "Unsupported";
        case EMLINK: return "TooManyLinks";
        case ENAMETOOLONG: return "InvalidFilename";
        case ENETDOWN: return "NetworkDown";
        case ENETUNREACH: return "NetworkUnreachable";
        case ENOTCONN: return "NotConnected";
        case ENOTDIR: return "NotADirectory";
        case ENOTEMPTY: return "DirectoryNotEmpty";
        case EPIPE: return "BrokenPipe";
        case EROFS: return "ReadOnlyFilesystem";
        case ESPIPE: return "NotSeekable";
        case ESTALE: return "StaleNetworkFileHandle";
        case ETIMEDOUT: return "TimedOut";
        case ETXTBSY: return "ExecutableFileBusy";
        case EXDEV: return "CrossesDevices";
        case EINPROGRESS: return "InProgress";
        case EAGAIN: return "WouldBlock";
        default: return "Uncategorized";
    }
}

namespace {
// Debug form of a text: quoted, with quotes and backslashes escaped. System
// error texts hold nothing that needs more.
std::string quoted(std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    out += '"';
    return out;
}
}  // namespace

namespace {
std::string os_error_text(int code) { return platform::error_text(code); }
}  // namespace

std::string os_error_debug(int code) {
    return "Os { code: " + std::to_string(code) + ", kind: " + std::string(error_kind_name(code)) +
           ", message: " + quoted(os_error_text(code)) + " }";
}

std::string os_error_display(int code) {
    return os_error_text(code) + " (os error " + std::to_string(code) + ")";
}

std::string simple_error_debug(std::string_view kind, std::string_view message) {
    return "Error { kind: " + std::string(kind) + ", message: " + quoted(message) + " }";
}

std::string custom_error_debug(std::string_view kind, std::string_view error) {
    return "Custom { kind: " + std::string(kind) + ", error: " + quoted(error) + " }";
}

void os_failed(int code) { unwrap_failed(os_error_debug(code)); }

void append_debug_escaped(std::string& out, std::string_view text) {
    // The text's debug form without its quotes.
    const std::string quoted_text = str_debug(text);
    out.append(quoted_text, 1, quoted_text.size() - 2);
}

std::string decode_error_debug(std::string_view message, std::size_t line, std::size_t column) {
    std::string out = "Error(\"";
    append_debug_escaped(out, message);
    out += "\", line: " + std::to_string(line) + ", column: " + std::to_string(column) + ")";
    return out;
}

}  // namespace orvelle
