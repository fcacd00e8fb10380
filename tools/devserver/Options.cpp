#include "devserver/Options.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string_view>

namespace orvanta::devserver {

namespace {

template <typename T>
T parseInteger(const std::string& flag, const std::string& text, T min, T max) {
    T value{};
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < min || value > max)
        throw std::invalid_argument(flag + " needs a whole number from " + std::to_string(min) + " to " +
                                    std::to_string(max) + ", not \"" + text + "\"");
    return value;
}

double parseRate(const std::string& flag, const std::string& text) {
    double value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value) || value < 0 || value > 1)
        throw std::invalid_argument(flag + " needs a share from 0 to 1, not \"" + text + "\"");
    return value;
}

}  // namespace

Options parseOptions(const std::vector<std::string>& args) {
    Options o;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string flag = args[i];
        std::optional<std::string> inlineValue;
        if (auto eq = flag.find('='); flag.starts_with("--") && eq != std::string::npos) {
            inlineValue = flag.substr(eq + 1);
            flag.resize(eq);
        }
        auto value = [&]() -> std::string {
            if (inlineValue) return *inlineValue;
            if (i + 1 >= args.size()) throw std::invalid_argument(flag + " needs a value");
            return args[++i];
        };
        auto noValue = [&] {
            if (inlineValue) throw std::invalid_argument(flag + " takes no value");
        };

        if (flag == "--port") {
            o.port = parseInteger<int>(flag, value(), 0, 65535);
        } else if (flag == "--data") {
            o.dataFile = value();
        } else if (flag == "--storage") {
            o.storage = value();
        } else if (flag == "--chunk-size") {
            o.chunkSize = parseInteger<int32_t>(flag, value(), 1, std::numeric_limits<int32_t>::max());
        } else if (flag == "--fail-rate") {
            o.failRate = parseRate(flag, value());
        } else if (flag == "--bad-hash-rate") {
            o.badHashRate = parseRate(flag, value());
        } else if (flag == "--drop-rate") {
            o.dropRate = parseRate(flag, value());
        } else if (flag == "--slow-ms") {
            o.slowMs = parseInteger<int>(flag, value(), 0, 600000);
        } else if (flag == "--uploading-count") {
            o.uploadingCount = parseInteger<int>(flag, value(), 0, 1000000);
        } else if (flag == "--min-recorder-version") {
            o.minRecorderVersion = value();
            if (o.minRecorderVersion.empty() ||
                o.minRecorderVersion.find_first_not_of("0123456789.") != std::string::npos ||
                o.minRecorderVersion.front() == '.' || o.minRecorderVersion.back() == '.' ||
                o.minRecorderVersion.find("..") != std::string::npos)
                throw std::invalid_argument(flag + " needs a version such as 1.2, not \"" + o.minRecorderVersion +
                                            "\"");
        } else if (flag == "--seed") {
            o.seed = parseInteger<uint64_t>(flag, value(), 0, std::numeric_limits<uint64_t>::max());
        } else if (flag == "--quiet") {
            noValue();
            o.quiet = true;
        } else if (flag == "--help" || flag == "-h") {
            noValue();
            o.help = true;
        } else {
            throw std::invalid_argument("unknown argument \"" + args[i] + "\"");
        }
    }
    if (o.dataFile && o.dataFile->empty()) throw std::invalid_argument("--data needs a file name");
    if (o.storage && o.storage->empty()) throw std::invalid_argument("--storage needs a folder name");
    return o;
}

std::string usageText() {
    return "usage: orvanta-devserver [--port N] [--data FILE.json] [--storage DIR] [--chunk-size BYTES]\n"
           "                         [--fail-rate R] [--bad-hash-rate R] [--drop-rate R] [--slow-ms N]\n"
           "                         [--uploading-count N] [--min-recorder-version V] [--seed N] [--quiet]\n"
           "\n"
           "Serves the recorder service and the upload receiver on 127.0.0.1.\n"
           "  --port N             port to listen on; 0 (default) picks a free one\n"
           "  --data FILE          users, identity providers and folders as JSON; default: user\n"
           "                       \"presenter\" (password \"presenter\") and two folders of two sessions\n"
           "  --storage DIR        where uploaded files go; default: a new temporary folder, removed on exit\n"
           "  --chunk-size BYTES   the chunk size the receiver asks for (default 1048576)\n"
           "  --fail-rate R        share of SOAP requests answered HTTP 500 with a fault\n"
           "  --bad-hash-rate R    share of UploadChunk answers with a wrong hash (the chunk is not kept)\n"
           "  --drop-rate R        share of SOAP requests whose connection is closed without an answer\n"
           "  --slow-ms N          wait N milliseconds before answering each SOAP request\n"
           "  --uploading-count N  TryCloseFile answers \"Uploading\" N times per file before \"Uploaded\"\n"
           "  --min-recorder-version V\n"
           "                       logins from recorders older than version V (such as 1.2) are answered\n"
           "                       as not supported, with a download address\n"
           "  --seed N             seed of the fault decisions (repeatable runs)\n"
           "  --quiet              no request log on standard error\n"
           "\n"
           "Prints \"listening on 127.0.0.1:<port>\" once ready; stops on SIGTERM or SIGINT.\n";
}

}  // namespace orvanta::devserver
