#include "upload/FileUploadOperation.h"

#include <algorithm>
#include <filesystem>
#include <span>
#include <stdexcept>
#include <system_error>

#include "core/Log.h"
#include "core/Util.h"
#include "upload/ChunkReader.h"
#include "upload/InFlightChunks.h"
#include "upload/OperationReports.h"

namespace orvanta::upload {

namespace {

using ull = unsigned long long;

const char* orEmpty(const std::optional<std::string>& s) { return s ? s->c_str() : "(null)"; }

std::string format(const char* fmt, auto... args) {
    int n = std::snprintf(nullptr, 0, fmt, args...);
    std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) std::snprintf(out.data(), out.size() + 1, fmt, args...);
    return out;
}

// How an exception is named in an error's user information and in the log.
std::string exceptionText(const core::OrvantaSoapException& e) {
    return std::string(core::OrvantaSoapException::kName) + ": " + e.what();
}

void logCaught(const char* prefix, const core::OrvantaSoapException& e) {
    core::logf("%s %s (%s = %s)", prefix, exceptionText(e).c_str(), core::kInnerErrorKey,
               e.innerError().localizedDescription().c_str());
}

core::Error orvantaError(long code, const char* description, std::string reason) {
    return core::Error(core::kOrvantaErrorDomain, code, description, std::move(reason));
}

// Adds what a caught exception tells: its text under "innerexceptionkey" and its error as innerError.
void attachException(core::Error& error, const std::optional<core::OrvantaSoapException>& caught) {
    if (!caught) return;
    error.with(core::kInnerExceptionKey, exceptionText(*caught));
    error.withInner(caught->innerError());
}

// The failure reason of an error raised from a failed call: the message of the call's error, or
// the fallback when nothing was caught.
std::string reasonFrom(const std::optional<core::OrvantaSoapException>& caught, std::string fallback) {
    if (!caught) return fallback;
    return core::messageFromError(&caught->innerError()).value_or(fallback);
}

}  // namespace

FileUploadOperation::FileUploadOperation(std::string sessionID, std::vector<model::FileInformation> fileInfo,
                                         uint32_t maxUploadRetries, uint32_t maxCloseRetries, double pollingInterval,
                                         std::unique_ptr<service::IUploadService> uploadService,
                                         core::RunLoop& reportLoop)
    : sessionID_(std::move(sessionID)),
      files_(std::move(fileInfo)),
      maxUploadRetries_(maxUploadRetries),
      maxCloseRetries_(maxCloseRetries),
      pollingInterval_(pollingInterval),
      uploadService_(std::move(uploadService)),
      reportLoop_(reportLoop) {
    name = "FileUploadOperation";
    // The queue finishes an operation cancelled before it started without running main; completion
    // is still reported then, so that the delegate always learns that the run is over.
    setCompletionBlock([this] {
        if (mainStarted_) return;
        core::logf("%s Operation was cancelled before it started.  Returning.", ORV_FUNC);
        completedOperationForSessionId(this->sessionID());
    });
}

FileUploadOperation::~FileUploadOperation() = default;

std::string FileUploadOperation::sessionID() const {
    std::lock_guard lock(mutex_);
    return sessionID_;
}

void FileUploadOperation::setSessionID(std::string sessionID) {
    std::lock_guard lock(mutex_);
    sessionID_ = std::move(sessionID);
}

FileUploadOperationDelegate* FileUploadOperation::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_;
}

void FileUploadOperation::setDelegate(FileUploadOperationDelegate* delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = delegate;
}

std::vector<model::FileInformation> FileUploadOperation::files() const {
    std::lock_guard lock(mutex_);
    return files_;
}

std::shared_ptr<FileUploadOperation> FileUploadOperation::self() {
    return std::static_pointer_cast<FileUploadOperation>(shared_from_this());
}

// ---- reports

template <typename Call>
void FileUploadOperation::report(const char* name, Call call) {
    FileUploadOperationDelegate* d = delegate();
    if (!d) {
        core::logf("%s no delegate to notify", name);
        return;
    }
    deliverReport<FileUploadOperation, FileUploadOperationDelegate>(reportLoop_, self(), d, std::move(call));
}

void FileUploadOperation::completedOperationForSessionId(const std::string& sessionId) {
    report(ORV_FUNC, [op = self(), sessionId](FileUploadOperationDelegate& d) {
        d.fileUploadOperationCompleted(*op, sessionId);
    });
}

