#include "devserver/Connections.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstdlib>
#include <functional>
#include <memory>

namespace orvanta::devserver {

namespace {

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};

// The port of an IPv4 or IPv6 socket address and its printable address.
bool describe(const sockaddr_storage& ss, std::string& addr, int& port) {
    char buf[INET6_ADDRSTRLEN] = {};
    if (ss.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&ss);
        if (!inet_ntop(AF_INET, &in->sin_addr, buf, sizeof buf)) return false;
        port = ntohs(in->sin_port);
    } else if (ss.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&ss);
        if (!inet_ntop(AF_INET6, &in6->sin6_addr, buf, sizeof buf)) return false;
        port = ntohs(in6->sin6_port);
    } else {
        return false;
    }
    addr = buf;
    return true;
}

struct Ends {
    std::string localAddr, peerAddr;
    int localPort = 0, peerPort = 0;
};

// Calls `visit` with every connected socket of this process and its two ends, until it returns
// true. The HTTP library does not hand its sockets to request handlers, so they are found among
// the process's descriptors.
bool forEachConnection(const std::function<bool(int fd, const Ends&)>& visit) {
    std::unique_ptr<DIR, DirCloser> dir(opendir("/proc/self/fd"));
    if (!dir) return false;
    while (dirent* entry = readdir(dir.get())) {
        char* end = nullptr;
        long n = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0') continue;
        const int fd = static_cast<int>(n);
        struct stat st {};
        if (fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
        sockaddr_storage local{}, peer{};
        socklen_t localLen = sizeof local, peerLen = sizeof peer;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLen) != 0) continue;
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLen) != 0) continue;  // not connected
        Ends ends;
        if (!describe(local, ends.localAddr, ends.localPort) || !describe(peer, ends.peerAddr, ends.peerPort)) continue;
        if (visit(fd, ends)) return true;
    }
    return false;
}

// Ends the connection at once. Only shutdown(2) is applied: the library still owns the
// descriptor and closes it itself once its next read or write fails; no lingering then.
void cut(int fd) {
    linger lg{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    shutdown(fd, SHUT_RDWR);
}

}  // namespace

bool dropConnection(const std::string& remoteAddr, int remotePort, int localPort) {
    return forEachConnection([&](int fd, const Ends& e) {
        if (e.localPort != localPort || e.peerPort != remotePort || e.peerAddr != remoteAddr) return false;
        cut(fd);
        return true;
    });
}

void dropAllConnections(int localPort) {
    forEachConnection([&](int fd, const Ends& e) {
        if (e.localPort == localPort) cut(fd);
        return false;
    });
}

}  // namespace orvanta::devserver
