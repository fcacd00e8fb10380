#include "core/CrashHandler.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "orvanta/BuildInfo.h"
#include "support/Files.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using namespace orvanta::core;

namespace {

constexpr const char* kApp = "orvanta-recorder";

std::string gmtimeStamp(std::time_t t) {
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d-%H%M%S", &tm);
    return text;
}

TEST(CrashHandlerTest, TimestampIsConvertedWithoutTheCLibrary) {
    struct Case {
        std::time_t when;
        long offset;
        const char* expected;
    };
    const Case cases[] = {
        {0, 0, "1970-01-01-000000"},
        {-1, 0, "1969-12-31-235959"},
        {951782400, 0, "2000-02-29-000000"},          // leap day of a century divisible by 400
        {4107542400 - 1, 0, "2100-02-28-235959"},     // 2100 has no leap day
        {1709251199, 0, "2024-02-29-235959"},
        {1709251199, 3600, "2024-03-01-005959"},      // a positive offset moves into the next month
        {1704067200, -1, "2023-12-31-235959"},        // a negative one back into the last year
        {1704067200, 19800, "2024-01-01-053000"},     // half-hour zones
        {1704067200, -34200, "2023-12-31-143000"},
    };
    for (const auto& c : cases) EXPECT_EQ(crashTimestamp(c.when, c.offset), c.expected) << c.when << " " << c.offset;

    // And agrees with the C library across two centuries.
    uint64_t state = 12345;
    const long offsets[] = {-43200, -16200, 0, 3600, 20700, 50400};
    for (int i = 0; i < 3000; ++i) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        const auto when = static_cast<std::time_t>((state >> 11) % 7'000'000'000ULL);
        const long offset = offsets[i % 6];
        ASSERT_EQ(crashTimestamp(when, offset), gmtimeStamp(when + offset)) << when << " " << offset;
    }
}

TEST(CrashHandlerTest, FileNameCarriesLocalTimeWhereTheHarvestLooksForIt) {
    const std::time_t when = 1700000000;
    std::tm local{};
    localtime_r(&when, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d-%H%M%S", &local);

    const std::string name = crashLogFileName(kApp, when, "lecturehall");
    EXPECT_EQ(name, std::string(kApp) + "_" + stamp + "_lecturehall.crash");
    // The harvest reads the 17 characters after the 16-character name and "_".
    EXPECT_EQ(name.substr(17, 17), stamp);

    const std::string host = crashLogHostName();
    EXPECT_FALSE(host.empty());
    EXPECT_EQ(host.find_first_of("./"), std::string::npos);
}

// ---- crashing child processes

enum class Crash { NullWrite, NullWriteOnThread, StackOverflow, Abort, Fpe, Bus, Ill };

// Both the pointer and the store are volatile, so an optimising build can neither drop the write nor
// turn it into a trap instruction.
__attribute__((noinline, no_sanitize("address", "undefined"))) void writeThroughNull() {
    volatile int* volatile pointer = nullptr;
    *pointer = 1;
}

__attribute__((noinline, no_sanitize("address", "undefined"))) int recurseForever(int depth) {
    volatile char frame[512];
    frame[0] = static_cast<char>(depth);
    if (depth == -1) return 0;
    return recurseForever(depth + 1) + frame[0];
}

void crash(Crash kind) {
    switch (kind) {
        case Crash::NullWrite: writeThroughNull(); break;
        case Crash::NullWriteOnThread: std::thread(writeThroughNull).join(); break;
        case Crash::StackOverflow: recurseForever(0); break;
        case Crash::Abort: ::abort();
        case Crash::Fpe: ::raise(SIGFPE); break;
        case Crash::Bus: ::raise(SIGBUS); break;
        case Crash::Ill: ::raise(SIGILL); break;
    }
}

TEST(CrashHandlerTest, FatalSignalWritesAReportAndStillEndsTheProcess) {
    struct Case {
        const char* label;
        Crash kind;
        int signal;
        const char* name;
    };
    const Case cases[] = {
        {"null write", Crash::NullWrite, SIGSEGV, "SIGSEGV"},
        {"null write on a second thread", Crash::NullWriteOnThread, SIGSEGV, "SIGSEGV"},
        {"stack overflow", Crash::StackOverflow, SIGSEGV, "SIGSEGV"},
        {"abort", Crash::Abort, SIGABRT, "SIGABRT"},
        {"floating-point exception", Crash::Fpe, SIGFPE, "SIGFPE"},
        {"bus error", Crash::Bus, SIGBUS, "SIGBUS"},
        {"illegal instruction", Crash::Ill, SIGILL, "SIGILL"},
    };
    const std::string host = crashLogHostName();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        orvanta::test::TempDir scratch;
        const fs::path reports = scratch.path() / "Logs" / "DiagnosticReports";  // made by the install

        const std::time_t before = std::time(nullptr);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Keep the handler's note off the test output; die anyway should the handler hang.
            const int devNull = ::open("/dev/null", O_WRONLY);
            ::dup2(devNull, STDERR_FILENO);
            ::alarm(20);
            installCrashHandler(reports, kApp);
            crash(c.kind);
            ::_exit(99);
        }
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        const std::time_t after = std::time(nullptr);
        ASSERT_TRUE(WIFSIGNALED(status)) << "child exited with " << WEXITSTATUS(status);
        EXPECT_EQ(WTERMSIG(status), c.signal);

        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(reports)) files.push_back(entry.path());
        ASSERT_EQ(files.size(), 1u);
        const std::string fileName = files[0].filename().string();
        bool nameMatches = false;
        for (std::time_t t = before; t <= after && !nameMatches; ++t)
            nameMatches = fileName == crashLogFileName(kApp, t, host);
        EXPECT_TRUE(nameMatches) << fileName;

        const std::string report = orvanta::test::readFile(files[0]);
        EXPECT_NE(report.find(std::string(kApp) + " [" + std::to_string(child) + "]"), std::string::npos) << report;
        EXPECT_NE(report.find(std::string("Version:    ") + orvanta::build::kBundleVersion + "\n"), std::string::npos);
        EXPECT_NE(report.find(std::string("Signal:     ") + c.name), std::string::npos) << report;
        const auto backtrace = report.find("\nBacktrace:\n");
        ASSERT_NE(backtrace, std::string::npos) << report;
        EXPECT_NE(report.find("[0x", backtrace), std::string::npos) << "no frames:\n" << report;
    }
}

}  // namespace
