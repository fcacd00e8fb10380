#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace orvanta::test {

// A program run as a child process with the current environment: its standard input is fed from a
// text, its standard output and error go to files that can be read at any time. The destructor
// kills a child that still runs.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& argv, const std::string& input = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // Waits for the end; the exit code, or 128 + the signal that ended it. Nothing on time-out.
    std::optional<int> wait(std::chrono::milliseconds timeout = std::chrono::minutes(5));
    void kill(int signal);
    bool running();

    std::string output() const;  // standard output so far
    std::string errors() const;  // standard error so far

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::filesystem::path stdoutFile_, stderrFile_;
};

// Runs the program to its end; returns {exit code, stdout, stderr}.
struct ProcessResult {
    int code = -1;
    std::string out, err;
};
// Runs body in a forked child; returns the child's id. The child ends with body's result (1 when
// body throws) and runs nothing else of the test.
pid_t forkChild(const std::function<int()>& body);

ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& input = {},
                         std::chrono::milliseconds timeout = std::chrono::minutes(5));

}  // namespace orvanta::test
