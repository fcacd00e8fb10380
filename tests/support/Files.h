#pragma once

#include <filesystem>
#include <string>

namespace orvanta::test {

// The whole content of a file, byte for byte; empty when it cannot be read.
std::string readFile(const std::filesystem::path& file);

// What a shell command writes to its standard output (add "2>&1" to the command for its errors
// too); empty when it cannot be started.
std::string commandOutput(const std::string& command);

}  // namespace orvanta::test