void FileUploadOperation::failedToInitializeUploadOfFile(const std::optional<std::string>& file,
                                                         const std::string& session, const core::Error& error) {
    report(ORV_FUNC, [op = self(), file, session, error](FileUploadOperationDelegate& d) {
        d.operationFailedToInitializeUploadOfFile(*op, file, session, error);
    });
}

void FileUploadOperation::failedToCloseFile(const std::string& file, const std::string& session,
                                            const core::Error& error) {
    report(ORV_FUNC, [op = self(), file, session, error](FileUploadOperationDelegate& d) {
        d.operationFailedToCloseFile(*op, file, session, error);
    });
}

void FileUploadOperation::closedFile(const std::string& file, const std::string& session) {
    report(ORV_FUNC, [op = self(), file, session](FileUploadOperationDelegate& d) {
        d.operationClosedFile(*op, file, session);
    });
}

void FileUploadOperation::failedToUploadBytesAtOffset(uint64_t offset, const std::string& file,
                                                      const std::string& session, const core::Error& error) {
    report(ORV_FUNC, [op = self(), offset, file, session, error](FileUploadOperationDelegate& d) {
        d.operationFailedToUploadBytesAtOffset(*op, offset, file, session, error);
    });
}

void FileUploadOperation::uploadedBytes(uint64_t bytes, const std::string& file, const std::string& session) {
    report(ORV_FUNC, [op = self(), bytes, file, session](FileUploadOperationDelegate& d) {
        d.operationUploadedBytes(*op, bytes, file, session);
    });
}

// ---- helpers

std::optional<uint64_t> FileUploadOperation::fileSize(const std::string& path, core::Error* error) {
    std::error_code ec;
    auto size = std::filesystem::file_size(path, ec);
    if (!ec) return size;
    if (error) {
        *error = core::Error(ec.category().name(), ec.value(), ec.message(), "\"" + path + "\": " + ec.message());
        error->with(core::kFileNameKey, path);
    }
    return std::nullopt;
}

void FileUploadOperation::noteCaught(const core::OrvantaSoapException& e) { caughtException_.emplace(e); }

void FileUploadOperation::pollingSleep() {
    std::unique_lock lock(mutex_);
    waitUntilDone(lock, wakeUp_, std::chrono::duration<double>(pollingInterval_), [this] { return isCancelled(); });
}

model::FileInformation FileUploadOperation::restartFileInformation(const model::FileInformation& file) {
    model::FileInformation restarted = file;
    restarted.bytesUploaded = 0;
    restarted.closed = false;
    return restarted;
}

// ---- main

