#include "fio/reader/json_cursor.hpp"

#include <cstring>

namespace orvelle {

void JsonCursor::fail_at(std::string message, std::size_t index) const {
    // memchr: a line may be gigabytes long.
    std::size_t line = 1, start_of_line = 0;
    while (start_of_line < index) {
        const void* nl = std::memchr(p_ + start_of_line, '\n', index - start_of_line);
        if (!nl) break;
        ++line;
        start_of_line = static_cast<std::size_t>(static_cast<const char*>(nl) - p_) + 1;
    }
    throw DecodeError{std::move(message), line, index - start_of_line};
}

}  // namespace orvelle
