#include "core/CrashHandler.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "core/Log.h"
#include "orvanta/BuildInfo.h"

namespace orvanta::core {

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr size_t kStampLength = 17;  // YYYY-MM-DD-HHMMSS
constexpr size_t kMaxPath = 4096;

// Everything the signal handler reads, prepared by installCrashHandler. A signal handler cannot be
// handed state, so this is the one process-wide record of it.
struct CrashState {
    char pathPrefix[kMaxPath] = {};  // "<reportsDir>/<app>_"; empty: no report file
    char pathSuffix[512] = {};       // "_<host>.crash"
    char application[256] = {};
    long utcOffset = 0;
    std::atomic<long> handlingThread{0};  // the thread writing a report, 0 when none
};
CrashState gCrash;

// Own stack for the handler, so that a stack overflow can still be reported.
alignas(16) char gAlternateStack[64 * 1024];

// ---- async-signal-safe formatting

// Builds text in a fixed buffer; never allocates.
template <size_t Capacity>
class SafeText {
public:
    SafeText& add(const char* s) {
        while (*s && length_ + 1 < sizeof buffer_) buffer_[length_++] = *s++;
        buffer_[length_] = '\0';
        return *this;
    }
    SafeText& add(char c) {
        const char s[2] = {c, '\0'};
        return add(s);
    }
    SafeText& decimal(unsigned long long value, int minDigits = 1) {
        char digits[24];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0 && n < 24);
        while (n < minDigits && n < 24) digits[n++] = '0';
        while (n > 0) add(digits[--n]);
        return *this;
    }
    SafeText& hex(uintptr_t value) {
        add("0x");
        char digits[2 * sizeof(uintptr_t)];
        int n = 0;
        do {
            digits[n++] = "0123456789abcdef"[value & 0xf];
            value >>= 4;
        } while (value != 0);
        while (n > 0) add(digits[--n]);
        return *this;
    }
    const char* c_str() const { return buffer_; }
    size_t size() const { return length_; }
    bool full() const { return length_ + 1 >= sizeof buffer_; }
    void writeTo(int fd) const {
        size_t done = 0;
        while (done < length_) {
            ssize_t n = ::write(fd, buffer_ + done, length_ - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            done += static_cast<size_t>(n);
        }
    }

private:
    char buffer_[Capacity] = {};
    size_t length_ = 0;
};

struct CivilTime {
    long long year;
    unsigned month, day, hour, minute, second;
};

// Days since 1970-01-01 to a proleptic Gregorian date (H. Hinnant's civil_from_days).
CivilTime civilTime(std::time_t when, long utcOffset) {
    long long t = static_cast<long long>(when) + utcOffset;
    long long days = t / 86400;
    long long secs = t % 86400;
    if (secs < 0) {
        secs += 86400;
        days -= 1;
    }
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned mp = (5 * dayOfYear + 2) / 153;
    CivilTime c{};
    c.day = dayOfYear - (153 * mp + 2) / 5 + 1;
    c.month = mp < 10 ? mp + 3 : mp - 9;
    c.year = static_cast<long long>(yearOfEra) + era * 400 + (c.month <= 2 ? 1 : 0);
    c.hour = static_cast<unsigned>(secs / 3600);
    c.minute = static_cast<unsigned>(secs / 60 % 60);
    c.second = static_cast<unsigned>(secs % 60);
    return c;
}

template <size_t N>
void addStamp(SafeText<N>& out, std::time_t when, long utcOffset) {
    const CivilTime c = civilTime(when, utcOffset);
    out.decimal(c.year < 0 ? 0 : static_cast<unsigned long long>(c.year), 4).add('-');
    out.decimal(c.month, 2).add('-').decimal(c.day, 2).add('-');
    out.decimal(c.hour, 2).decimal(c.minute, 2).decimal(c.second, 2);
}

const char* signalName(int sig) {
    switch (sig) {
        case SIGSEGV: return "SIGSEGV";
        case SIGBUS: return "SIGBUS";
        case SIGFPE: return "SIGFPE";
        case SIGILL: return "SIGILL";
        case SIGABRT: return "SIGABRT";
        default: return "signal";
    }
}

void copyText(char* target, size_t capacity, const std::string& text) {
    const size_t n = std::min(text.size(), capacity - 1);
    std::memcpy(target, text.data(), n);
    target[n] = '\0';
}

void restoreDefaultAndRaise(int sig) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
    // Blocked while we are in the handler: delivered, with the default action, once the handler returns
    // (a real fault also simply happens again).
    raise(sig);
}

