#include "support/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "support/Files.h"

namespace orvanta::test {

namespace {
std::filesystem::path outputFile(const char* kind) {
    static std::atomic<int> counter{0};
    return std::filesystem::temp_directory_path() /
           ("orvanta-child-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "." + kind);
}
}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& input)
    : stdoutFile_(outputFile("out")), stderrFile_(outputFile("err")) {
    if (argv.empty()) throw std::invalid_argument("ChildProcess needs a program");
    int in[2];
    if (::pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        // Only async-signal-safe calls from here on.
        ::dup2(in[0], 0);
        int out = ::open(stdoutFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = ::open(stderrFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out >= 0) ::dup2(out, 1);
        if (err >= 0) ::dup2(err, 2);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::setpgid(0, 0);  // not part of the test's terminal session: no terminal questions
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(in[0]);
    std::size_t done = 0;
    while (done < input.size()) {
        ssize_t n = ::write(in[1], input.data() + done, input.size() - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    ::close(in[1]);
}

ChildProcess::~ChildProcess() {
    if (running()) {
        kill(SIGKILL);
        wait(std::chrono::seconds(10));
    }
    std::error_code ec;
    std::filesystem::remove(stdoutFile_, ec);
    std::filesystem::remove(stderrFile_, ec);
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (status_) return status_;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return status_;
        }
        if (r < 0 || std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void ChildProcess::kill(int signal) {
    if (!status_) ::kill(pid_, signal);
}

bool ChildProcess::running() { return !status_ && !wait(std::chrono::milliseconds(0)); }

std::string ChildProcess::output() const { return readFile(stdoutFile_); }
std::string ChildProcess::errors() const { return readFile(stderrFile_); }

ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& input,
                         std::chrono::milliseconds timeout) {
    ChildProcess child(argv, input);
    ProcessResult result;
    auto code = child.wait(timeout);
    result.code = code.value_or(-1);
    result.out = child.output();
    result.err = child.errors();
    return result;
}

pid_t forkChild(const std::function<int()>& body) {
    pid_t pid = ::fork();
    if (pid == 0) {
        int status = 1;
        try {
            status = body();
        } catch (...) {
        }
        ::_exit(status);
    }
    return pid;
}

}  // namespace orvanta::test
