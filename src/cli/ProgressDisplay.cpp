#include "cli/ProgressDisplay.h"

#include <cstdio>

#include "cli/Terminal.h"
#include "model/FileUpload.h"
#include "model/Stream.h"

namespace orvanta::cli {

std::pair<std::uint64_t, std::uint64_t> ProgressDisplay::bytes(const model::Recording& recording) {
    std::uint64_t uploaded = 0, total = 0;
    for (const auto& stream : recording.Streams())
        for (const auto& file : stream->Files()) {
            uploaded += file->bytesUploaded();
            total += file->totalSize();
        }
    return {uploaded, total};
}

void ProgressDisplay::clearLine() {
    if (barShown_) std::fputs("\r\033[K", stderr);
    barShown_ = false;
}

void ProgressDisplay::message(const std::string& text) {
    clearLine();
    std::fprintf(stderr, "%s\n", text.c_str());
}

void ProgressDisplay::finish() {
    if (barShown_) std::fputs("\n", stderr);
    barShown_ = false;
}

void ProgressDisplay::update(const std::vector<std::shared_ptr<model::Recording>>& recordings) {
    std::uint64_t uploaded = 0, total = 0;
    for (const auto& r : recordings) {
        auto [u, t] = bytes(*r);
        uploaded += u;
        total += t;
        if (!terminal_) {
            int tenth = t ? static_cast<int>(u * 10 / t) : 0;
            auto guid = r->Guid().value_or("");
            auto it = lastTenth_.find(guid);
            if (it == lastTenth_.end() || it->second != tenth) {
                lastTenth_[guid] = tenth;
                std::fprintf(stderr, "%s %d%%\n", guid.c_str(), tenth * 10);
            }
        }
    }
    if (!terminal_) return;
    if (firstUploaded_ == UINT64_MAX) firstUploaded_ = uploaded;
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    double rate = seconds > 0.5 ? static_cast<double>(uploaded - std::min(uploaded, firstUploaded_)) / seconds : 0;
    double fraction = total ? static_cast<double>(uploaded) / static_cast<double>(total) : 0;
    char tail[96];
    std::snprintf(tail, sizeof tail, " %3d%%  %.1f/%.1f MB  %.1f MB/s", static_cast<int>(fraction * 100),
                  static_cast<double>(uploaded) / 1e6, static_cast<double>(total) / 1e6, rate / 1e6);
    int width = std::max(10, std::min(50, terminalWidth() - static_cast<int>(std::string(tail).size()) - 4));
    int filled = static_cast<int>(fraction * width);
    std::string bar = "\r\033[K[" + std::string(filled, '#') + std::string(width - filled, '-') + "]" + tail;
    std::fputs(bar.c_str(), stderr);
    std::fflush(stderr);
    barShown_ = true;
}

}  // namespace orvanta::cli
