#include "support/XServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

namespace orvanta::test {

namespace {

std::vector<std::string> serverArguments(XServer::Kind kind, int width, int height, int depth, int displayFd) {
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    if (kind == XServer::Kind::Xvfb)
        return {"Xvfb", "-displayfd", std::to_string(displayFd), "-screen", "0", size + "x" + std::to_string(depth),
                "-nolisten", "tcp", "-noreset"};
    return {"Xvnc", "-displayfd", std::to_string(displayFd), "-geometry", size, "-depth", std::to_string(depth),
            "-SecurityTypes", "None", "-rfbport", "-1", "-nolisten", "tcp"};
}

}  // namespace

XServer::XServer(int width, int height, int depth, Kind kind) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    const std::vector<std::string> argv = serverArguments(kind, width, height, depth, fds[1]);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    pid_ = ::fork();
    if (pid_ < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        // Only async-signal-safe calls from here on.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::close(fds[0]);
        ::fcntl(fds[1], F_SETFD, 0);  // the server writes its display number here
        int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(null, 2);
        }
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::setpgid(0, 0);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(fds[1]);

    // The server writes the display number, then a newline, once it accepts connections.
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (text.find('\n') == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fds[0], POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buffer[32];
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    if (text.find('\n') == std::string::npos) {
        stop();
        throw std::runtime_error("the X server " + argv[0] + " did not start");
    }
    number_ = std::stoi(text);
}

XServer::~XServer() { stop(); }

void XServer::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int status = 0;
    for (;;) {
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_ || r < 0) break;
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
}

}  // namespace orvanta::test
