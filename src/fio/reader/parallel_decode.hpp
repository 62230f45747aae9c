// Decoding a feature file on several threads. The calling thread reads the
// file in batches of whole lines and hands each batch to a worker; results
// come back in file order, so the outcome, errors included, is the same for
// every thread count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "fio/reader/feature_file.hpp"
#include "fio/reader/kelvra_decoder.hpp"

namespace orvelle {

struct ReadOptions {
    unsigned threads = 0;                // decoding threads; 0: one per usable core
    std::size_t batch_bytes = 4u << 20;  // text handed to a thread at a time
};

// The cores this process may run on.
unsigned default_thread_count();

// Reads every line of `file`, checks it is UTF-8, decodes it and normalises
// its token texts. on_read(bytes) runs on the calling thread after each
// batch, with the batch's line lengths summed (terminators not counted). The
// first failing line in file order stops the call: an invalid line with the
// UTF-8 error, a malformed one with the decoder's error, and an unreadable
// file, once the lines before the failed read are decoded, with the system
// error.
std::vector<LineKelvra> decode_file(FeatureFile& file, const ReadOptions& options,
                                    const std::function<void(std::uint64_t)>& on_read);

}  // namespace orvelle
