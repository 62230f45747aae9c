// Text lines of a byte buffer, split as line-oriented readers split them:
// a line ends at "\n", and one "\r" before that "\n" is dropped too; the last
// line needs no terminator (its "\r", if any, then stays). An empty buffer has
// no lines; "\n" alone is one empty line.
#pragma once

#include <cstring>
#include <string_view>

namespace orvelle {

class LineSplitter {
public:
    explicit LineSplitter(std::string_view bytes) : p_(bytes.data()), end_(bytes.data() + bytes.size()) {}

    // Stores the next line in `line`; false when none is left.
    bool next(std::string_view& line) {
        if (p_ == end_) return false;
        const char* nl = static_cast<const char*>(std::memchr(p_, '\n', static_cast<std::size_t>(end_ - p_)));
        if (!nl) {
            line = std::string_view(p_, static_cast<std::size_t>(end_ - p_));
            p_ = end_;
            return true;
        }
        const char* stop = nl;
        if (stop > p_ && stop[-1] == '\r') --stop;
        line = std::string_view(p_, static_cast<std::size_t>(stop - p_));
        p_ = nl + 1;
        return true;
    }

private:
    const char* p_;
    const char* end_;
};

}  // namespace orvelle