void FileUploadOperation::main() {
    mainStarted_ = true;
    core::logf("%s entering", ORV_FUNC);
    for (const auto& dependency : dependencies()) {
        if (dependency->isCancelled()) {
            core::logf("%s Dependency operation %s was cancelled.  Returning.", ORV_FUNC, dependency->name.c_str());
            completedOperationForSessionId(sessionID());
            return;
        }
    }
    if (isCancelled()) {
        core::logf("%s Operation was cancelled before it started.  Returning.", ORV_FUNC);
        completedOperationForSessionId(sessionID());
        return;
    }
    if (!validateParameters()) {
        completedOperationForSessionId(sessionID());
        return;
    }
    const std::string session = sessionID();
    core::logf("Uploading to session %s", session.c_str());
    if (!getChunkSize()) {
        completedOperationForSessionId(session);
        return;
    }

    // A server that keeps answering "NotUploaded" after a file was sent again whole would otherwise
    // make this run send it for ever.
    const uint32_t maxRestarts = std::max<uint32_t>(maxCloseRetries_, 1);
    std::vector<uint32_t> restarts(files().size(), 0);
    bool failed = false;
    for (size_t i = 0; !isCancelled() && !failed && i < restarts.size();) {
        const model::FileInformation file = files()[i];
        core::Error error;
        auto size = fileSize(file.localPath, &error);
        if (!size) {
            core::logf("Failed to get attributes for file %s", file.localPath.c_str());
            failedToInitializeUploadOfFile(file.localPath, session, error);
            failed = true;
            ++i;
            continue;
        }
        if (file.bytesUploaded > *size) {
            // Bytes beyond the end of the file as it is now were sent earlier: the server's copy
            // cannot be this file.
            core::logf("Reported %llu bytes uploaded which is more than the total size %llu of file %s",
                       static_cast<ull>(file.bytesUploaded), static_cast<ull>(*size), file.localPath.c_str());
            auto e = orvantaError(83, "Failed to upload file",
                                  format("File %s is shorter (%llu bytes) than what was already sent (%llu bytes)",
                                         file.localPath.c_str(), static_cast<ull>(*size),
                                         static_cast<ull>(file.bytesUploaded)));
            e.with(core::kFileNameKey, file.localPath).with(core::kLocalHashKey, "").with(core::kServerHashKey, "");
            failedToUploadBytesAtOffset(file.bytesUploaded, file.localPath, session, e);
            failed = true;
            continue;
        }
        const uint64_t reached = uploadFile(file, file.bytesUploaded, *size);
        if (reached < *size) {
            failed = true;  // reported by uploadFile, or cancelled
            continue;
        }
        if (auto now = fileSize(file.localPath, nullptr); now && *now != *size) {
            // Only the bytes up to the size read before sending were sent; closing now would leave
            // the server with a different file.
            auto e = orvantaError(83, "Failed to upload file",
                                  format("File %s changed size from %llu to %llu bytes while it was being uploaded",
                                         file.localPath.c_str(), static_cast<ull>(*size), static_cast<ull>(*now)));
            e.with(core::kFileNameKey, file.localPath).with(core::kLocalHashKey, "").with(core::kServerHashKey, "");
            core::logf("Error: %s", e.failureReason.c_str());
            failedToUploadBytesAtOffset(reached, file.localPath, session, e);
            failed = true;
            continue;
        }
        auto answer = closeFile(file);
        if (answer == service::kCloseUploaded) {
            ++i;
        } else if (answer == service::kCloseNotUploaded && !isCancelled()) {
            if (++restarts[i] > maxRestarts) {
                auto e = orvantaError(79, "Failed to end upload",
                                      format("The server does not have file %s although it was sent again %u times",
                                             file.localPath.c_str(), maxRestarts));
                e.with(core::kFileNameKey, file.localPath);
                core::logf("Error: %s", e.failureReason.c_str());
                failedToCloseFile(file.localPath, session, e);
                failed = true;
                continue;
            }
            std::lock_guard lock(mutex_);
            files_[i] = restartFileInformation(files_[i]);
        } else {
            // No answer, "ServerException", an answer nobody knows, or "Uploading" when cancelled.
            failed = true;
        }
    }
    core::logf("%s returning", ORV_FUNC);
    completedOperationForSessionId(session);
}

bool FileUploadOperation::validateParameters() {
    if (!delegate()) throw std::invalid_argument("delegate cannot be nil");
    const std::string session = sessionID();
    if (session.empty()) throw std::invalid_argument("session must not be nil or empty");
    const auto all = files();
    for (const auto& file : all) {
        if (file.localPath.empty()) throw std::invalid_argument("Localpath cannot be nil or empty");
        if (file.remotePath.empty()) throw std::invalid_argument("Remotepath cannot be nil or empty");
    }
    for (const auto& file : all) {
        std::error_code ec;
        if (!std::filesystem::exists(file.localPath, ec)) {
            std::string reason = "\"" + file.localPath + "\" does not exist";
            core::logf("Error: %s", reason.c_str());
            auto error = orvantaError(78, "File Error", reason);
            error.with(core::kFileNameKey, file.localPath);
            failedToInitializeUploadOfFile(file.localPath, session, error);
            return false;
        }
    }
    return true;
}

bool FileUploadOperation::getChunkSize() {
    core::logf("%s entering", ORV_FUNC);
    uint32_t attempts = 0;
    bool success = false;
    std::optional<int32_t> refused;
    while (!success && attempts <= maxUploadRetries_ && !isCancelled()) {
        caughtException_.reset();
        try {
            int32_t size = uploadService_->ChunkSize();
            if (size <= 0) {
                refused = size;
                break;
            }
            chunkSize_ = static_cast<uint64_t>(size);
            success = true;
        } catch (const core::OrvantaSoapException& e) {
            noteCaught(e);
            ++attempts;
            core::logf("failed to get chunk size");
            logCaught("Caught", e);
        }
    }
    if (isCancelled() && !success) {
        core::logf("%s Operation has been cancelled while getting chunksize.", ORV_FUNC);
        return false;
    }
    if (success) {
        core::logf("%s returning", ORV_FUNC);
        return true;
    }
    const std::string session = sessionID();
    core::Error error;
    if (refused) {
        // Chunks of no bytes would never get anywhere.
        core::logf("Server reported an invalid chunk size %d", *refused);
        error = orvantaError(80, "Upload failed to start", format("The server reported a chunk size of %d bytes", *refused));
    } else {
        core::logf("Exceeded max retries reporting chunksize error");
        error = orvantaError(80, "Upload failed to start", reasonFrom(caughtException_, "ChunkSize call failed"));
        attachException(error, caughtException_);
    }
    error.with(core::kSessionIdKey, session);
    failedToInitializeUploadOfFile(std::nullopt, session, error);
    core::logf("%s returning", ORV_FUNC);
    return false;
}

