// A file opened for writing from the start: created with mode 0666 (before
// the umask) or truncated, never appended to. Failures stop the analysis with
// the system error's debug form. The descriptor is closed on every path;
// close() reports a failed close, the destructor ignores it. A file whose
// writing was interrupted (util/cancellation) before it was complete is
// removed: it must not pass for a whole one. A failure leaves what was written.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace orvelle {

class OutputFile {
public:
    // A path holding a NUL byte is refused before anything is opened.
    explicit OutputFile(const std::string& path);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Every byte or a failure: partial and interrupted writes are retried; a
    // write that accepts nothing fails as WriteZero.
    void write_all(std::string_view bytes) { write_all(fd_, bytes, &::write); }

    // Closes now; a failure (data lost on some file systems) stops the call.
    // The content is complete.
    void close();
    // The content is complete: an interruption from now on keeps the file.
    void complete() { complete_ = true; }

    // The same on any descriptor through any write call (tests supply one).
    using WriteFn = ssize_t (*)(int, const void*, std::size_t);
    static void write_all(int fd, std::string_view bytes, WriteFn write_fn);

private:
    int fd_;
    std::string path_;
    bool complete_ = false;
};

}  // namespace orvelle