void writeReport(int fd, int sig, const siginfo_t* info, std::time_t now) {
    SafeText<1024> head;
    head.add("Process:    ").add(gCrash.application).add(" [").decimal(static_cast<unsigned long long>(getpid())).add("]\n");
    head.add("Version:    ").add(build::kBundleVersion).add('\n');
    head.add("Date/Time:  ");
    {
        const CivilTime c = civilTime(now, gCrash.utcOffset);
        head.decimal(static_cast<unsigned long long>(c.year < 0 ? 0 : c.year), 4).add('-');
        head.decimal(c.month, 2).add('-').decimal(c.day, 2).add(' ');
        head.decimal(c.hour, 2).add(':').decimal(c.minute, 2).add(':').decimal(c.second, 2).add(' ');
        const long offset = gCrash.utcOffset;
        const unsigned long magnitude = static_cast<unsigned long>(offset < 0 ? -offset : offset);
        head.add(offset < 0 ? '-' : '+').decimal(magnitude / 3600, 2).decimal(magnitude / 60 % 60, 2).add('\n');
    }
    head.add("Thread:     ").decimal(static_cast<unsigned long long>(syscall(SYS_gettid))).add('\n');
    head.add("Signal:     ").add(signalName(sig)).add(" (").decimal(static_cast<unsigned>(sig)).add(")\n");
    if (info && sig != SIGABRT)
        head.add("Address:    ").hex(reinterpret_cast<uintptr_t>(info->si_addr)).add('\n');
    head.add("\nBacktrace:\n");
    head.writeTo(fd);

    void* frames[128];
    const int count = backtrace(frames, 128);
    backtrace_symbols_fd(frames, count, fd);
}

void crashSignalHandler(int sig, siginfo_t* info, void*) {
    const int savedErrno = errno;
    const long self = static_cast<long>(syscall(SYS_gettid));
    long expected = 0;
    if (!gCrash.handlingThread.compare_exchange_strong(expected, self)) {
        if (expected != self) {
            // Another thread is writing its report and will end the process; give it time.
            for (int i = 0; i < 50; ++i) {
                struct timespec delay {0, 100'000'000};
                nanosleep(&delay, nullptr);
            }
        }
        // A fault inside the handler itself, or the other thread never finished: just die.
        restoreDefaultAndRaise(sig);
        return;
    }

    const std::time_t now = time(nullptr);
    SafeText<kMaxPath + 64> path;
    if (gCrash.pathPrefix[0] != '\0') {
        path.add(gCrash.pathPrefix);
        addStamp(path, now, gCrash.utcOffset);
        path.add(gCrash.pathSuffix);
    }
    SafeText<kMaxPath + 256> note;
    note.add(gCrash.application).add(": fatal signal ").add(signalName(sig));
    if (path.size() > 0 && !path.full()) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0) {
            writeReport(fd, sig, info, now);
            ::close(fd);
            note.add(", crash report ").add(path.c_str());
        }
    }
    note.add('\n');
    note.writeTo(STDERR_FILENO);

    errno = savedErrno;
    restoreDefaultAndRaise(sig);
}

}  // namespace

std::string crashTimestamp(std::time_t when, long utcOffsetSeconds) {
    SafeText<32> text;
    addStamp(text, when, utcOffsetSeconds);
    return text.c_str();
}

std::string crashLogFileName(const std::string& app, std::time_t when, const std::string& host) {
    std::tm local{};
    localtime_r(&when, &local);
    return app + "_" + crashTimestamp(when, local.tm_gmtoff) + "_" + host + ".crash";
}

std::string crashLogHostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
    std::string host(name);
    if (auto dot = host.find('.'); dot != std::string::npos && dot > 0) host.resize(dot);
    // A name part, never a path.
    for (char& c : host)
        if (c == '/') c = '_';
    return host;
}

void installCrashHandler(std::filesystem::path reportsDir, std::string applicationName) {
    std::error_code ec;
    std::filesystem::create_directories(reportsDir, ec);
    if (ec)
        logf("Could not create the crash report folder %s: %s", reportsDir.c_str(), ec.message().c_str());

    const std::string prefix = (reportsDir / (applicationName + "_")).string();
    std::string suffix = "_";
    suffix += crashLogHostName();
    suffix += ".crash";
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);

    // Handlers go in only after the state is complete; a crash before that is not reported.
    if (prefix.size() + kStampLength + suffix.size() < sizeof gCrash.pathPrefix &&
        suffix.size() < sizeof gCrash.pathSuffix) {
        copyText(gCrash.pathPrefix, sizeof gCrash.pathPrefix, prefix);
        copyText(gCrash.pathSuffix, sizeof gCrash.pathSuffix, suffix);
    } else {
        logf("Crash report path too long: %s", prefix.c_str());
        gCrash.pathPrefix[0] = '\0';
    }
    copyText(gCrash.application, sizeof gCrash.application, applicationName);
    gCrash.utcOffset = local.tm_gmtoff;

    // The first backtrace() loads the unwinder, which allocates; do it now rather than in the handler.
    void* warmUp[4];
    backtrace(warmUp, 4);

    stack_t current{};
    if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE)) {
        stack_t stack{};
        stack.ss_sp = gAlternateStack;
        stack.ss_size = sizeof gAlternateStack;
        sigaltstack(&stack, nullptr);
    }

    for (int sig : kFatalSignals) {
        struct sigaction action {};
        action.sa_sigaction = crashSignalHandler;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        if (sigaction(sig, &action, nullptr) != 0) logf("Could not install the handler for %s", signalName(sig));
    }
}

}  // namespace orvanta::core
