#include "support/Files.h"

#include <stdio.h>

#include <array>
#include <fstream>
#include <iterator>

namespace orvanta::test {

std::string readFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::string commandOutput(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    std::array<char, 512> buf{};
    while (::fgets(buf.data(), static_cast<int>(buf.size()), pipe) != nullptr) out += buf.data();
    ::pclose(pipe);
    return out;
}

}  // namespace orvanta::test
