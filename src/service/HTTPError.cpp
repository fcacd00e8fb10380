#include "service/HTTPError.h"

#include <utility>

namespace orvanta::service {

namespace {

struct Reason {
    long status;
    const char* text;
};

constexpr Reason kReasons[] = {
    {100, "continue"},
    {101, "switching protocols"},
    {200, "ok"},
    {201, "created"},
    {202, "accepted"},
    {203, "non-authoritative information"},
    {204, "no content"},
    {205, "reset content"},
    {206, "partial content"},
    {300, "multiple choices"},
    {301, "moved permanently"},
    {302, "found"},
    {303, "see other"},
    {304, "not modified"},
    {305, "use proxy"},
    {307, "temporary redirect"},
    {308, "permanent redirect"},
    {400, "bad request"},
    {401, "unauthorized"},
    {402, "payment required"},
    {403, "forbidden"},
    {404, "not found"},
    {405, "method not allowed"},
    {406, "not acceptable"},
    {407, "proxy authentication required"},
    {408, "request timeout"},
    {409, "conflict"},
    {410, "gone"},
    {411, "length required"},
    {412, "precondition failed"},
    {413, "payload too large"},
    {414, "uri too long"},
    {415, "unsupported media type"},
    {416, "range not satisfiable"},
    {417, "expectation failed"},
    {429, "too many requests"},
    {500, "internal server error"},
    {501, "not implemented"},
    {502, "bad gateway"},
    {503, "service unavailable"},
    {504, "gateway timeout"},
    {505, "http version not supported"},
};

}  // namespace

std::string localizedStringForStatusCode(long status) {
    for (const auto& reason : kReasons)
        if (reason.status == status) return reason.text;
    if (status >= 100 && status < 200) return "informational";
    if (status >= 200 && status < 300) return "success";
    if (status >= 300 && status < 400) return "redirected";
    if (status >= 400 && status < 500) return "client error";
    return "server error";
}

core::Error httpErrorWithCode(long code, std::string status, std::string body) {
    return core::makeHTTPError(code, std::move(body), std::move(status));
}

bool isHTTPError(const core::Error& error) {
    return error.domain == core::kOrvantaErrorDomain && error.userInfo.count(core::kHTTPStatusKey) != 0;
}

}  // namespace orvanta::service
