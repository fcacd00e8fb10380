#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/Error.h"
#include "core/Operation.h"
#include "core/RunLoop.h"
#include "model/FileInformation.h"
#include "service/UploadService.h"
#include "upload/FileUploadOperationDelegate.h"

namespace orvanta::upload {

// Uploads every file of one recording to one server session: asks the receiver for its chunk size,
// sends each file in MD5-checked chunks from the offset already reached, retries failed chunks and
// then asks the server to close (assemble) the file, polling while it is still assembling.
//
// When the receiver client can make another client of the same receiver (anotherClient), two
// chunks travel at once, each on its own connection: the next chunk is sent while the answer for
// the one before is awaited. Chunks are still confirmed one by one in file order, each against its
// own MD5 and retried on its own, and the progress reported never goes past a chunk the server has
// not confirmed.
//
// Runs on an upload-queue thread and never touches stored objects: every confirmed chunk and every
// outcome is reported to the delegate on the main thread (reportLoop), so that the caller can store
// the progress and a later run continues where this one stopped. Create it with std::make_shared.
//
// Errors it reports (domain "Orvanta"): 78 a local file does not exist; 79 a file could not be
// closed; 80 the chunk size could not be obtained; 83 a file could not be sent; 84 a file could not
// be opened for reading. An error caused by a failed service call carries that call's error as its
// innerError.
class FileUploadOperation : public core::Operation {
public:
    // sessionID may still be empty when the session is created by a finalize operation this one
    // depends on; setSessionID fills it in before this operation starts.
    FileUploadOperation(std::string sessionID, std::vector<model::FileInformation> fileInfo, uint32_t maxUploadRetries,
                        uint32_t maxCloseRetries, double pollingInterval,
                        std::unique_ptr<service::IUploadService> uploadService,
                        core::RunLoop& reportLoop = core::RunLoop::main());
    ~FileUploadOperation() override;

    std::string sessionID() const;
    void setSessionID(std::string sessionID);
    FileUploadOperationDelegate* delegate() const;
    // Must be set before the operation runs; not owned.
    void setDelegate(FileUploadOperationDelegate* delegate);

    // The file information as it stands (an entry is replaced when its file is restarted).
    std::vector<model::FileInformation> files() const;
    uint64_t chunkSize() const { return chunkSize_; }

    void main() override;

    // The steps of main, each usable alone (on the thread that runs the operation).
    bool getChunkSize();
    // Sends the file from offset up to size; returns the offset reached (the end of the chunks
    // confirmed in file order).
    uint64_t uploadFile(const model::FileInformation& file, uint64_t offset, uint64_t size);
    // The server's last answer, or none when closing failed.
    std::optional<std::string> closeFile(const model::FileInformation& file);
    // Throws std::invalid_argument for a missing delegate, session or path; false (after reporting
    // error 78) when a local file does not exist.
    bool validateParameters();
    static model::FileInformation restartFileInformation(const model::FileInformation& file);

private:
    std::shared_ptr<FileUploadOperation> self();

    // Reports, delivered on the main thread.
    void completedOperationForSessionId(const std::string& sessionId);
    void failedToInitializeUploadOfFile(const std::optional<std::string>& file, const std::string& session,
                                        const core::Error& error);
    void failedToCloseFile(const std::string& file, const std::string& session, const core::Error& error);
    void closedFile(const std::string& file, const std::string& session);
    void failedToUploadBytesAtOffset(uint64_t offset, const std::string& file, const std::string& session,
                                     const core::Error& error);
    void uploadedBytes(uint64_t bytes, const std::string& file, const std::string& session);
    template <typename Call>
    void report(const char* name, Call call);

    // The size of the local file now, or the file system's error.
    static std::optional<uint64_t> fileSize(const std::string& path, core::Error* error);
    void noteCaught(const core::OrvantaSoapException& e);
    // Sleeps for pollingInterval, or until the operation is cancelled.
    void pollingSleep();
    // The clients chunks are sent with: the one given, and a second one when it can make one.
    std::vector<service::IUploadService*> chunkClients();

    mutable std::mutex mutex_;  // guards sessionID_, delegate_ and files_
    std::condition_variable wakeUp_;
    std::string sessionID_;
    FileUploadOperationDelegate* delegate_ = nullptr;
    std::vector<model::FileInformation> files_;
    const uint32_t maxUploadRetries_;
    const uint32_t maxCloseRetries_;
    const double pollingInterval_;
    std::unique_ptr<service::IUploadService> uploadService_;
    std::unique_ptr<service::IUploadService> secondClient_;  // made on first use, may stay empty
    bool secondClientTried_ = false;
    core::RunLoop& reportLoop_;
    uint64_t chunkSize_ = 0;
    std::optional<core::OrvantaSoapException> caughtException_;
    std::atomic<bool> mainStarted_{false};
};

}  // namespace orvanta::upload
