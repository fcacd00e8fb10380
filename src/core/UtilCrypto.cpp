// Base64, digests and the DES cipher, all through OpenSSL's libcrypto.

#include <openssl/bio.h>
#include <openssl/buffer.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <climits>
#include <mutex>
#include <new>

#include "core/Log.h"
#include "core/Util.h"

namespace orvanta::core {

namespace {

struct BioFreeAll {
    void operator()(BIO* bio) const { BIO_free_all(bio); }
};
using BioPtr = std::unique_ptr<BIO, BioFreeAll>;

struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

struct CipherFree {
    void operator()(EVP_CIPHER* cipher) const { EVP_CIPHER_free(cipher); }
};
using CipherPtr = std::unique_ptr<EVP_CIPHER, CipherFree>;

struct ProviderUnload {
    void operator()(OSSL_PROVIDER* provider) const { OSSL_PROVIDER_unload(provider); }
};
using ProviderPtr = std::unique_ptr<OSSL_PROVIDER, ProviderUnload>;

// A Base64 filter without line breaks on top of `sink`; owns the chain.
BioPtr base64Over(BIO* sink) {
    BioPtr owned(sink);
    if (!owned) return nullptr;
    BioPtr filter(BIO_new(BIO_f_base64()));
    if (!filter) return nullptr;
    BIO_set_flags(filter.get(), BIO_FLAGS_BASE64_NO_NL);
    BIO_push(filter.get(), owned.release());
    return filter;
}

bool isBase64Letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

}  // namespace

// ---- Base64 ------------------------------------------------------------------------------------

std::string encodeBase64(std::span<const uint8_t> bytes) {
    if (bytes.empty()) return {};
    BioPtr chain = base64Over(BIO_new(BIO_s_mem()));
    if (!chain) {
        logf("%s: cannot create the Base64 filter", ORV_FUNC);
        return {};
    }
    size_t done = 0;
    while (done < bytes.size()) {
        int piece = static_cast<int>(std::min<size_t>(bytes.size() - done, INT_MAX / 2));
        int written = BIO_write(chain.get(), bytes.data() + done, piece);
        if (written <= 0) {
            logf("%s: writing to the Base64 filter failed", ORV_FUNC);
            return {};
        }
        done += static_cast<size_t>(written);
    }
    if (BIO_flush(chain.get()) != 1) logf("Failed to flush the BIO object in %s", ORV_FUNC);

    BUF_MEM* memory = nullptr;
    BIO_get_mem_ptr(BIO_next(chain.get()), &memory);
    if (memory == nullptr) return {};
    return std::string(memory->data, memory->length);
}

std::string encodeBase64(std::string_view bytes) { return encodeBase64(bytesOf(bytes)); }

std::optional<std::vector<uint8_t>> decodeBase64(std::string_view text) {
    if (text.empty()) return std::vector<uint8_t>{};

    // Check the text first: the filter itself skips or stops at characters it does not know, which
    // would hand back part of the data as if it were all of it.
    size_t letters = 0;
    while (letters < text.size() && isBase64Letter(text[letters])) ++letters;
    size_t padding = text.size() - letters;
    if (padding > 2 || text.find_first_not_of('=', letters) != std::string_view::npos) return std::nullopt;
    if (letters % 4 == 1) return std::nullopt;
    if (padding != 0 && text.size() % 4 != 0) return std::nullopt;

    std::string padded(text.substr(0, letters));
    while (padded.size() % 4 != 0) padded.push_back('=');
    const size_t expected = letters / 4 * 3 + (letters % 4 == 0 ? 0 : letters % 4 - 1);
    if (padded.size() > static_cast<size_t>(INT_MAX)) return std::nullopt;

    BioPtr chain = base64Over(BIO_new_mem_buf(padded.data(), static_cast<int>(padded.size())));
    if (!chain) {
        logf("%s: cannot create the Base64 filter", ORV_FUNC);
        return std::nullopt;
    }
    std::vector<uint8_t> out(padded.size() * 3 / 4);
    size_t got = 0;
    while (got < out.size()) {
        int n = BIO_read(chain.get(), out.data() + got, static_cast<int>(out.size() - got));
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    if (BIO_flush(chain.get()) != 1) logf("Failed to flush the BIO object in %s", ORV_FUNC);
    if (got != expected) {
        logf("%s: the Base64 filter gave %zu bytes where %zu were expected", ORV_FUNC, got, expected);
        return std::nullopt;
    }
    out.resize(got);
    return out;
}

// ---- Digests ----------------------------------------------------------------------------------

namespace {

template <size_t N>
std::array<uint8_t, N> digest(const EVP_MD* md, std::span<const uint8_t> bytes, const char* name) {
    std::array<uint8_t, N> out{};
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), out.data(), &length, md, nullptr) != 1 || length != N) {
        logf("%s digest failed", name);
        throw InternalInconsistency(std::string(name) + " digest failed");
    }
    return out;
}

}  // namespace

Md5Digest md5Digest(std::span<const uint8_t> bytes) { return digest<16>(EVP_md5(), bytes, "MD5"); }
Md5Digest md5Digest(std::string_view bytes) { return md5Digest(bytesOf(bytes)); }
Sha1Digest sha1hash(std::span<const uint8_t> bytes) { return digest<20>(EVP_sha1(), bytes, "SHA-1"); }
Sha1Digest sha1hash(std::string_view bytes) { return sha1hash(bytesOf(bytes)); }

void Md5::Deleter::operator()(evp_md_ctx_st* ctx) const { EVP_MD_CTX_free(ctx); }

