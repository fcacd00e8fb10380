#include "capture/RecorderTestSupport.h"

#include <sstream>

#include "core/RunLoop.h"
#include "support/Files.h"

namespace orvanta::test {

bool runMainLoopUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    return core::RunLoop::main().runUntil(done, timeout);
}

void runMainLoopFor(std::chrono::milliseconds duration) {
    core::RunLoop::main().runUntil([] { return false; }, duration);
}

std::vector<StreamSummary> movieStreams(const std::filesystem::path& movie) {
    const std::string out = commandOutput("ffprobe -v error -show_entries stream=codec_type,codec_name,duration "
                                          "-of csv=p=0 '" + movie.string() + "'");
    std::vector<StreamSummary> streams;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        StreamSummary s;
        std::string duration;
        std::getline(fields, s.codec, ',');
        std::getline(fields, s.type, ',');
        std::getline(fields, duration, ',');
        try {
            s.duration = std::stod(duration);
        } catch (...) {
        }
        if (!s.type.empty()) streams.push_back(s);
    }
    return streams;
}

double meanVolume(const std::filesystem::path& movie) {
    const std::string out =
        commandOutput("ffmpeg -hide_banner -nostats -i '" + movie.string() + "' -vn -af volumedetect -f null - 2>&1");
    const auto at = out.find("mean_volume:");
    if (at == std::string::npos) return -200;
    return std::stod(out.substr(at + 12));
}

}  // namespace orvanta::test
