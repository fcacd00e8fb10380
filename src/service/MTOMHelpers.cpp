#include "service/MTOMHelpers.h"

#include <regex.h>
#include <string.h>

#include <algorithm>
#include <array>
#include <memory>
#include <random>


namespace orvanta::service {

namespace {

// A compiled POSIX expression, freed with it.
class Regex {
public:
    Regex(const char* pattern, int flags) { ok_ = regcomp(&regex_, pattern, flags) == 0; }
    ~Regex() {
        if (ok_) regfree(&regex_);
    }
    Regex(const Regex&) = delete;
    Regex& operator=(const Regex&) = delete;

    bool ok() const { return ok_; }
    const regex_t* get() const { return &regex_; }

private:
    regex_t regex_{};
    bool ok_ = false;
};

bool contains(std::string_view haystack, std::string_view needle) {
    // memmem must not see the null data of an empty view.
    if (needle.empty()) return true;
    if (needle.size() > haystack.size()) return false;
    return ::memmem(haystack.data(), haystack.size(), needle.data(), needle.size()) != nullptr;
}

bool containsBytes(std::span<const uint8_t> haystack, std::string_view needle) {
    return contains(std::string_view(reinterpret_cast<const char*>(haystack.data()), haystack.size()), needle);
}

}  // namespace

std::optional<std::vector<SoapValue>> MTOMHelpers::MTOMParametersWithIDForBuffer(const std::string& bufferId,
                                                                               const std::vector<SoapValue>& original,
                                                                               const SoapBinary** buffer,
                                                                               int* bufferIndex) {
    if (original.empty()) return std::nullopt;
    std::optional<size_t> index;
    for (size_t i = 0; i < original.size(); ++i)
        if (original[i].isBinary()) index = i;
    if (!index) return std::nullopt;

    if (buffer) *buffer = &std::get<SoapBinary>(original[*index].value);
    if (bufferIndex) *bufferIndex = static_cast<int>(*index);

    std::vector<SoapValue> out;
    out.reserve(original.size());
    for (size_t i = 0; i < original.size(); ++i) {
        if (i == *index)
            out.emplace_back("<xop:Include xmlns:xop=\"" + std::string(kXOPIncludeNamespace) + "\" href=\"cid:" +
                             bufferId + "\"/>");
        else
            out.push_back(original[i]);
    }
    return out;
}

std::string MTOMHelpers::randomBoundary() {
    static constexpr char kHex[] = "0123456789abcdef";
    std::random_device device;
    std::string out(24, '-');
    for (int i = 0; i < 2; ++i) {
        uint32_t bits = device();
        for (int j = 0; j < 8; ++j, bits >>= 4) out += kHex[bits & 0xf];
    }
    return out;
}

std::string MTOMHelpers::MTOMBodyFromEnvelope(std::string_view envelope, std::span<const uint8_t> buffer,
                                              const std::string& startID, const std::string& bufferId,
                                              std::string* boundary) {
    // A boundary may not occur inside the parts it separates; with 64 random bits a clash is
    // practically impossible, but it costs only a scan to make sure.
    std::string chosen = randomBoundary();
    for (int attempt = 0; attempt < 16 && (contains(envelope, chosen) || containsBytes(buffer, chosen)); ++attempt)
        chosen = randomBoundary();
    std::string body = MTOMBodyWithBoundary(envelope, buffer, startID, bufferId, chosen);
    if (boundary) *boundary = std::move(chosen);
    return body;
}

std::string MTOMHelpers::MTOMBodyWithBoundary(std::string_view envelope, std::span<const uint8_t> buffer,
                                              const std::string& startID, const std::string& bufferId,
                                              const std::string& boundary) {
    const std::string rootHead = "--" + boundary + "\r\n" +
                                 "Content-Disposition: form-data; name=\"foo\"\r\n"
                                 "Content-Type: application/xop+xml; charset=UTF-8; type=\"text/xml\"\r\n"
                                 "Content-ID: <" +
                                 startID + ">\r\n\r\n";
    const std::string binaryHead = "\r\n--" + boundary + "\r\n" +
                                   "Content-Disposition: form-data; name=\"project\"; filename=\"buffer\"\r\n"
                                   "Content-Type: application/octet-stream\r\n"
                                   "Content-Transfer-Encoding: binary\r\n"
                                   "Content-ID: <" +
                                   bufferId + ">\r\n\r\n";
    const std::string tail = "\r\n--" + boundary + "--\r\n";

    std::string body;
    body.reserve(rootHead.size() + envelope.size() + binaryHead.size() + buffer.size() + tail.size());
    body += rootHead;
    body += envelope;
    body += binaryHead;
    body.append(reinterpret_cast<const char*>(buffer.data()), buffer.size());
    body += tail;
    return body;
}

std::string MTOMHelpers::MTOMContentTypeWithBoundary(const std::string& boundary, const std::string& startID) {
    return "multipart/related;type=\"application/xop+xml\";boundary=\"" + boundary + "\";start=\"" + startID +
           "\";start-info=\"text/xml\"";
}

std::optional<std::string> extractBoundary(const char* text) {
    if (!text) return std::nullopt;
    Regex regex("boundary=([^;]*);?", REG_EXTENDED);
    if (!regex.ok()) return std::nullopt;
    std::array<regmatch_t, 2> match{};
    if (regexec(regex.get(), text, match.size(), match.data(), 0) != 0) return std::nullopt;
    if (match[1].rm_so < 0 || match[1].rm_eo < match[1].rm_so) return std::nullopt;
    return std::string(text + match[1].rm_so, size_t(match[1].rm_eo - match[1].rm_so));
}

std::optional<std::string> MTOMHelpers::MTOMBoundaryFromContentType(const std::optional<std::string>& contentType) {
    if (!contentType) return std::nullopt;
    auto boundary = extractBoundary(contentType->c_str());
    if (!boundary) return std::nullopt;
    const size_t begin = boundary->find_first_not_of('"');
    if (begin == std::string::npos) return std::string();
    const size_t end = boundary->find_last_not_of('"');
    return boundary->substr(begin, end - begin + 1);
}

std::optional<std::string_view> MTOMHelpers::MTOMXMLFromMultipartBody(std::string_view body,
                                                                      std::string_view boundary) {
    const size_t blank = body.find("\r\n\r\n");
    if (blank == std::string_view::npos) return std::nullopt;
    const size_t start = blank + 4;
    // body.size() - start - boundary.size() - 6, without ever going below zero.
    const size_t rest = body.size() - start;
    if (boundary.size() > rest || rest - boundary.size() < 6) return std::nullopt;
    return body.substr(start, rest - boundary.size() - 6);
}

}  // namespace orvanta::service
