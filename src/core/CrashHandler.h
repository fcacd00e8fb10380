#pragma once

#include <ctime>
#include <filesystem>
#include <string>

namespace orvanta::core {

// Installs a handler for SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGABRT. On such a signal it writes
// reportsDir/crashLogFileName(applicationName, now, host) with the signal, the process id, the build
// version and a backtrace, then restores the default action and raises the signal again, so the process
// still dies of it. reportsDir is created here. Everything the handler needs is prepared here, so that
// it only makes async-signal-safe calls; the local time's UTC offset is taken now, a crash after a
// daylight-saving change is stamped with the old offset. The handler gets a stack of its own on the
// installing thread only, so a stack overflow is reported there; elsewhere it just ends the process.
void installCrashHandler(std::filesystem::path reportsDir, std::string applicationName);

// "<app>_YYYY-MM-DD-HHMMSS_<host>.crash" with `when` in local time.
std::string crashLogFileName(const std::string& app, std::time_t when, const std::string& host);

// "YYYY-MM-DD-HHMMSS" of `when` shifted by utcOffsetSeconds; the handler's own conversion.
std::string crashTimestamp(std::time_t when, long utcOffsetSeconds);

// The host part of crash-log names: the host name up to its first dot.
std::string crashLogHostName();

}  // namespace orvanta::core
