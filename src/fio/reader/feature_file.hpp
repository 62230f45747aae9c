// The token-feature file, open for sequential reading.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace orvelle {

class FeatureFile {
public:
    // Opens the file and queries its size; a failure of either stops the
    // call with the system error.
    explicit FeatureFile(const std::string& path);
    ~FeatureFile();
    FeatureFile(const FeatureFile&) = delete;
    FeatureFile& operator=(const FeatureFile&) = delete;

    std::uint64_t size() const { return size_; }

    // Reads up to n bytes: the count read, 0 at the end of the file, or minus
    // the system error code (a directory opens, but reading it fails here).
    // Waiting on a pipe or device, it asks now and then whether to stop
    // (util/cancellation), and throws Interrupted when so.
    long read(char* buf, std::size_t n);

private:
    int fd_ = -1;
    std::uint64_t size_ = 0;
    bool regular_ = false;  // never waits for data
};

}  // namespace orvelle
