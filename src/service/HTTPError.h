#pragma once

#include <string>

#include "core/Error.h"

namespace orvanta::service {

// The lower-case reason phrase of an HTTP status ("internal server error", "not found"); for a code
// without a phrase of its own, the phrase of its class ("server error", "client error", ...).
std::string localizedStringForStatusCode(long status);

// An HTTP failure: domain "Orvanta", code = status, description "HTTP Error <code> <status>", failure
// reason = body (see core::makeHTTPError).
core::Error httpErrorWithCode(long code, std::string status, std::string body);

// Whether the error is an HTTP failure made by httpErrorWithCode / core::makeHTTPError.
bool isHTTPError(const core::Error& error);

}  // namespace orvanta::service
