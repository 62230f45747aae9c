#include "util/environment.hpp"

#include <cstdlib>

namespace orvelle {

namespace {

constexpr const char* kRead[] = {"ORVELLE_STREAM", "ORVELLE_SIMD", "TMPDIR", "CLICOLOR_FORCE",
                                 "CLICOLOR",       "NO_COLOR",     "TERM"};

thread_local const EnvironmentSnapshot* t_snapshot = nullptr;

}  // namespace

EnvironmentSnapshot EnvironmentSnapshot::take() {
    EnvironmentSnapshot s;
    s.values_.reserve(std::size(kRead));
    for (const char* name : kRead) {
        const char* value = std::getenv(name);
        s.values_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
    return s;
}

const std::optional<std::string>* EnvironmentSnapshot::find(const char* name) const {
    for (const auto& [key, value] : values_)
        if (key == name) return &value;
    return nullptr;
}

EnvironmentScope::EnvironmentScope(const EnvironmentSnapshot& snapshot) noexcept : saved_(t_snapshot) {
    t_snapshot = &snapshot;
}

EnvironmentScope::~EnvironmentScope() { t_snapshot = saved_; }

const char* environment(const char* name) {
    if (t_snapshot)
        if (const std::optional<std::string>* value = t_snapshot->find(name)) return *value ? (*value)->c_str() : nullptr;
    return std::getenv(name);
}

}  // namespace orvelle
