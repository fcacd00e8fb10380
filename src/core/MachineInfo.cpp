#include "core/MachineInfo.h"

#include <arpa/inet.h>
#include <climits>
#include <netdb.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include "core/Util.h"

namespace fs = std::filesystem;

namespace orvanta::core {

namespace {

constexpr unsigned long kRouteUp = 0x0001;  // RTF_UP

std::optional<std::string> readFirstLine(const fs::path& file) {
    std::ifstream in(file);
    if (!in) return std::nullopt;
    std::string line;
    if (!std::getline(in, line)) return std::nullopt;
    return line;
}

std::string trim(std::string_view text) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f' || c == '\0'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return std::string(text);
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The interface's hardware address when it is a non-zero 6-byte address, formatted in lower case.
std::optional<std::string> interfaceMac(const fs::path& sysRoot, const std::string& interface) {
    if (interface.empty() || interface.find('/') != std::string::npos || interface == "." || interface == "..")
        return std::nullopt;
    auto line = readFirstLine(sysRoot / "class" / "net" / interface / "address");
    if (!line) return std::nullopt;
    std::string text = trim(*line);
    if (text.size() != 17) return std::nullopt;
    unsigned char bytes[6];
    bool nonZero = false;
    for (int i = 0; i < 6; ++i) {
        int hi = hexDigit(text[static_cast<size_t>(i) * 3]);
        int lo = hexDigit(text[static_cast<size_t>(i) * 3 + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        if (i < 5 && text[static_cast<size_t>(i) * 3 + 2] != ':') return std::nullopt;
        bytes[i] = static_cast<unsigned char>(hi * 16 + lo);
        nonZero = nonZero || bytes[i] != 0;
    }
    if (!nonZero) return std::nullopt;
    char formatted[18];
    std::snprintf(formatted, sizeof formatted, "%02x:%02x:%02x:%02x:%02x:%02x", bytes[0], bytes[1], bytes[2], bytes[3],
                  bytes[4], bytes[5]);
    return std::string(formatted);
}

bool parseHex(const std::string& text, unsigned long& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    out = std::strtoul(text.c_str(), &end, 16);
    return end != nullptr && *end == '\0';
}

// The interface of the IPv4 default route with the lowest metric, from a /proc/net/route table.
std::optional<std::string> ipv4DefaultRouteInterface(const fs::path& procRoot) {
    std::ifstream in(procRoot / "net" / "route");
    if (!in) return std::nullopt;
    std::string line;
    std::getline(in, line);  // column titles
    std::optional<std::string> best;
    long bestMetric = LONG_MAX;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string iface, destination, gateway, flags, refCount, use, metric, mask;
        if (!(fields >> iface >> destination >> gateway >> flags >> refCount >> use >> metric >> mask)) continue;
        unsigned long dest = 0, netmask = 0, flagBits = 0;
        if (!parseHex(destination, dest) || !parseHex(mask, netmask) || !parseHex(flags, flagBits)) continue;
        if (dest != 0 || netmask != 0 || (flagBits & kRouteUp) == 0 || iface == "lo") continue;
        char* end = nullptr;
        long m = std::strtol(metric.c_str(), &end, 10);
        if (end == nullptr || *end != '\0') continue;
        if (!best || m < bestMetric) {
            best = iface;
            bestMetric = m;
        }
    }
    return best;
}

// The same from /proc/net/ipv6_route, for hosts that only route IPv6.
std::optional<std::string> ipv6DefaultRouteInterface(const fs::path& procRoot) {
    std::ifstream in(procRoot / "net" / "ipv6_route");
    if (!in) return std::nullopt;
    std::string line;
    std::optional<std::string> best;
    unsigned long bestMetric = ULONG_MAX;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string destination, prefix, source, sourcePrefix, nextHop, metric, refCount, use, flags, iface;
        if (!(fields >> destination >> prefix >> source >> sourcePrefix >> nextHop >> metric >> refCount >> use >>
              flags >> iface))
            continue;
        unsigned long prefixLength = 0, flagBits = 0, m = 0;
        if (!parseHex(prefix, prefixLength) || !parseHex(flags, flagBits) || !parseHex(metric, m)) continue;
        if (destination != std::string(32, '0') || prefixLength != 0 || (flagBits & kRouteUp) == 0 || iface == "lo")
            continue;
        if (!best || m < bestMetric) {
            best = iface;
            bestMetric = m;
        }
    }
    return best;
}

bool isLoopback(const fs::path& sysRoot, const std::string& interface) {
    if (interface == "lo") return true;
    auto type = readFirstLine(sysRoot / "class" / "net" / interface / "type");
    return type && trim(*type) == "772";  // ARPHRD_LOOPBACK
}

struct AddrInfoFree {
    void operator()(addrinfo* info) const { freeaddrinfo(info); }
};

}  // namespace

std::optional<std::string> primaryMacAddress(const fs::path& procRoot, const fs::path& sysRoot) {
    for (auto route : {ipv4DefaultRouteInterface(procRoot), ipv6DefaultRouteInterface(procRoot)})
        if (route)
            if (auto mac = interfaceMac(sysRoot, *route)) return mac;

    // No routed interface with a hardware address: take a stable choice among the others.
    std::vector<std::pair<bool, std::string>> candidates;  // (virtual, name)
    std::error_code ec;
    for (fs::directory_iterator it(sysRoot / "class" / "net", ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (isLoopback(sysRoot, name)) continue;
        std::error_code deviceError;
        bool hardware = fs::exists(it->path() / "device", deviceError);
        candidates.emplace_back(!hardware, name);
    }
    std::sort(candidates.begin(), candidates.end());
    for (const auto& [isVirtual, name] : candidates)
        if (auto mac = interfaceMac(sysRoot, name)) return mac;
    return std::nullopt;
}

std::optional<std::string> hardwareSerialNumber(const fs::path& sysRoot) {
    std::ifstream in(sysRoot / "class" / "dmi" / "id" / "product_serial");
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    std::string serial = trim(text.str());
    if (serial.empty()) return std::nullopt;
    return serial;
}

std::string currentHostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0) return "localhost";
    return name;
}

