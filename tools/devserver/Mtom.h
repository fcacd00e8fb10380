#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvanta::devserver {

// One part of a multipart body. Header names are lower-cased; the views point into the body the
// part was read from.
struct MimePart {
    std::map<std::string, std::string> headers;
    std::string_view body;

    std::optional<std::string> header(const std::string& lowerName) const;
    // The Content-ID without its angle brackets.
    std::optional<std::string> contentId() const;
};

struct MultipartBody {
    std::vector<MimePart> parts;
    std::optional<std::string> start;  // the root part's Content-ID, from the content type

    // The part the "start" parameter names, else the first part.
    const MimePart* root() const;
    // The part a "cid:" reference (with or without the scheme) names, or none.
    const MimePart* byReference(std::string_view reference) const;
};

// A parameter of a header value such as `multipart/related; boundary="b"; start="<x>"`: the
// value after "name=", unquoted, up to the next ";" (parameter names compare without case).
std::optional<std::string> headerParameter(std::string_view headerValue, std::string_view name);

// The media type of a Content-Type value, lower-cased and trimmed ("multipart/related").
std::string mediaType(std::string_view contentType);

// Splits a multipart body at `boundary`. Text before the first delimiter and after the closing
// one is ignored. Throws SoapFault when the body has no delimiter, a part lacks the blank line
// after its headers, or the closing delimiter is missing.
MultipartBody parseMultipart(std::string_view body, std::string_view boundary);

// The SOAP envelope of a request and its attachments: for a plain XML request the body itself; for
// an MTOM (multipart/related) request the root part and the other parts.
struct SoapMessage {
    std::string_view envelope;
    MultipartBody multipart;  // empty for a plain request
    bool isMultipart = false;
};

// Throws SoapFault for a multipart content type without a boundary or a damaged body.
SoapMessage readSoapMessage(std::string_view body, std::string_view contentType);

}  // namespace orvanta::devserver
