// A read position in one JSON text with the decoder's error positions:
// fail() reports the position after the last consumed byte, fail_peek() the
// position of the byte looked at next. Both count lines from 1 and columns in
// bytes, so an error in a text line reads "line: 1, column: C".
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "fio/reader/decode_error.hpp"

namespace orvelle {

class JsonCursor {
public:
    JsonCursor() = default;
    explicit JsonCursor(std::string_view text) : p_(text.data()), n_(text.size()) {}

    // Next byte without consuming it; -1 at the end. A NUL byte reads 0.
    int peek() const { return i_ < n_ ? static_cast<unsigned char>(p_[i_]) : -1; }
    // Next byte, with the end read as 0 (which matches no expected byte).
    int peek_or_null() const { return i_ < n_ ? static_cast<unsigned char>(p_[i_]) : 0; }
    void eat() { ++i_; }
    int next() { return i_ < n_ ? static_cast<unsigned char>(p_[i_++]) : -1; }

    // Skips the four JSON blanks; returns peek().
    int skip_blanks() {
        while (i_ < n_) {
            char c = p_[i_];
            if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return static_cast<unsigned char>(c);
            ++i_;
        }
        return -1;
    }

    [[noreturn]] void fail(JsonError code) const { fail_at(std::string(error_text(code)), i_); }
    [[noreturn]] void fail_peek(JsonError code) const {
        fail_at(std::string(error_text(code)), i_ + 1 < n_ ? i_ + 1 : n_);
    }
    // A type or value error, placed after the last consumed byte.
    [[noreturn]] void fail(std::string message) const { fail_at(std::move(message), i_); }

    const char* data() const { return p_; }
    std::size_t size() const { return n_; }
    std::size_t index() const { return i_; }
    void set_index(std::size_t i) { i_ = i; }

private:
    [[noreturn]] void fail_at(std::string message, std::size_t index) const;

    const char* p_ = nullptr;
    std::size_t n_ = 0;
    std::size_t i_ = 0;
};

}  // namespace orvelle
