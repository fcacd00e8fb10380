#include "cli/Terminal.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <iostream>

namespace orvanta::cli {
namespace {

// The controlling terminal, opened for the length of one question.
class ControllingTerminal {
public:
    ControllingTerminal() : fd_(::open("/dev/tty", O_RDWR | O_CLOEXEC)) {}
    ~ControllingTerminal() {
        if (fd_ >= 0) ::close(fd_);
    }
    ControllingTerminal(const ControllingTerminal&) = delete;
    ControllingTerminal& operator=(const ControllingTerminal&) = delete;
    int fd() const { return fd_; }

    void write(const std::string& text) const {
        std::size_t done = 0;
        while (done < text.size()) {
            ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
            if (n <= 0) return;
            done += static_cast<std::size_t>(n);
        }
    }
    std::optional<std::string> readLine() const {
        std::string line;
        char c;
        for (;;) {
            ssize_t n = ::read(fd_, &c, 1);
            if (n <= 0) return line.empty() ? std::nullopt : std::optional(line);
            if (c == '\n') return line;
            line.push_back(c);
        }
    }

private:
    int fd_;
};

// Switches echo off for as long as it lives.
class EchoOff {
public:
    explicit EchoOff(int fd) : fd_(fd) {
        if (::tcgetattr(fd_, &saved_) != 0) return;
        termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        active_ = ::tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
    }
    ~EchoOff() {
        if (active_) ::tcsetattr(fd_, TCSAFLUSH, &saved_);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    int fd_;
    termios saved_{};
    bool active_ = false;
};

}  // namespace

bool isTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) == 1; }

int terminalWidth() {
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

std::optional<std::string> readLine() {
    std::string line;
    if (!std::getline(std::cin, line)) return std::nullopt;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

std::optional<std::string> readSecret(const std::string& prompt) {
    ControllingTerminal tty;
    if (tty.fd() < 0) return std::nullopt;
    tty.write(prompt);
    std::optional<std::string> answer;
    {
        EchoOff quiet(tty.fd());
        answer = tty.readLine();
    }
    tty.write("\n");
    return answer;
}

std::optional<std::string> ask(const std::string& prompt) {
    ControllingTerminal tty;
    if (tty.fd() < 0) return std::nullopt;
    tty.write(prompt);
    return tty.readLine();
}

}  // namespace orvanta::cli
