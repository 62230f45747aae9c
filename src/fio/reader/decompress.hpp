// Compressed feature files: gzip and zstd streams, told apart from plain text
// by their first bytes (never by the file's name), decompressed as they are
// read. A feature file begins with '{', '[' or a blank, which no magic
// number does.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace orvelle {

enum class Compression { none, gzip, zstd };

// What the first bytes of a file say it holds; fewer than 4 bytes are plain.
Compression sniff_compression(const unsigned char* head, std::size_t n);
const char* compression_name(Compression c);  // "gzip", "zstd", "plain text"

// One compressed stream of concatenated members or frames (what `gzip -c a
// b` or `zstd -c a b` writes), fed its bytes in order.
class Decompressor {
public:
    explicit Decompressor(Compression kind);
    ~Decompressor();
    Decompressor(const Decompressor&) = delete;
    Decompressor& operator=(const Decompressor&) = delete;

    struct Step {
        std::size_t consumed = 0;  // input bytes used
        std::size_t produced = 0;  // output bytes written
    };
    // Decompresses from in[0, in_size) into out[0, out_size); throws
    // DecompressError on damaged data.
    Step step(const char* in, std::size_t in_size, char* out, std::size_t out_size);
    // Whether the input so far ends on a member or frame boundary: at the
    // end of the file, a stream that does not is truncated.
    bool at_boundary() const { return at_boundary_; }

private:
    Compression kind_;
    bool at_boundary_ = true;
    struct State;
    std::unique_ptr<State> state_;
};

struct DecompressError {
    std::string message;  // the library's description
};

}  // namespace orvelle
