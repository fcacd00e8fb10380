#include "core/CrashReports.h"

#include <algorithm>
#include <ctime>
#include <vector>

#include "core/Log.h"
#include "core/SettingsKeys.h"
#include "core/Util.h"

namespace orvanta::core {

namespace fs = std::filesystem;

namespace {

std::optional<fs::path> lastMatchingEntry(const fs::path& folder, const std::string& prefix) {
    std::error_code ec;
    std::vector<fs::path> matches;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.rfind(prefix, 0) == 0) matches.push_back(it->path());
    }
    if (matches.empty()) return std::nullopt;
    // Listing order: by name, as a directory listing shows them.
    return *std::max_element(matches.begin(), matches.end(),
                             [](const fs::path& a, const fs::path& b) { return a.filename() < b.filename(); });
}

SettingDate toSystemClock(fs::file_time_type t) {
    return std::chrono::time_point_cast<SettingDate::duration>(std::chrono::file_clock::to_sys(t));
}

}  // namespace

std::optional<fs::path> getLastCrashLogPath(Settings& settings, const std::string& applicationName,
                                            const fs::path& userReportsFolder, const fs::path& machineReportsFolder) {
    auto previous = settings.dateForKey(kLastCrashDate);
    auto found = lastMatchingEntry(userReportsFolder, applicationName);
    if (auto machine = lastMatchingEntry(machineReportsFolder, applicationName)) found = machine;
    if (!found) return std::nullopt;
    std::error_code ec;
    auto modified = fs::last_write_time(*found, ec);
    if (ec) return std::nullopt;
    SettingDate date = toSystemClock(modified);
    settings.setDate(kLastCrashDate, date);
    if (!previous || date > *previous) return found;
    return std::nullopt;
}

std::string crashLogTimeStamp(const fs::path& crashLog) {
    std::string name = crashLog.filename().string();
    if (name.size() >= 34) return name.substr(17, 17);
    std::error_code ec;
    auto modified = fs::last_write_time(crashLog, ec);
    std::time_t t = ec ? std::time(nullptr) : std::chrono::system_clock::to_time_t(toSystemClock(modified));
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d-%H%M%S", &tm);
    return buf;
}

std::optional<fs::path> createCrashReport(const CrashReportSources& sources) {
    std::string folderName = "OrvantaRecorderCrashReport_" + crashLogTimeStamp(sources.crashLog);
    fs::path folder = sources.temporaryFolder / folderName;
    std::error_code ec;
    fs::remove_all(folder, ec);
    fs::create_directories(folder, ec);
    for (const auto& file : {sources.crashLog, sources.storeFile, sources.logFile}) {
        if (file.empty()) continue;
        std::error_code copyError;  // a file that cannot be copied is left out
        fs::copy_file(file, folder / file.filename(), fs::copy_options::overwrite_existing, copyError);
    }
    fs::path archive = sources.desktopFolder / folderName;
    bool ok = createZipArchive(archive, sources.temporaryFolder, {"-r", folderName});
    fs::remove_all(folder, ec);
    if (!ok) {
        logf("Could not build the crash report %s.zip", archive.c_str());
        return std::nullopt;
    }
    return fs::path(archive.string() + ".zip");
}

}  // namespace orvanta::core
