#include "core/Error.h"

#include <utility>

namespace orvanta::core {

Error::Error(std::string domain_, long code_, std::string description_, std::string failureReason_)
    : domain(std::move(domain_)), code(code_), description(std::move(description_)),
      failureReason(std::move(failureReason_)) {}

std::string Error::localizedDescription() const {
    if (!description.empty()) return description;
    return "The operation couldn\u2019t be completed. (" + domain + " error " + std::to_string(code) + ".)";
}

std::string Error::localizedFailureReason() const {
    return failureReason.empty() ? localizedDescription() : failureReason;
}

Error& Error::with(const std::string& key, std::string value) {
    userInfo[key] = std::move(value);
    return *this;
}

Error& Error::withInner(Error inner) {
    innerError = std::make_shared<const Error>(std::move(inner));
    return *this;
}

Error makeHTTPError(long status, std::string responseBody, std::string statusText) {
    Error e(kOrvantaErrorDomain, status, "HTTP Error " + std::to_string(status) + " " + statusText,
            std::move(responseBody));
    e.with(kHTTPStatusKey, std::move(statusText));
    return e;
}

OrvantaSoapException::OrvantaSoapException(Error error)
    : std::runtime_error(error.localizedFailureReason()), error_(std::move(error)) {}

}  // namespace orvanta::core
