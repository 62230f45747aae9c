#include "fio/reader/decompress.hpp"

#include <zlib.h>
#include <zstd.h>

#include <climits>
#include <cstring>

namespace orvelle {

Compression sniff_compression(const unsigned char* h, std::size_t n) {
    if (n >= 2 && h[0] == 0x1f && h[1] == 0x8b) return Compression::gzip;
    if (n >= 4) {
        const unsigned magic = unsigned(h[0]) | unsigned(h[1]) << 8 | unsigned(h[2]) << 16 | unsigned(h[3]) << 24;
        // A frame, or a skippable frame (0x184D2A50 to 0x184D2A5F).
        if (magic == ZSTD_MAGICNUMBER || (magic & ZSTD_MAGIC_SKIPPABLE_MASK) == ZSTD_MAGIC_SKIPPABLE_START)
            return Compression::zstd;
    }
    return Compression::none;
}

const char* compression_name(Compression c) {
    switch (c) {
        case Compression::gzip: return "gzip";
        case Compression::zstd: return "zstd";
        case Compression::none: break;
    }
    return "plain text";
}

struct Decompressor::State {
    ZSTD_DStream* zstd = nullptr;
    z_stream gzip{};
    bool gzip_open = false;
    bool between_members = false;  // a gzip member ended; the next starts with the next input byte

    ~State() {
        if (zstd) ZSTD_freeDStream(zstd);
        if (gzip_open) inflateEnd(&gzip);
    }
};

Decompressor::Decompressor(Compression kind) : kind_(kind), state_(std::make_unique<State>()) {
    if (kind_ == Compression::zstd) {
        state_->zstd = ZSTD_createDStream();
        if (!state_->zstd) throw DecompressError{"out of memory"};
    } else if (kind_ == Compression::gzip) {
        // 16 + 15: a gzip wrapper around a window of up to 32 KiB.
        if (inflateInit2(&state_->gzip, 16 + MAX_WBITS) != Z_OK) throw DecompressError{"out of memory"};
        state_->gzip_open = true;
    }
}

Decompressor::~Decompressor() = default;

Decompressor::Step Decompressor::step(const char* in, std::size_t in_size, char* out, std::size_t out_size) {
    Step s;
    if (kind_ == Compression::zstd) {
        ZSTD_inBuffer input{in, in_size, 0};
        ZSTD_outBuffer output{out, out_size, 0};
        const std::size_t hint = ZSTD_decompressStream(state_->zstd, &output, &input);
        if (ZSTD_isError(hint)) throw DecompressError{ZSTD_getErrorName(hint)};
        // 0: a frame is complete and flushed; the next input starts a new
        // one. A call that moved nothing (no input left) leaves it so.
        if (input.pos > 0 || output.pos > 0) at_boundary_ = hint == 0;
        return {input.pos, output.pos};
    }
    z_stream& z = state_->gzip;
    if (state_->between_members) {
        if (in_size == 0) return s;
        // Whatever follows a member must be another member.
        if (static_cast<unsigned char>(in[0]) != 0x1f)
            throw DecompressError{"data after the end of the compressed stream is not another gzip member"};
        inflateReset(&z);
        state_->between_members = false;
    }
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in));
    z.avail_in = static_cast<uInt>(std::min<std::size_t>(in_size, UINT_MAX));
    z.next_out = reinterpret_cast<Bytef*>(out);
    z.avail_out = static_cast<uInt>(std::min<std::size_t>(out_size, UINT_MAX));
    const uInt in_before = z.avail_in, out_before = z.avail_out;
    const int r = inflate(&z, Z_NO_FLUSH);
    s.consumed = in_before - z.avail_in;
    s.produced = out_before - z.avail_out;
    if (r == Z_STREAM_END) {
        state_->between_members = true;
        at_boundary_ = true;
    } else if (r == Z_OK || (r == Z_BUF_ERROR && (s.consumed || s.produced || in_size == 0))) {
        at_boundary_ = false;
    } else {
        throw DecompressError{z.msg ? z.msg : r == Z_MEM_ERROR ? "out of memory" : "invalid compressed data"};
    }
    return s;
}

}  // namespace orvelle
