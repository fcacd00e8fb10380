#pragma once

#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Servers on 127.0.0.1 with an ephemeral port, for the SOAP engine's tests.
namespace orvanta::test {

// An HTTP server whose POST handler the test supplies. Records every request it sees. Handlers that
// need to hang wait on holdUntilReleased(), which the destructor releases before stopping the server.
class LocalHttpServer {
public:
    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

    struct Seen {
        std::string path;
        httplib::Headers headers;
        std::string body;
        int remotePort = -1;
    };

    explicit LocalHttpServer(Handler handler) : handler_(std::move(handler)) {
        server_.Post(".*", [this](const httplib::Request& req, httplib::Response& res) {
            {
                std::lock_guard lock(mutex_);
                seen_.push_back(Seen{req.path, req.headers, req.body, req.remote_port});
            }
            cv_.notify_all();
            handler_(req, res);
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
    }

    ~LocalHttpServer() {
        release();
        server_.stop();
        thread_.join();
    }

    LocalHttpServer(const LocalHttpServer&) = delete;
    LocalHttpServer& operator=(const LocalHttpServer&) = delete;

    int port() const { return port_; }
    std::string url(const std::string& path = "/service") const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }

    std::vector<Seen> seen() const {
        std::lock_guard lock(mutex_);
        return seen_;
    }

    // Waits until at least count requests have arrived.
    bool waitForRequests(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] { return seen_.size() >= count; });
    }

    // For handlers: blocks until release() (or the time limit, so a broken test cannot hang forever).
    void holdUntilReleased(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, limit, [&] { return released_; });
    }

    void release() {
        {
            std::lock_guard lock(mutex_);
            released_ = true;
        }
        cv_.notify_all();
    }

private:
    Handler handler_;
    httplib::Server server_;
    int port_ = -1;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Seen> seen_;
    bool released_ = false;
};

// Answers one connection with fixed bytes: reads the request (headers and Content-Length body), writes
// the answer and closes. For replies no well-behaved server library would produce.
class RawOneShotServer {
public:
    explicit RawOneShotServer(std::string answer) : answer_(std::move(answer)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener_, 4);
        socklen_t length = sizeof address;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }

    ~RawOneShotServer() {
        ::shutdown(listener_, SHUT_RDWR);
        ::close(listener_);
        thread_.join();
    }

    RawOneShotServer(const RawOneShotServer&) = delete;
    RawOneShotServer& operator=(const RawOneShotServer&) = delete;

    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/service"; }

    // A loopback port nothing listens on (bound once, then released).
    static int closedPort() {
        int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
        ::close(s);
        return ntohs(address.sin_port);
    }

private:
    void serve() {
        int connection = ::accept(listener_, nullptr, nullptr);
        if (connection < 0) return;
        timeval timeout{2, 0};
        ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        std::string request;
        char buffer[4096];
        size_t need = std::string::npos;
        while (need == std::string::npos || request.size() < need) {
            ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            request.append(buffer, size_t(n));
            const size_t end = request.find("\r\n\r\n");
            if (need == std::string::npos && end != std::string::npos) {
                size_t length = 0;
                const size_t at = request.find("Content-Length: ");
                if (at != std::string::npos && at < end) length = std::stoul(request.substr(at + 16));
                need = end + 4 + length;
            }
        }
        ::send(connection, answer_.data(), answer_.size(), MSG_NOSIGNAL);
        ::shutdown(connection, SHUT_RDWR);
        ::close(connection);
    }

    std::string answer_;
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
};

}  // namespace orvanta::test