std::vector<service::IUploadService*> FileUploadOperation::chunkClients() {
    if (!secondClientTried_) {
        secondClientTried_ = true;
        secondClient_ = uploadService_->anotherClient();
    }
    std::vector<service::IUploadService*> clients{uploadService_.get()};
    if (secondClient_) clients.push_back(secondClient_.get());
    return clients;
}

uint64_t FileUploadOperation::uploadFile(const model::FileInformation& file, uint64_t offset, uint64_t size) {
    const std::string session = sessionID();
    const std::string& path = file.localPath;
    core::logf("%s entering", ORV_FUNC);
    core::logf("Uploading file %s to session %s starting at offset %llu", path.c_str(), session.c_str(),
               static_cast<ull>(offset));
    uint32_t failures = 0;
    std::string localHash, serverHash;
    // Reads go to the file as it is now (no stream buffering), so a file that shrinks is noticed.
    ChunkReader reader(path, chunkSize_);
    if (!reader.isOpen()) {
        const std::string cause = reader.openError();
        core::logf("Failed to open file %s for reading", path.c_str());
        core::logf("Caught: %s (%s)", cause.c_str(), path.c_str());
        auto error = orvantaError(84, "File Error", "Failed to open file " + path + " for reading");
        error.with(core::kFileNameKey, path).with(core::kInnerExceptionKey, cause);
        failedToInitializeUploadOfFile(path, session, error);
        core::logf("%s returning offset %llu", ORV_FUNC, static_cast<ull>(offset));
        return offset;
    }

    // offset is the end of the chunks the server has confirmed, in file order; sendAt is where the
    // next chunk not yet sent starts.
    uint64_t sendAt = offset;
    // An empty file is still sent as one empty chunk, so that the server has it.
    bool emptyChunkDue = size == 0 && offset == 0;
    std::optional<core::Error> readError;  // a chunk could not be read: nothing more is sent
    {
        // Leaving this block waits for chunks still on their way.
        InFlightChunks inFlight(chunkClients(), session, file.remotePath);
        for (;;) {
            // Every free client sends the next chunk of the file.
            while (!readError && !isCancelled() && failures <= maxUploadRetries_ && inFlight.hasRoom() &&
                   (sendAt < size || emptyChunkDue)) {
                // Never past the size read before this pass: what is sent is what close will account for.
                const uint64_t wanted = std::min<uint64_t>(chunkSize_, size - sendAt);
                auto read = reader.read(sendAt, wanted);
                const auto got = static_cast<uint64_t>(read.bytes.size());
                if (got < wanted) {
                    std::string reason =
                        read.readFailed
                            ? format("Reading file %s failed at offset %llu", path.c_str(), static_cast<ull>(sendAt + got))
                            : format("File %s ends at offset %llu, before its size of %llu bytes: it has become shorter",
                                     path.c_str(), static_cast<ull>(sendAt + got), static_cast<ull>(size));
                    core::logf("Error: %s", reason.c_str());
                    readError = orvantaError(83, "Failed to upload file", reason);
                    break;
                }
                // The chunk after it is read and hashed while this one is on its way.
                if (sendAt + got < size) reader.prepare(sendAt + got, std::min<uint64_t>(chunkSize_, size - sendAt - got));
                inFlight.send({sendAt, std::move(read.bytes), std::move(read.hash)});
                sendAt += got;
                emptyChunkDue = false;
            }
            if (inFlight.empty()) break;

            // Answers come in file order: the oldest chunk is confirmed, or sent again, before any
            // chunk after it counts.
            auto answer = inFlight.next();
            const uint64_t at = answer.chunk.offset;
            localHash = answer.chunk.localHash;
            serverHash.clear();
            caughtException_.reset();
            if (answer.caught) {
                noteCaught(*answer.caught);
                ++failures;
                core::logf("Failed to upload at offset %llu for file %s for session %s", static_cast<ull>(at),
                           file.remotePath.c_str(), session.c_str());
                logCaught("Caught:", *answer.caught);
            } else if (!answer.serverHash || answer.serverHash->empty()) {
                core::logf("Server reported an error processing chunk at offset %llu for file %s of session %s",
                           static_cast<ull>(at), file.remotePath.c_str(), session.c_str());
                ++failures;
            } else if (*answer.serverHash != localHash) {
                serverHash = *answer.serverHash;
                core::logf("Invalid md5 hash.  Possible transmission error.  Local hash: %s server hash %s at offset %llu "
                           "for file %s of session %s",
                           localHash.c_str(), serverHash.c_str(), static_cast<ull>(at), file.remotePath.c_str(),
                           session.c_str());
                ++failures;
            } else {
                serverHash = *answer.serverHash;
                failures = 0;
                offset = at + answer.chunk.bytes.size();
                uploadedBytes(offset, path, session);
                reader.recycle(std::move(answer.chunk.bytes));
                continue;
            }
            // The chunk failed. Chunks after it that are still on their way cannot move the
            // progress now; they are waited for, and sent again later if they need to be.
            if (readError || isCancelled() || failures > maxUploadRetries_) break;
            inFlight.sendAgain(std::move(answer.chunk));
        }
    }

    if (readError) {
        readError->with(core::kFileNameKey, path).with(core::kLocalHashKey, localHash).with(core::kServerHashKey, serverHash);
        failedToUploadBytesAtOffset(offset, path, session, *readError);
    } else if (isCancelled()) {
        core::logf("%s operation cancelled while uploading bytes", ORV_FUNC);
    } else if (failures > maxUploadRetries_) {
        core::logf("Exceeded max retries, reporting upload error.");
        auto error = orvantaError(83, "Failed to upload file",
                                  reasonFrom(caughtException_, format("Failed at offset %llu of file %s",
                                                                      static_cast<ull>(offset), path.c_str())));
        attachException(error, caughtException_);
        error.with(core::kFileNameKey, path).with(core::kLocalHashKey, localHash).with(core::kServerHashKey, serverHash);
        failedToUploadBytesAtOffset(offset, path, session, error);
    }
    core::logf("%s returning offset %llu", ORV_FUNC, static_cast<ull>(offset));
    return offset;
}

