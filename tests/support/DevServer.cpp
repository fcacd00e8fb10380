#include "support/DevServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace orvanta::test {

namespace {

constexpr const char* kListening = "listening on 127.0.0.1:";

class Pipe {
public:
    Pipe() {
        if (pipe2(fds_, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    ~Pipe() {
        closeRead();
        closeWrite();
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    int readEnd() const { return fds_[0]; }
    int writeEnd() const { return fds_[1]; }
    void closeRead() { closeFd(fds_[0]); }
    void closeWrite() { closeFd(fds_[1]); }

private:
    static void closeFd(int& fd) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    int fds_[2] = {-1, -1};
};

class SpawnActions {
public:
    SpawnActions() { posix_spawn_file_actions_init(&actions_); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

// The first line the child writes, waiting at most until the deadline; empty on end of file.
std::string readFirstLine(int fd, std::chrono::steady_clock::time_point deadline) {
    std::string line;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) throw std::runtime_error("orvanta-devserver did not report its port in time");
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) continue;
        char c;
        ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return line;
        if (c == '\n') return line;
        line += c;
    }
}

}  // namespace

std::string DevServer::executable() {
    if (const char* path = std::getenv("ORVANTA_DEVSERVER"); path && *path) return path;
    // The build puts every program in one folder: the server sits next to the test program.
    char self[4096];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string dir(self, static_cast<size_t>(n));
        dir.resize(dir.find_last_of('/') + 1);
        std::string sibling = dir + "orvanta-devserver";
        if (::access(sibling.c_str(), X_OK) == 0) return sibling;
    }
    return "orvanta-devserver";  // from PATH
}

DevServer::DevServer(std::vector<std::string> extraArgs) {
    std::vector<std::string> args = {executable(), "--port", "0"};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    Pipe out;
    SpawnActions actions;
    posix_spawn_file_actions_adddup2(actions.get(), out.writeEnd(), STDOUT_FILENO);
    int rc = posix_spawnp(&pid_, argv[0], actions.get(), nullptr, argv.data(), environ);
    if (rc != 0) throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(rc));
    out.closeWrite();

    std::string line;
    try {
        line = readFirstLine(out.readEnd(), std::chrono::steady_clock::now() + std::chrono::seconds(20));
    } catch (...) {
        stop();
        throw;
    }
    if (line.rfind(kListening, 0) != 0) {
        stop();
        throw std::runtime_error("orvanta-devserver did not start (first line: \"" + line + "\")");
    }
    port_ = std::stoi(line.substr(std::strlen(kListening)));
}

DevServer::~DevServer() { stop(); }

int DevServer::stop() {
    if (pid_ <= 0) return status_;
    ::kill(pid_, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        pid_t r = ::waitpid(pid_, &status_, WNOHANG);
        if (r == pid_ || (r < 0 && errno != EINTR)) break;
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status_, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
    return status_;
}

std::string DevServer::baseUrl() const { return "http://" + serverName(); }
std::string DevServer::serverName() const { return "127.0.0.1:" + std::to_string(port_); }
std::string DevServer::recorderUrl() const { return baseUrl() + "/Orvanta/services/Recorder.asmx"; }
std::string DevServer::receiverUrl() const { return baseUrl() + "/Orvanta/services/DataReceiver.svc"; }

}  // namespace orvanta::test
