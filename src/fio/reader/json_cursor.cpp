#include "fio/reader/json_cursor.hpp"

namespace orvelle {

void JsonCursor::fail_at(std::string message, std::size_t index) const {
    std::size_t line = 1, start_of_line = 0;
    for (std::size_t k = 0; k < index; ++k) {
        if (p_[k] == '\n') {
            ++line;
            start_of_line = k + 1;
        }
    }
    throw DecodeError{std::move(message), line, index - start_of_line};
}

}  // namespace orvelle
