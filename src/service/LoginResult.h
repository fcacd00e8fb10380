#pragma once

#include <string>

#include "model/ServiceResult.h"

namespace orvanta::service {

// What a login returns about the server.
struct RuntimeConfig {
    std::string DataReceiverEndpoint;  // the upload receiver's full address
    std::string WebReceiverEndpoint;
    double ServerTime = 0;  // seconds since 1601-01-01 00:00:00 UTC on the server's clock
    std::string StreamingBase;
    std::string RecorderVersion;
    bool SupportsHeadless = false;
    bool SupportsDV = false;
    bool CanCreateSessionGroups = false;

    static RuntimeConfig runtimeConfigFromDictionary(const model::ResultValue* values);

    bool operator==(const RuntimeConfig&) const = default;
};

struct LoginResult {
    bool LoginSuccess = false;
    bool RecorderIsSupported = false;
    std::string RecorderDownloadUrl;  // empty when the server sent an empty element
    RuntimeConfig Runtime;            // the "RuntimeConfig" element
    std::string DataXML;
    bool IsLockedOut = false;

    static LoginResult loginResultFromDictionary(const model::ResultValue& values);
};

// Readings of a result element: text to boolean and to double as the server's answers need them
// (absent or non-text elements read as false / 0 / empty).
bool resultBool(const model::ResultValue* value);
double resultDouble(const model::ResultValue* value);
std::string resultText(const model::ResultValue* value);

}  // namespace orvanta::service
