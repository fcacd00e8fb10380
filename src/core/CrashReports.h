#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "core/Settings.h"

namespace orvanta::core {

// Finds a crash log of this application newer than the last one reported. Looks at the user's
// reports folder, then the machine's (a match there wins); keeps the last matching name of a folder.
// The found log's modification time is stored in "lastCrashDate" at once.
std::optional<std::filesystem::path> getLastCrashLogPath(Settings& settings, const std::string& applicationName,
                                                         const std::filesystem::path& userReportsFolder,
                                                         const std::filesystem::path& machineReportsFolder);

struct CrashReportSources {
    std::filesystem::path crashLog;
    std::filesystem::path storeFile;
    std::filesystem::path logFile;
    std::filesystem::path desktopFolder;    // where the archive goes
    std::filesystem::path temporaryFolder;  // where it is put together
};

// The time stamp of a crash log named "<16-character application name>_<stamp>_<host>.crash".
// A name too short to hold one yields the log's modification time in the same form.
std::string crashLogTimeStamp(const std::filesystem::path& crashLog);

// Packs the crash log, the store and the log file into
// "<desktop>/OrvantaRecorderCrashReport_<stamp>.zip". Copies that fail are left out.
// Returns the archive's path, or none when the archiver failed.
std::optional<std::filesystem::path> createCrashReport(const CrashReportSources& sources);

}  // namespace orvanta::core
