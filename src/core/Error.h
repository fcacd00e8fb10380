#pragma once

#include <map>
#include <memory>
#include <stdexcept>
#include <string>

namespace orvanta::core {

inline constexpr const char* kOrvantaErrorDomain = "Orvanta";
// Used only by the movie writer's file-creation errors.
inline constexpr const char* kMovieWriterErrorDomain = "orvanta";
inline constexpr const char* kHTTPErrorDomain = "HTTPError";
// Network-level failures (connection refused, offline, time-out at the transport).
inline constexpr const char* kURLErrorDomain = "NSURLErrorDomain";
inline constexpr long kURLErrorNotConnectedToInternet = -1009;

// Named user-information keys.
inline constexpr const char* kInnerErrorKey = "innererrorkey";
inline constexpr const char* kInnerExceptionKey = "innerexceptionkey";
inline constexpr const char* kSessionIdKey = "sessionidkey";
inline constexpr const char* kFileNameKey = "filenamekey";
inline constexpr const char* kServerHashKey = "serverhashkey";
inline constexpr const char* kLocalHashKey = "localhashkey";
inline constexpr const char* kCloseFileResultKey = "closefileresultkey";
inline constexpr const char* kResponseBodyKey = "responsebodykey";

// An error value: domain, numeric code and user information.
struct Error {
    std::string domain;
    long code = 0;
    std::string description;         // localized description
    std::string failureReason;       // localized failure reason
    std::string recoverySuggestion;  // localized recovery suggestion
    std::map<std::string, std::string> userInfo;  // named text values
    std::shared_ptr<const Error> innerError;      // the value under "innererrorkey"

    Error() = default;
    Error(std::string domain_, long code_, std::string description_ = {}, std::string failureReason_ = {});

    // The description, or a generic text naming domain and code when there is none.
    std::string localizedDescription() const;
    // The failure reason, or the description when there is none.
    std::string localizedFailureReason() const;

    Error& with(const std::string& key, std::string value);
    Error& withInner(Error inner);
};

// An HTTP failure (an "HTTPError"): domain "Orvanta", code = the HTTP status, description
// "HTTP Error <status> <status text>", failure reason = the response body. The status text is kept under
// kHTTPStatusKey, which is also what tells an HTTP failure apart from the program's own errors.
inline constexpr const char* kHTTPStatusKey = "httpstatus";
Error makeHTTPError(long status, std::string responseBody = {}, std::string statusText = {});

// What the service layer raises; carries the error under "innererrorkey".
class OrvantaSoapException : public std::runtime_error {
public:
    static constexpr const char* kName = "OrvantaSoapException";
    explicit OrvantaSoapException(Error error);
    const Error& error() const noexcept { return error_; }
    // The error carried under "innererrorkey".
    const Error& innerError() const noexcept { return error_; }

private:
    Error error_;
};

// A program error that should never happen (the platform's internal-consistency assertion).
class InternalInconsistency : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

}  // namespace orvanta::core
