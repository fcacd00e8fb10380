#include "service/UploadService.h"

#include "core/Util.h"
#include "model/ObjectMapping.h"
#include "service/LoginResult.h"
#include "service/ServiceConstants.h"

namespace orvanta::service {

UploadService::UploadService(const std::string& endpoint) : syncCaller_(endpoint) {}

model::ResultValue UploadService::call(const std::string& method, const std::string& ns,
                                       std::vector<std::string> names, std::vector<SoapValue> values) {
    core::Error error;
    auto result = syncCaller_.callSoapMethod(method, ns, kUploadExtension, &names, &values, &error);
    if (!result) core::throwWithSoapError(&error);
    auto it = result->find("response");
    return it == result->end() ? model::ResultValue{} : it->second;
}

int32_t UploadService::ChunkSize() {
    auto response = call("ChunkSize", kServiceNamespaceWithSlash, {}, {});
    auto v = model::convertAttribute(model::AttributeType::Integer32, &response);
    const int64_t* n = std::get_if<int64_t>(&v);
    return n ? static_cast<int32_t>(*n) : 0;
}

std::optional<std::string> UploadService::UploadChunk(const std::string& sessionID, const std::string& fileName,
                                                      const std::optional<std::span<const uint8_t>>& bytes,
                                                      uint64_t offset) {
    if (sessionID.empty() || fileName.empty() || !bytes) return std::nullopt;
    auto response = call("UploadChunk", kServiceNamespaceWithSlash, {"sessionID", "fileName", "buffer", "offset"},
                         {sessionID, fileName, SoapBinary(bytes->begin(), bytes->end()), std::to_string(offset)});
    return resultText(&response);
}

std::unique_ptr<IUploadService> UploadService::anotherClient() {
    auto other = std::make_unique<UploadService>(syncCaller_.caller().url());
    other->syncCaller_.setTimeouts(syncCaller_.caller().transferTimeout(), syncCaller_.waitSeconds());
    other->syncCaller_.setLogSoap(syncCaller_.caller().logSoap());
    return other;
}

std::string UploadService::TryCloseFile(const std::string& fileName, const std::string& sessionID) {
    auto response = call("TryCloseFile", kServiceNamespace, {"sessionID", "fileName"}, {sessionID, fileName});
    return resultText(&response);
}

}  // namespace orvanta::service
