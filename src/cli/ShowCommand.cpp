// orvanta show: one recording with its streams, files, slide events, segments and manifest.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>

#include "cli/Commands.h"
#include "cli/RecordingLookup.h"
#include "model/FileUpload.h"
#include "model/Segment.h"
#include "model/Stream.h"

namespace orvanta::cli {

const char* const kShowHelp =
    "usage: orvanta show GUID\n"
    "\n"
    "Prints the recording's status, session, folder and times, its files folder and manifest path,\n"
    "then one \"stream\" line per stream with its \"file\" and slide \"event\" lines, and one\n"
    "\"segment\" line (start and end in seconds, public ID) per recorded interval; tab-separated.\n"
    "Works without a server. Exit code 1 when there is no such recording.\n";

namespace {

// "YYYY-MM-DDTHH:MM:SSZ", or "-" when absent.
std::string timeText(const std::optional<model::Date>& date) {
    if (!date) return "-";
    std::time_t t = std::chrono::system_clock::to_time_t(*date);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

std::string text(const std::optional<std::string>& s) { return s && !s->empty() ? *s : "-"; }

std::string seconds(double value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", value);
    return buf;
}

}  // namespace

int runShow(CommandContext& context, const std::vector<std::string>& argv) {
    auto args = parseArguments(argv, {}, {});
    if (!args.error.empty()) return usageError("show", args.error);
    int exitCode = kExitOk;
    auto r = recordingNamedBy(context, "show", args.positional, &exitCode);
    if (!r) return exitCode;

    std::string guid = r->Guid().value_or("");
    std::string folder = r->RecordingPath();
    auto line = [](const char* key, const std::string& value) { std::printf("%s\t%s\n", key, value.c_str()); };
    line("recording", guid);
    line("status", std::to_string(r->State()) + "\t" + r->DetailedStatus());
    line("session", text(r->SessionName()) + "\t" + text(r->SessionID()));
    line("folder", r->folderDescription().text + "\t" + text(r->SessionGroupID()));
    line("server", text(r->Server()));
    line("start", timeText(r->dateValue("StartTime")));
    line("end", timeText(r->dateValue("EndTime")));
    line("length", text(r->Length()));
    if (r->ServerStatus() || r->ViewerUrl()) line("online", text(r->ServerStatus()) + "\t" + text(r->ViewerUrl()));
    line("files", folder);
    std::filesystem::path manifest = std::filesystem::path(folder) / (guid + ".xml");
    std::error_code ec;
    line("manifest", manifest.string() + (std::filesystem::exists(manifest, ec) ? "" : "\t(not written)"));

    for (const auto& s : r->Streams()) {
        std::printf("stream\t%s\t%s\t%s\t%s\n", text(s->Guid()).c_str(), text(s->Tag()).c_str(),
                    text(s->Type()).c_str(), text(s->Description()).c_str());
        for (const auto& f : s->Files()) {
            f->readFileSize();
            std::string local = f->localPath().value_or("");
            bool present = !local.empty() && std::filesystem::exists(local, ec);
            std::printf("  file\t%s\t%s\t%llu/%llu bytes uploaded\t%s%s\n", text(f->localPath()).c_str(),
                        text(f->remotePath()).c_str(), static_cast<unsigned long long>(f->bytesUploaded()),
                        static_cast<unsigned long long>(f->totalSize()), f->isUploaded() ? "closed" : "open",
                        present ? "" : "\t(missing)");
        }
        auto events = s->Events();
        std::sort(events.begin(), events.end(), [](const auto& a, const auto& b) {
            return a->dateValue("timeStamp").value_or(model::Date{}) < b->dateValue("timeStamp").value_or(model::Date{});
        });
        for (const auto& e : events)
            std::printf("  event\t%s\tslide %lld\n", timeText(e->dateValue("timeStamp")).c_str(),
                        static_cast<long long>(e->integerValue("slideNumber")));
    }
    auto segments = r->Segments();
    std::sort(segments.begin(), segments.end(),
              [](const auto& a, const auto& b) { return model::sortSegments(*a, *b) < 0; });
    for (const auto& seg : segments) {
        auto end = seg->End();
        std::printf("segment\t%s\t%s\t%s\n", seconds(seg->Start()).c_str(), end ? seconds(*end).c_str() : "-",
                    text(seg->stringValue("StreamPublicID")).c_str());
    }
    return kExitOk;
}

}  // namespace orvanta::cli
