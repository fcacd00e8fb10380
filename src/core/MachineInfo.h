#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace orvanta::core {

// The machine description sent with every login.
struct MachineInfo {
    std::string Id;    // Base64 of SHA-1 of the hardware serial number followed by the primary MAC address text
    std::string Name;  // host name
    std::string IP;    // one address of the host
    std::string User;  // login name of the user
    std::chrono::system_clock::time_point LoginDate;  // when the description was made

    // This machine, now.
    static MachineInfo current();

    // A description from the given parts; Id is formed from serial and mac as makeId does.
    static MachineInfo make(const std::optional<std::string>& serial, const std::optional<std::string>& mac,
                            std::string name, std::string ip, std::string user,
                            std::chrono::system_clock::time_point loginDate = std::chrono::system_clock::now());

    // Base64(SHA-1(serial + mac)); a missing serial or MAC address contributes nothing.
    static std::string makeId(const std::optional<std::string>& serial, const std::optional<std::string>& mac);

    // 33 blanks before each of <Id>, <Name>, <IP>, <User>, with no line breaks. "&", "<" and ">" in the
    // values are written as entities so that a host or user name cannot add markup.
    std::string toXml() const;
    std::string description() const { return toXml(); }

    // The four values under "Id", "Name", "IP", "User".
    std::map<std::string, std::string> toDictionary() const;
};

// The MAC address ("%02x:%02x:%02x:%02x:%02x:%02x", lower case) of the interface that holds the default
// route (lowest metric), read from <procRoot>/net/route and <sysRoot>/class/net/<if>/address. When that
// interface has no usable address: the first interface by name, network devices with hardware before
// virtual ones, that is not the loopback and has a non-zero 6-byte address. None when there is none.
std::optional<std::string> primaryMacAddress(const std::filesystem::path& procRoot = "/proc",
                                             const std::filesystem::path& sysRoot = "/sys");

// <sysRoot>/class/dmi/id/product_serial when readable and not blank (surrounding blanks removed).
std::optional<std::string> hardwareSerialNumber(const std::filesystem::path& sysRoot = "/sys");

// The host's name (gethostname).
std::string currentHostName();
// The first address getaddrinfo gives for the host name; "127.0.0.1" when it gives none.
std::string currentHostAddress(const std::string& hostName);
// The effective user's login name, else $USER; empty when neither is known.
std::string currentUserName();

}  // namespace orvanta::core