std::optional<std::string> FileUploadOperation::closeFile(const model::FileInformation& file) {
    const std::string session = sessionID();
    core::logf("%s entering", ORV_FUNC);
    core::logf("Closing file %s of session %s", file.localPath.c_str(), session.c_str());
    std::optional<std::string> answer;
    if (file.closed == true) {
        answer = service::kCloseUploaded;
    } else {
        answer = service::kCloseUploading;
        uint32_t failures = 0;
        bool lastRaised = false;
        while (failures <= maxCloseRetries_ && answer == service::kCloseUploading && !isCancelled()) {
            caughtException_.reset();
            try {
                answer = uploadService_->TryCloseFile(file.remotePath, session);
                lastRaised = false;
            } catch (const core::OrvantaSoapException& e) {
                noteCaught(e);
                lastRaised = true;
                ++failures;
                core::logf("Failed to close file %s for session %s", file.remotePath.c_str(), session.c_str());
                logCaught("Caught:", e);
                continue;
            }
            if (answer == service::kCloseUploading) pollingSleep();
        }
        if (lastRaised) {
            answer.reset();
            if (isCancelled()) {
                core::logf("%s operation cancelled while closing file", ORV_FUNC);
            } else {
                core::logf("Exceeded max retries, reporting closefile error.");
                auto error = orvantaError(79, "Failed to end upload",
                                          reasonFrom(caughtException_, "Fault when closing file " + file.localPath));
                attachException(error, caughtException_);
                error.with(core::kFileNameKey, file.localPath);
                failedToCloseFile(file.localPath, session, error);
            }
            core::logf("%s returning %s", ORV_FUNC, orEmpty(answer));
            return answer;
        }
    }

    if (answer == service::kCloseUploaded) {
        closedFile(file.localPath, session);
    } else if (answer == service::kCloseUploading && isCancelled()) {
        core::logf("%s operation cancelled while closing file", ORV_FUNC);
    } else {
        // "NotUploaded", "ServerException", or an answer this program does not know: the file is not
        // delivered, and the run must not take it for delivered.
        core::logf("Server reported an error %s, reporting closefile error.", answer->c_str());
        auto error = orvantaError(79, "Failed to end upload", "Fault when closing file " + file.localPath);
        error.with(core::kFileNameKey, file.localPath).with(core::kCloseFileResultKey, *answer);
        failedToCloseFile(file.localPath, session, error);
    }
    core::logf("%s returning %s", ORV_FUNC, orEmpty(answer));
    return answer;
}

}  // namespace orvanta::upload
