#pragma once

#include <map>
#include <optional>
#include <string>

namespace orvanta::test {

// Sets (or, with no value, unsets) environment variables for the lifetime of the object; every
// variable it touched gets its earlier value back at destruction.
class ScopedEnvironment {
public:
    ScopedEnvironment() = default;
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

    void set(const std::string& name, const std::optional<std::string>& value);

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace orvanta::test
