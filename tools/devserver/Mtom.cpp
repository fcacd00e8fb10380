#include "devserver/Mtom.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "devserver/SoapWriter.h"

namespace orvanta::devserver {

namespace {

std::string lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

std::string stripAngles(std::string_view s) {
    s = trim(s);
    if (s.size() >= 2 && s.front() == '<' && s.back() == '>') s = s.substr(1, s.size() - 2);
    return std::string(s);
}

// The first occurrence of needle at or after pos, like std::string_view::find, with the library's
// substring search: a part of a megabyte is crossed much faster than by testing every "\r".
size_t findFrom(std::string_view haystack, std::string_view needle, size_t pos) {
    if (pos > haystack.size() || needle.empty() || needle.size() > haystack.size() - pos) return std::string_view::npos;
    const void* hit = ::memmem(haystack.data() + pos, haystack.size() - pos, needle.data(), needle.size());
    return hit ? static_cast<size_t>(static_cast<const char*>(hit) - haystack.data()) : std::string_view::npos;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string percentDecoded(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size()) {
            int hi = hexValue(s[i + 1]);
            int lo = hexValue(s[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out += static_cast<char>(hi * 16 + lo);
                i += 2;
                continue;
            }
        }
        out += s[i];
    }
    return out;
}

// Headers of one part: "Name: value" lines separated by CRLF; folded lines join the previous one.
std::map<std::string, std::string> parseHeaders(std::string_view block) {
    std::map<std::string, std::string> headers;
    std::string lastName;
    while (!block.empty()) {
        size_t end = block.find("\r\n");
        std::string_view line = block.substr(0, end);
        block = end == std::string_view::npos ? std::string_view() : block.substr(end + 2);
        if (line.empty()) continue;
        if ((line.front() == ' ' || line.front() == '\t') && !lastName.empty()) {
            headers[lastName] += ' ';
            headers[lastName] += trim(line);
            continue;
        }
        size_t colon = line.find(':');
        if (colon == std::string_view::npos) throw SoapFault("MIME part header without a colon");
        lastName = lower(trim(line.substr(0, colon)));
        headers[lastName] = std::string(trim(line.substr(colon + 1)));
    }
    return headers;
}

}  // namespace

std::optional<std::string> MimePart::header(const std::string& lowerName) const {
    auto it = headers.find(lowerName);
    if (it == headers.end()) return std::nullopt;
    return it->second;
}

std::optional<std::string> MimePart::contentId() const {
    auto id = header("content-id");
    if (!id) return std::nullopt;
    return stripAngles(*id);
}

const MimePart* MultipartBody::root() const {
    if (parts.empty()) return nullptr;
    if (start) {
        for (const auto& p : parts)
            if (p.contentId() == *start) return &p;
    }
    return &parts.front();
}

const MimePart* MultipartBody::byReference(std::string_view reference) const {
    std::string_view id = reference;
    if (id.size() >= 4 && lower(id.substr(0, 4)) == "cid:") id.remove_prefix(4);
    const std::string decoded = percentDecoded(id);
    for (const auto& p : parts) {
        auto cid = p.contentId();
        if (cid && (*cid == id || *cid == decoded)) return &p;
    }
    return nullptr;
}

std::optional<std::string> headerParameter(std::string_view headerValue, std::string_view name) {
    // Parameters follow the media type, each after a ";". Quoted values may hold ";".
    size_t pos = headerValue.find(';');
    while (pos != std::string_view::npos) {
        ++pos;
        while (pos < headerValue.size() && (headerValue[pos] == ' ' || headerValue[pos] == '\t')) ++pos;
        size_t eq = headerValue.find('=', pos);
        if (eq == std::string_view::npos) return std::nullopt;
        const std::string key = lower(trim(headerValue.substr(pos, eq - pos)));
        size_t v = eq + 1;
        while (v < headerValue.size() && (headerValue[v] == ' ' || headerValue[v] == '\t')) ++v;
        std::string value;
        size_t next;
        if (v < headerValue.size() && headerValue[v] == '"') {
            size_t close = v + 1;
            while (close < headerValue.size() && headerValue[close] != '"') {
                if (headerValue[close] == '\\' && close + 1 < headerValue.size()) ++close;
                value += headerValue[close];
                ++close;
            }
            next = headerValue.find(';', close);
        } else {
            next = headerValue.find(';', v);
            value = std::string(trim(headerValue.substr(v, next == std::string_view::npos ? next : next - v)));
        }
        if (key == lower(name)) return value;
        pos = next;
    }
    return std::nullopt;
}

std::string mediaType(std::string_view contentType) {
    return lower(trim(contentType.substr(0, contentType.find(';'))));
}

MultipartBody parseMultipart(std::string_view body, std::string_view boundary) {
    if (boundary.empty()) throw SoapFault("multipart request without a boundary");
    const std::string delimiter = "--" + std::string(boundary);
    const std::string innerDelimiter = "\r\n" + delimiter;

    // The first delimiter opens the body or follows a line break of the preamble.
    size_t pos;
    if (body.starts_with(delimiter)) {
        pos = 0;
    } else {
        pos = findFrom(body, innerDelimiter, 0);
        if (pos == std::string_view::npos) throw SoapFault("multipart body without its boundary");
        pos += 2;
    }

    MultipartBody result;
    for (;;) {
        pos += delimiter.size();
        if (body.substr(pos, 2) == "--") return result;  // closing delimiter
        while (pos < body.size() && (body[pos] == ' ' || body[pos] == '\t')) ++pos;
        if (body.substr(pos, 2) != "\r\n") throw SoapFault("multipart delimiter not followed by a line break");
        pos += 2;

        size_t headersEnd;
        std::string_view headerBlock;
        if (body.substr(pos, 2) == "\r\n") {  // a part without headers
            headersEnd = pos + 2;
        } else {
            size_t blank = body.find("\r\n\r\n", pos);
            if (blank == std::string_view::npos) throw SoapFault("MIME part without the blank line after its headers");
            headerBlock = body.substr(pos, blank - pos);
            headersEnd = blank + 4;
        }
        size_t next = findFrom(body, innerDelimiter, headersEnd);
        if (next == std::string_view::npos) throw SoapFault("multipart body without its closing boundary");

        MimePart part;
        part.headers = parseHeaders(headerBlock);
        part.body = body.substr(headersEnd, next - headersEnd);
        result.parts.push_back(std::move(part));
        pos = next + 2;
    }
}

SoapMessage readSoapMessage(std::string_view body, std::string_view contentType) {
    SoapMessage message;
    if (!mediaType(contentType).starts_with("multipart/")) {
        message.envelope = body;
        return message;
    }
    auto boundary = headerParameter(contentType, "boundary");
    if (!boundary || boundary->empty()) throw SoapFault("multipart request without a boundary parameter");
    message.isMultipart = true;
    message.multipart = parseMultipart(body, *boundary);
    if (auto start = headerParameter(contentType, "start")) message.multipart.start = stripAngles(*start);
    const MimePart* root = message.multipart.root();
    if (!root) throw SoapFault("multipart request without parts");
    message.envelope = root->body;
    return message;
}

}  // namespace orvanta::devserver
