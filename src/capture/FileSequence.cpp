#include "capture/FileSequence.h"

#include <cctype>
#include <climits>
#include <string_view>

#include "core/Log.h"

namespace orvanta::capture {

namespace {

constexpr std::string_view kFileScheme = "file://";

// Length of a URL scheme followed by "://" at the start of text, or 0 when text is not a URL.
size_t schemeLength(std::string_view text) {
    size_t i = 0;
    if (text.empty() || !std::isalpha(static_cast<unsigned char>(text[0]))) return 0;
    while (i < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (std::isalnum(c) || c == '+' || c == '-' || c == '.') {
            ++i;
            continue;
        }
        break;
    }
    return text.substr(i).starts_with("://") ? i : 0;
}

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
    return true;
}

// Reads an optionally signed decimal integer at text[pos]; returns the number of characters used (0
// when there is no integer). Values beyond int's range stop at its limits.
size_t scanInt(std::string_view text, size_t pos, int& value) {
    size_t i = pos;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    size_t digitsStart = i;
    long long v = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
        if (v <= INT_MAX) v = v * 10 + (text[i] - '0');
        ++i;
    }
    if (i == digitsStart) {
        value = 0;
        return 0;
    }
    if (negative) v = -v;
    value = v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v);
    return i - pos;
}

std::string nextComponent(std::string_view name) {
    std::string_view base, rest;
    int number = 0;
    if (size_t underscore = name.find('_'); underscore != std::string_view::npos) {
        base = name.substr(0, underscore);
        size_t digits = scanInt(name, underscore + 1, number);
        if (number < INT_MAX) ++number;
        // Skip the integer and the one character after it.
        size_t restStart = underscore + 1 + digits + 1;
        rest = restStart < name.size() ? name.substr(restStart) : std::string_view{};
    } else if (size_t dot = name.find('.'); dot != std::string_view::npos) {
        base = name.substr(0, dot);
        rest = name.substr(dot + 1);
    } else {
        base = name;
    }
    std::string out;
    out.reserve(base.size() + rest.size() + 16);
    out.append(base).append("_").append(std::to_string(number)).append(".").append(rest);
    return out;
}

std::string nextPath(std::string_view path) {
    size_t slash = path.rfind('/');
    size_t start = slash == std::string_view::npos ? 0 : slash + 1;
    if (start >= path.size()) return std::string(path);  // no last component to number
    return std::string(path.substr(0, start)) + nextComponent(path.substr(start));
}

}  // namespace

std::string fileURLWithNextSequence(const std::string& pathOrUrl) {
    std::string_view text = pathOrUrl;
    if (schemeLength(text) > 0) {
        if (!startsWithIgnoringCase(text, kFileScheme)) {
            core::logf("We don't sequence non-file URLs");
            return pathOrUrl;
        }
        return std::string(text.substr(0, kFileScheme.size())) + nextPath(text.substr(kFileScheme.size()));
    }
    return nextPath(text);
}

}  // namespace orvanta::capture
