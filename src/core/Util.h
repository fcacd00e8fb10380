#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/Error.h"

struct evp_md_ctx_st;  // OpenSSL's EVP_MD_CTX

namespace orvanta::core {

// The bytes of a text, for the functions below that take bytes.
inline std::span<const uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// ---- Base64 (standard alphabet, "=" padding, no line breaks) ---------------------------------

std::string encodeBase64(std::span<const uint8_t> bytes);
std::string encodeBase64(std::string_view bytes);

// Decodes standard Base64 text written on one line. An empty text gives no bytes. Missing "=" padding
// is accepted. Any other character (blanks and line breaks included), "=" anywhere but at the end, or a
// length no Base64 text can have gives none: a damaged text is refused rather than half decoded.
std::optional<std::vector<uint8_t>> decodeBase64(std::string_view text);

// ---- Digests (raw bytes) -----------------------------------------------------------------------

using Md5Digest = std::array<uint8_t, 16>;
using Sha1Digest = std::array<uint8_t, 20>;

Md5Digest md5Digest(std::span<const uint8_t> bytes);
Md5Digest md5Digest(std::string_view bytes);
Sha1Digest sha1hash(std::span<const uint8_t> bytes);
Sha1Digest sha1hash(std::string_view bytes);

// MD5 over data that arrives in pieces (a file read in chunks). final() returns the digest of
// everything given since construction or the last final(), and starts over.
class Md5 {
public:
    Md5();
    ~Md5();
    Md5(Md5&&) noexcept;
    Md5& operator=(Md5&&) noexcept;

    void update(std::span<const uint8_t> bytes);
    void update(std::string_view bytes) { update(bytesOf(bytes)); }
    Md5Digest final();

private:
    struct Deleter {
        void operator()(evp_md_ctx_st* ctx) const;
    };
    std::unique_ptr<evp_md_ctx_st, Deleter> ctx_;
};

// ---- DES-CBC with PKCS#5 padding (the login password cipher) ----------------------------------

// Key and IV must be 8 bytes each. The result is the whole cipher text (a multiple of 8 bytes, always
// at least one block longer than a multiple-of-8 input), or none on failure (logged).
std::optional<std::vector<uint8_t>> encryptDESWithKey(std::span<const uint8_t> plain, std::span<const uint8_t> key,
                                                      std::span<const uint8_t> iv);
// The reverse; none when the key, IV or padding do not fit (logged).
std::optional<std::vector<uint8_t>> decryptDESWithKey(std::span<const uint8_t> cipher, std::span<const uint8_t> key,
                                                      std::span<const uint8_t> iv);

// ---- Texts -----------------------------------------------------------------------------------

// Text made safe as XML element content or attribute value: & < > ' " become entities, in that
// order of precedence (an existing entity is escaped again).
std::string escapeXmlText(std::string_view text);

// "k1=v1&k2=v2" → {k1: v1, k2: v2}: items split on "&", each on its first "=". No percent-decoding; a
// later key replaces an earlier one; an item without "=" is a key with an empty value; empty items are
// skipped.
std::map<std::string, std::string> queryParameters(std::string_view query);

// Percent-encodes (upper-case hex) every UTF-8 byte except letters, digits and - . _ ~ ! * ' ( ), so
// the result can stand as one query value: ";/?:@&=+$," as well as "%", "#", blanks and every
// non-ASCII byte are encoded.
std::string urlEncode(std::string_view text);

// A new random (version 4) UUID, 36 characters, upper-case hex.
std::string stringWithUUID();

// The date in GMT as "%Y-%m-%dT%H:%M:%S" (fractions of a second are dropped).
std::string descriptionCompat(std::chrono::system_clock::time_point date);

bool isNullOrEmpty(const std::optional<std::string>& text);

// "HH:MM:SS" of a number of seconds (hours not limited to two digits). Negative or NaN counts as 0.
std::string durationFromTimeInterval(double seconds);

// ---- Errors ------------------------------------------------------------------------------------

// None without an error; "You appear to be offline" for code -1009; else the localized description.
std::optional<std::string> messageFromError(const Error* error);

// Throws OrvantaSoapException carrying the error; does nothing without one.
void throwWithSoapError(const Error* error);

// ---- Processes -------------------------------------------------------------------------------

// Runs "/usr/bin/zip" with the archive path followed by `args`, in the folder `inDir`, with its standard
// output sent to /dev/null, and waits for it. True when it ran and exited with status 0.
bool createZipArchive(const std::filesystem::path& archive, const std::filesystem::path& inDir,
                      const std::vector<std::string>& args);

}  // namespace orvanta::core
