#include "service/ServiceConstants.h"

#include "core/Util.h"

namespace orvanta::service {

namespace {
// Mixed so neither value appears as plain bytes in the binary.
constexpr std::array<uint8_t, 8> kKeyA = {0x1d, 0x7a, 0x33, 0x5e, 0x09, 0x61, 0x2c, 0x47};
constexpr std::array<uint8_t, 8> kKeyB = {0x52, 0x08, 0x45, 0x3f, 0x67, 0x15, 0x4d, 0x66};
constexpr std::array<uint8_t, 8> kIvA = {0x6b, 0x21, 0x0e, 0x73, 0x38, 0x5a, 0x14, 0x29};
constexpr std::array<uint8_t, 8> kIvB = {0x22, 0x57, 0x6b, 0x0d, 0x4d, 0x2e, 0x7b, 0x45};

std::array<uint8_t, 8> mix(const std::array<uint8_t, 8>& a, const std::array<uint8_t, 8>& b) {
    std::array<uint8_t, 8> out{};
    for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(a[i] ^ b[i]);
    return out;
}
}  // namespace

std::array<uint8_t, 8> passwordKey() { return mix(kKeyA, kKeyB); }
std::array<uint8_t, 8> passwordIV() { return mix(kIvA, kIvB); }

std::optional<std::string> encryptPassword(const std::string& password) {
    auto key = passwordKey();
    auto iv = passwordIV();
    auto cipher = core::encryptDESWithKey(core::bytesOf(password), key, iv);
    if (!cipher) return std::nullopt;
    return core::encodeBase64(std::span<const uint8_t>(*cipher));
}

std::optional<std::string> decryptPassword(const std::string& encrypted) {
    auto cipher = core::decodeBase64(encrypted);
    if (!cipher) return std::nullopt;
    auto key = passwordKey();
    auto iv = passwordIV();
    auto plain = core::decryptDESWithKey(*cipher, key, iv);
    if (!plain) return std::nullopt;
    return std::string(plain->begin(), plain->end());
}

}  // namespace orvanta::service
