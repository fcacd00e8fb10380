#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "service/SynchronousSoapCaller.h"

namespace orvanta::service {

// States a file can be in on the server after TryCloseFile.
inline constexpr const char* kCloseUploading = "Uploading";
inline constexpr const char* kCloseUploaded = "Uploaded";
inline constexpr const char* kCloseNotUploaded = "NotUploaded";
inline constexpr const char* kCloseServerException = "ServerException";

// What the upload operation needs of the server's file receiver.
class IUploadService {
public:
    virtual ~IUploadService() = default;
    // The file's state on the server ("Uploading", "Uploaded", "NotUploaded", "ServerException").
    virtual std::string TryCloseFile(const std::string& fileName, const std::string& sessionID) = 0;
    // Sends one chunk; returns the server's Base64 MD5 of what it received. Makes no call and
    // returns none when the session ID or file name is empty or there are no bytes.
    virtual std::optional<std::string> UploadChunk(const std::string& sessionID, const std::string& fileName,
                                                   const std::optional<std::span<const uint8_t>>& bytes,
                                                   uint64_t offset) = 0;
    virtual int32_t ChunkSize() = 0;
    // Another client of the same receiver with a connection of its own, so that a second chunk can
    // travel while this client waits for an answer; none when this client cannot make one.
    virtual std::unique_ptr<IUploadService> anotherClient() { return nullptr; }
};

// The receiver at the address the login returned. Failed calls raise core::OrvantaSoapException.
class UploadService : public IUploadService {
public:
    explicit UploadService(const std::string& endpoint);

    std::string TryCloseFile(const std::string& fileName, const std::string& sessionID) override;
    std::optional<std::string> UploadChunk(const std::string& sessionID, const std::string& fileName,
                                           const std::optional<std::span<const uint8_t>>& bytes,
                                           uint64_t offset) override;
    int32_t ChunkSize() override;
    // A client of the same address with the same time limits.
    std::unique_ptr<IUploadService> anotherClient() override;

    SynchronousSoapCaller& caller() { return syncCaller_; }

private:
    model::ResultValue call(const std::string& method, const std::string& ns, std::vector<std::string> names,
                            std::vector<SoapValue> values);

    SynchronousSoapCaller syncCaller_;
};

}  // namespace orvanta::service
