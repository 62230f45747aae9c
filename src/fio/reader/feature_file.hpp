// The token-feature file, open for sequential reading: plain text, or a gzip
// or zstd stream of it, decompressed as it is read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "fio/reader/decompress.hpp"

namespace orvelle {

class FeatureFile {
public:
    // Opens the file and queries its size; a failure of either stops the
    // call with the system error. The first bytes tell whether it is
    // compressed.
    explicit FeatureFile(const std::string& path);
    ~FeatureFile();
    FeatureFile(const FeatureFile&) = delete;
    FeatureFile& operator=(const FeatureFile&) = delete;

    std::uint64_t size() const { return size_; }  // on disk
    Compression compression() const { return compression_; }
    // Bytes of the file read so far (compressed bytes, for a compressed file).
    std::uint64_t consumed() const { return consumed_; }
    // The text's size: the file's for plain text, an estimate for a stream
    // (the size its header records, or four times the file's).
    std::uint64_t text_size_estimate() const;

    // Reads up to n bytes of text: the count read, 0 at the end, or a
    // negative value on failure, whose description error_debug() gives (a
    // directory opens, but reading it fails here). Waiting on a pipe or
    // device, it asks now and then whether to stop (util/cancellation), and
    // throws Interrupted when so.
    long read(char* buf, std::size_t n);
    // The failure behind read()'s negative result, in its debug form.
    std::string error_debug(long failed) const;

private:
    long read_raw(char* buf, std::size_t n);
    long read_decompressed(char* buf, std::size_t n);

    int fd_ = -1;
    std::string path_;
    std::uint64_t size_ = 0;
    bool regular_ = false;  // never waits for data
    std::uint64_t consumed_ = 0;
    Compression compression_ = Compression::none;
    std::uint64_t recorded_size_ = 0;  // of the text, from a stream's header; 0 when unknown

    // The first bytes, read to tell the format, handed out before the rest.
    unsigned char head_[4] = {};
    std::size_t head_size_ = 0, head_pos_ = 0;
    int head_error_ = 0;  // the sniffing read's failure, reported by the first read()

    std::unique_ptr<Decompressor> decompressor_;
    std::unique_ptr<char[]> in_;  // compressed bytes read ahead
    std::size_t in_pos_ = 0, in_size_ = 0;
    bool in_end_ = false;
    std::string decompress_error_;
};

}  // namespace orvelle