std::string currentHostAddress(const std::string& hostName) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* raw = nullptr;
    if (!hostName.empty() && getaddrinfo(hostName.c_str(), nullptr, &hints, &raw) == 0) {
        std::unique_ptr<addrinfo, AddrInfoFree> list(raw);
        for (addrinfo* info = list.get(); info != nullptr; info = info->ai_next) {
            char text[INET6_ADDRSTRLEN] = {};
            const void* address = nullptr;
            if (info->ai_family == AF_INET)
                address = &reinterpret_cast<const sockaddr_in*>(info->ai_addr)->sin_addr;
            else if (info->ai_family == AF_INET6)
                address = &reinterpret_cast<const sockaddr_in6*>(info->ai_addr)->sin6_addr;
            if (address != nullptr && inet_ntop(info->ai_family, address, text, sizeof text) != nullptr) return text;
        }
    }
    return "127.0.0.1";
}

std::string currentUserName() {
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd entry{};
    passwd* result = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result != nullptr &&
        result->pw_name != nullptr && result->pw_name[0] != '\0')
        return result->pw_name;
    if (const char* user = std::getenv("USER"); user != nullptr) return user;
    return {};
}

std::string MachineInfo::makeId(const std::optional<std::string>& serial, const std::optional<std::string>& mac) {
    return encodeBase64(sha1hash(serial.value_or("") + mac.value_or("")));
}

MachineInfo MachineInfo::make(const std::optional<std::string>& serial, const std::optional<std::string>& mac,
                              std::string name, std::string ip, std::string user,
                              std::chrono::system_clock::time_point loginDate) {
    MachineInfo info;
    info.Id = makeId(serial, mac);
    info.Name = std::move(name);
    info.IP = std::move(ip);
    info.User = std::move(user);
    info.LoginDate = loginDate;
    return info;
}

MachineInfo MachineInfo::current() {
    std::string host = currentHostName();
    std::string ip = currentHostAddress(host);
    return make(hardwareSerialNumber(), primaryMacAddress(), host, std::move(ip), currentUserName());
}

std::string MachineInfo::toXml() const {
    const std::string indent(33, ' ');
    return indent + "<Id>" + escapeXmlText(Id) + "</Id>" + indent + "<Name>" + escapeXmlText(Name) + "</Name>" + indent +
           "<IP>" + escapeXmlText(IP) + "</IP>" + indent + "<User>" + escapeXmlText(User) + "</User>";
}

std::map<std::string, std::string> MachineInfo::toDictionary() const {
    return {{"Id", Id}, {"Name", Name}, {"IP", IP}, {"User", User}};
}

}  // namespace orvanta::core
