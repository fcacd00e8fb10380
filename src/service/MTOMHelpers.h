#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "service/SoapValue.h"

// MTOM (SOAP with an XOP attachment) packaging of a call that carries bytes, and the boundary of a
// multipart response.
namespace orvanta::service {

inline constexpr const char* kXOPIncludeNamespace = "http://www.w3.org/2004/08/xop/include";

class MTOMHelpers {
public:
    // The value list with the bytes taken out, or nothing when the call needs no MTOM (no values, or
    // none of them bytes). The last value holding bytes becomes the attachment: *buffer points at it (no
    // copy; it stays owned by `original`), *bufferIndex is its position, and the returned list holds
    // "<xop:Include xmlns:xop=\"...\" href=\"cid:<bufferId>\"/>" in its place. Either out argument may be
    // null.
    static std::optional<std::vector<SoapValue>> MTOMParametersWithIDForBuffer(const std::string& bufferId,
                                                                             const std::vector<SoapValue>& original,
                                                                             const SoapBinary** buffer,
                                                                             int* bufferIndex);

    // The multipart/related body: the envelope as the root part (Content-ID startID), the bytes as the
    // second part (Content-ID bufferId), delimited by a boundary chosen here and handed back through
    // *boundary. The body is allocated once at its exact size and the bytes are copied into it once.
    static std::string MTOMBodyFromEnvelope(std::string_view envelope, std::span<const uint8_t> buffer,
                                            const std::string& startID, const std::string& bufferId,
                                            std::string* boundary);

    // The same with a given boundary (which must occur in neither the envelope nor the bytes).
    static std::string MTOMBodyWithBoundary(std::string_view envelope, std::span<const uint8_t> buffer,
                                            const std::string& startID, const std::string& bufferId,
                                            const std::string& boundary);

    // The request's "Content-Type" value for an MTOM body.
    static std::string MTOMContentTypeWithBoundary(const std::string& boundary, const std::string& startID);

    // The boundary named by a response's "Content-Type" value, without surrounding double quotes;
    // nothing for nothing or a value without "boundary=".
    static std::optional<std::string> MTOMBoundaryFromContentType(const std::optional<std::string>& contentType);

    // The XML of a multipart response: from just after the first blank line ("\r\n\r\n") up to the
    // closing delimiter, i.e. body length - start - boundary length - 6 bytes. Nothing when the body has
    // no blank line or is too short for that range.
    static std::optional<std::string_view> MTOMXMLFromMultipartBody(std::string_view body, std::string_view boundary);

    // A fresh random boundary in the form multipart serializers use: 24 dashes and 16 hex digits.
    static std::string randomBoundary();
};

// The first group of the POSIX extended expression "boundary=([^;]*);?" in text: everything after
// "boundary=" up to the next ";" or the end. Nothing when it does not match.
std::optional<std::string> extractBoundary(const char* text);

}  // namespace orvanta::service
