// decode_file in tiny batches on several threads against one batch on one
// thread: the same records, the same bytes reported read, the same failure,
// under the default line limit and under a short one. The input is the whole
// feature file.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fio/reader/feature_file.hpp"
#include "fio/reader/parallel_decode.hpp"
#include "fuzz_support.hpp"
#include "util/panic.hpp"

using namespace orvelle;

namespace {

struct Outcome {
    std::vector<LineKelvra> lines;
    std::uint64_t bytes = 0;
    std::string failure;
};

Outcome read(const std::string& path, const ReadOptions& options) {
    Outcome out;
    try {
        FeatureFile file(path);
        out.lines = decode_file(file, options, [&](std::uint64_t n) { out.bytes += n; });
    } catch (const Panic& p) {
        out.failure = p.message();
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // One in-memory file, rewritten for each input and opened by path.
    static const int fd = memfd_create("fuzz_parallel_read", MFD_CLOEXEC);
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(ftruncate(fd, 0) == 0);
    FUZZ_CHECK(pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));

    // The default line limit, and one that the input's lines may pass: a
    // line is too long wherever the batches cut it.
    for (const std::size_t max_line : {kMaxLineBytes, 8 + size % 64}) {
        const Outcome whole = read(path, ReadOptions{1, 4u << 20, max_line, {}});
        for (const ReadOptions tiny : {ReadOptions{2, 1, max_line, {}}, ReadOptions{3, 1 + size % 7, max_line, {}}}) {
            const Outcome split = read(path, tiny);
            FUZZ_CHECK(split.failure == whole.failure);
            FUZZ_CHECK(fuzz::same(split.lines, whole.lines));
            // A failed batch reports its bytes before it fails: totals differ.
            if (whole.failure.empty()) FUZZ_CHECK(split.bytes == whole.bytes);
        }
    }
    return 0;
}
