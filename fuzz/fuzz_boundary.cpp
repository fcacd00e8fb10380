// Feeds arbitrary bytes to the boundary extraction and the multipart cut: the first line is taken as a
// response's Content-Type value, the rest as its body.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "service/MTOMHelpers.h"

using orvanta::service::MTOMHelpers;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const size_t newline = input.find('\n');
    const std::string contentType(input.substr(0, newline));
    const std::string_view body = newline == std::string_view::npos ? std::string_view() : input.substr(newline + 1);

    // The C-string entry point stops at the first NUL, as the header value would.
    auto raw = orvanta::service::extractBoundary(contentType.c_str());
    auto boundary = MTOMHelpers::MTOMBoundaryFromContentType(contentType);
    if (raw.has_value() != boundary.has_value()) abort();
    if (raw && (raw->size() > contentType.size() || raw->find(';') != std::string::npos)) abort();
    if (boundary && (boundary->size() > raw->size() || (!boundary->empty() && (boundary->front() == '"' || boundary->back() == '"'))))
        abort();

    const std::string_view cutBoundary = boundary ? std::string_view(*boundary) : std::string_view(contentType);
    if (auto xml = MTOMHelpers::MTOMXMLFromMultipartBody(body, cutBoundary)) {
        // The cut lies inside the body, right after the first blank line, and leaves room for the
        // closing delimiter.
        const size_t start = body.find("\r\n\r\n") + 4;
        if (xml->data() != body.data() + start) abort();
        if (start + xml->size() + cutBoundary.size() + 6 != body.size()) abort();
    }
    return 0;
}
