// The environment variables the system reads (ORVELLE_STREAM, ORVELLE_SIMD,
// TMPDIR, and the terminal's colour settings). Changing the environment
// (setenv) is not safe against a getenv running at the same time, and a host
// may let its other threads change it while native work runs: such a host
// takes a snapshot while it still keeps them out, and makes it current for
// the work. Without a snapshot, the process environment is read.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace orvelle {

class EnvironmentSnapshot {
public:
    // Every variable the system reads, as it is now.
    static EnvironmentSnapshot take();
    // The variable's entry (its value, or none when unset); null for a
    // variable outside the snapshot.
    const std::optional<std::string>* find(const char* name) const;

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> values_;
};

// Makes the snapshot the calling thread's until the scope ends.
class EnvironmentScope {
public:
    explicit EnvironmentScope(const EnvironmentSnapshot& snapshot) noexcept;
    ~EnvironmentScope();
    EnvironmentScope(const EnvironmentScope&) = delete;
    EnvironmentScope& operator=(const EnvironmentScope&) = delete;

private:
    const EnvironmentSnapshot* saved_;
};

// The variable's value (null when unset), from the calling thread's snapshot
// when it holds the variable, else from the process environment.
const char* environment(const char* name);

}  // namespace orvelle
