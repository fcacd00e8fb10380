#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

// What the recorder and the server agree on. The reference server includes this header too.
namespace orvanta::service {

// The namespace of every service operation, without a trailing slash.
inline constexpr const char* kServiceNamespace = "http://services.orvanta.com/recorder/2011";
// The same with its trailing slash: the form the upload calls pass and the MTOM part IDs start from.
inline constexpr const char* kServiceNamespaceWithSlash = "http://services.orvanta.com/recorder/2011/";
// The upload receiver's namespace extension.
inline constexpr const char* kUploadExtension = "IWCFReceiver";
// The recorder service's path on a server ("http://<Server><path>").
inline constexpr const char* kRecorderServicePath = "/Orvanta/services/Recorder.asmx";

// The 8-byte DES key and IV that protect the password on the wire. They are put together at run
// time rather than stored as one literal.
std::array<uint8_t, 8> passwordKey();
std::array<uint8_t, 8> passwordIV();

// The password as a login sends it: DES-CBC with the key and IV above, then Base64.
std::optional<std::string> encryptPassword(const std::string& password);
// The reverse, for the server side; none when the text is not a valid encrypted password.
std::optional<std::string> decryptPassword(const std::string& encrypted);

}  // namespace orvanta::service
