// Decoding a feature file on several threads. The calling thread reads the
// file in batches of whole lines and hands each batch to a worker; results
// come back in file order, so the outcome, errors included, is the same for
// every thread count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fio/reader/feature_file.hpp"
#include "fio/reader/kelvra_decoder.hpp"

namespace orvelle {

// The longest line the reader accepts, terminator not counted. A line holds
// one sentence: 512 tokens with four 1024-wide layers of 17-digit values come
// to about 50 MB. A file without line ends, such as /dev/zero, stops once this
// much of it is read instead of filling memory.
inline constexpr std::size_t kMaxLineBytes = std::size_t{1} << 30;

struct ReadOptions {
    unsigned threads = 0;                        // decoding threads; 0: one per usable core
    std::size_t batch_bytes = 4u << 20;          // text handed to a thread at a time
    std::size_t max_line_bytes = kMaxLineBytes;  // a longer line stops the call
    // One file of several read as one corpus: failures name it and the line
    // ("shard.jsonl, line 7: <message>"). Empty for a file read alone, whose
    // messages are the reader's own.
    std::string source;
};

// The cores this process may run on.
unsigned default_thread_count();

// Reads every line of `file`, checks it is UTF-8, decodes it and normalises
// its token texts. on_read(bytes) runs on the calling thread after each
// batch, with the batch's line lengths summed (terminators not counted). The
// first failing line in file order stops the call: a line longer than
// max_line_bytes with long_line_message(), an invalid line with the UTF-8
// error, a malformed one with the decoder's error, and an unreadable file,
// once the lines before the failed read are decoded, with the system error
// (or, for a compressed file, the decompression's).
// At most about max_line_bytes of a line are held, however long it is.
// "line 3 is longer than 1073741824 bytes (1 GiB), the longest line the
// reader accepts"; lines count from 1.
std::string long_line_message(std::uint64_t line, std::size_t max_line_bytes);

std::vector<LineKelvra> decode_file(FeatureFile& file, const ReadOptions& options,
                                    const std::function<void(std::uint64_t)>& on_read);

// The same, handing the lines on in file order, a batch at a time, instead of
// holding them all: on_records runs on the calling thread.
void decode_file(FeatureFile& file, const ReadOptions& options, const std::function<void(std::uint64_t)>& on_read,
                 const std::function<void(std::vector<LineKelvra>&&)>& on_records);

}  // namespace orvelle