Md5::Md5() : ctx_(EVP_MD_CTX_new()) {
    if (!ctx_ || EVP_DigestInit_ex(ctx_.get(), EVP_md5(), nullptr) != 1)
        throw InternalInconsistency("MD5 digest cannot be started");
}

Md5::~Md5() = default;
Md5::Md5(Md5&&) noexcept = default;
Md5& Md5::operator=(Md5&&) noexcept = default;

void Md5::update(std::span<const uint8_t> bytes) {
    if (!ctx_) throw InternalInconsistency("MD5 digest used after being moved from");
    if (bytes.empty()) return;
    if (EVP_DigestUpdate(ctx_.get(), bytes.data(), bytes.size()) != 1)
        throw InternalInconsistency("MD5 digest update failed");
}

Md5Digest Md5::final() {
    if (!ctx_) throw InternalInconsistency("MD5 digest used after being moved from");
    Md5Digest out{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx_.get(), out.data(), &length) != 1 || length != out.size() ||
        EVP_DigestInit_ex(ctx_.get(), EVP_md5(), nullptr) != 1)
        throw InternalInconsistency("MD5 digest final failed");
    return out;
}

// ---- DES --------------------------------------------------------------------------------------

namespace {

// OpenSSL 3 keeps single DES in its "legacy" provider; loading a provider by name stops the implicit
// loading of "default", so both are loaded, once for the process.
struct LegacyProviders {
    LegacyProviders()
        : legacy(OSSL_PROVIDER_load(nullptr, "legacy")), standard(OSSL_PROVIDER_load(nullptr, "default")) {
        if (!legacy) logf("Cannot load the OpenSSL legacy provider");
    }
    ProviderPtr legacy;
    ProviderPtr standard;
};

void loadLegacyProviders() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Initialising the library first registers its exit-time clean-up before the providers'
        // destructor, so the providers are unloaded while the library is still intact.
        OPENSSL_init_crypto(0, nullptr);
        static LegacyProviders providers;
    });
}

CipherPtr fetchDes() {
    loadLegacyProviders();
    return CipherPtr(EVP_CIPHER_fetch(nullptr, "DES-CBC", nullptr));
}

enum class Direction { Encrypt, Decrypt };

std::optional<std::vector<uint8_t>> runDes(Direction direction, std::span<const uint8_t> input,
                                           std::span<const uint8_t> key, std::span<const uint8_t> iv) {
    const bool encrypt = direction == Direction::Encrypt;
    CipherPtr cipher = fetchDes();
    if (!cipher) {
        logf("cannot get cipher with name des");
        return std::nullopt;
    }
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    const auto keyLength = static_cast<size_t>(EVP_CIPHER_get_key_length(cipher.get()));
    const auto ivLength = static_cast<size_t>(EVP_CIPHER_get_iv_length(cipher.get()));
    // A key or IV of another length would make OpenSSL read past the caller's bytes.
    bool initialised = ctx && key.size() == keyLength && iv.size() == ivLength &&
                       (encrypt ? EVP_EncryptInit_ex(ctx.get(), cipher.get(), nullptr, key.data(), iv.data())
                                : EVP_DecryptInit_ex(ctx.get(), cipher.get(), nullptr, key.data(), iv.data())) == 1;
    if (!initialised) {
        logf(encrypt ? "EVP_EncryptInit() failed!" : "EVP_DecryptInit() failed!");
        return std::nullopt;
    }

    const auto block = static_cast<size_t>(EVP_CIPHER_get_block_size(cipher.get()));
    std::vector<uint8_t> out;
    try {
        out.resize(input.size() + block);
    } catch (const std::bad_alloc&) {
        throw InternalInconsistency("Cannot allocate memory for buffer!");
    }

    size_t produced = 0;
    size_t consumed = 0;
    // One update normally; inputs beyond the range of int go in pieces.
    constexpr size_t kPiece = size_t{1} << 30;
    do {
        int piece = static_cast<int>(std::min(input.size() - consumed, kPiece));
        int length = 0;
        int ok = encrypt ? EVP_EncryptUpdate(ctx.get(), out.data() + produced, &length, input.data() + consumed, piece)
                         : EVP_DecryptUpdate(ctx.get(), out.data() + produced, &length, input.data() + consumed, piece);
        if (ok != 1) {
            logf(encrypt ? "EVP_EncryptUpdate() failed!" : "EVP_DecryptUpdate() failed!");
            return std::nullopt;
        }
        consumed += static_cast<size_t>(piece);
        produced += static_cast<size_t>(length);
    } while (consumed < input.size());

    int length = 0;
    int ok = encrypt ? EVP_EncryptFinal_ex(ctx.get(), out.data() + produced, &length)
                     : EVP_DecryptFinal_ex(ctx.get(), out.data() + produced, &length);
    if (ok != 1) {
        logf(encrypt ? "EVP_EncryptFinal() failed!" : "EVP_DecryptFinal() failed!");
        return std::nullopt;
    }
    produced += static_cast<size_t>(length);
    out.resize(produced);
    return out;
}

}  // namespace

std::optional<std::vector<uint8_t>> encryptDESWithKey(std::span<const uint8_t> plain, std::span<const uint8_t> key,
                                                      std::span<const uint8_t> iv) {
    return runDes(Direction::Encrypt, plain, key, iv);
}

std::optional<std::vector<uint8_t>> decryptDESWithKey(std::span<const uint8_t> cipher, std::span<const uint8_t> key,
                                                      std::span<const uint8_t> iv) {
    return runDes(Direction::Decrypt, cipher, key, iv);
}

}  // namespace orvanta::core
