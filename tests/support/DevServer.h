#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace orvanta::test {

// Runs the reference server (orvanta-devserver) as a child process on a free loopback port for as
// long as the object lives. The constructor returns once the server has said it is listening and
// throws std::runtime_error when it does not start; the destructor stops it with SIGTERM and waits.
class DevServer {
public:
    explicit DevServer(std::vector<std::string> extraArgs = {});
    ~DevServer();
    DevServer(const DevServer&) = delete;
    DevServer& operator=(const DevServer&) = delete;

    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    std::string baseUrl() const;      // "http://127.0.0.1:<port>"
    std::string serverName() const;   // "127.0.0.1:<port>", the form the "Server" setting takes
    std::string recorderUrl() const;  // the recorder service endpoint
    std::string receiverUrl() const;  // the upload receiver endpoint

    // Sends SIGTERM and waits (SIGKILL after 10 s). Returns the wait status; later calls return it
    // again.
    int stop();

    // The server program this object starts: $ORVANTA_DEVSERVER when set, else the
    // orvanta-devserver next to the running program, else the one on PATH.
    static std::string executable();

private:
    pid_t pid_ = -1;
    int port_ = 0;
    int status_ = 0;
};

}  // namespace orvanta::test
