#include "service/LoginResult.h"

#include "model/ObjectMapping.h"

namespace orvanta::service {

bool resultBool(const model::ResultValue* value) {
    auto v = model::convertAttribute(model::AttributeType::Boolean, value);
    const bool* b = std::get_if<bool>(&v);
    return b && *b;
}

double resultDouble(const model::ResultValue* value) {
    auto v = model::convertAttribute(model::AttributeType::Double, value);
    const double* d = std::get_if<double>(&v);
    return d ? *d : 0.0;
}

std::string resultText(const model::ResultValue* value) {
    return value && value->isText() ? value->text() : std::string();
}

RuntimeConfig RuntimeConfig::runtimeConfigFromDictionary(const model::ResultValue* values) {
    RuntimeConfig c;
    if (!values) return c;
    c.DataReceiverEndpoint = resultText(values->find("DataReceiverEndpoint"));
    c.WebReceiverEndpoint = resultText(values->find("WebReceiverEndpoint"));
    c.ServerTime = resultDouble(values->find("ServerTime"));
    c.StreamingBase = resultText(values->find("StreamingBase"));
    c.RecorderVersion = resultText(values->find("RecorderVersion"));
    c.SupportsHeadless = resultBool(values->find("SupportsHeadless"));
    c.SupportsDV = resultBool(values->find("SupportsDV"));
    c.CanCreateSessionGroups = resultBool(values->find("CanCreateSessionGroups"));
    return c;
}

LoginResult LoginResult::loginResultFromDictionary(const model::ResultValue& values) {
    LoginResult r;
    r.LoginSuccess = resultBool(values.find("LoginSuccess"));
    r.RecorderIsSupported = resultBool(values.find("RecorderIsSupported"));
    r.RecorderDownloadUrl = resultText(values.find("RecorderDownloadUrl"));
    r.Runtime = RuntimeConfig::runtimeConfigFromDictionary(values.find("RuntimeConfig"));
    r.DataXML = resultText(values.find("DataXML"));
    r.IsLockedOut = resultBool(values.find("IsLockedOut"));
    return r;
}

}  // namespace orvanta::service
