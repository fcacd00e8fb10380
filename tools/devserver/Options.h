#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace orvanta::devserver {

// What the command line asks of the server.
struct Options {
    int port = 0;  // 0: any free port
    std::optional<std::filesystem::path> dataFile;
    std::optional<std::filesystem::path> storage;  // none: a new temporary folder
    int32_t chunkSize = 1048576;
    double failRate = 0;     // share of SOAP requests answered 500 with a fault
    double badHashRate = 0;  // share of UploadChunk answers carrying a wrong hash
    double dropRate = 0;     // share of SOAP requests whose connection is closed unanswered
    int slowMs = 0;          // wait before answering each SOAP request
    int uploadingCount = 0;  // "Uploading" answers per file before "Uploaded"
    std::string minRecorderVersion;  // logins from older recorders are refused as unsupported; "": none
    std::optional<uint64_t> seed;
    bool quiet = false;
    bool help = false;
};

// Reads the arguments (without the program name). Accepts "--flag value" and "--flag=value".
// Throws std::invalid_argument with a message naming the offending argument.
Options parseOptions(const std::vector<std::string>& args);

std::string usageText();

}  // namespace orvanta::devserver
