#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/Error.h"
#include "core/Observable.h"
#include "core/Operation.h"
#include "core/RunLoop.h"
#include "core/Settings.h"
#include "model/ManagedObjectContext.h"
#include "service/UploadService.h"
#include "upload/FileUploadOperation.h"
#include "upload/FinalizeRecordingOperation.h"
#include "upload/UploadEnvironment.h"
#include "support/TestUserInterface.h"

namespace orvanta::test {

// Bytes that differ from file to file and from offset to offset.
std::vector<uint8_t> patternBytes(size_t size, uint8_t seed);
void writeBytes(const std::filesystem::path& file, const std::vector<uint8_t>& bytes);
void appendBytes(const std::filesystem::path& file, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> fileBytes(const std::filesystem::path& file);
std::string md5Base64(std::span<const uint8_t> bytes);
// What a failed call raises when nothing answers at the address.
[[noreturn]] void throwConnectionRefused();

// The receiver client an upload operation gets in tests: forwards every call to the real client
// (when there is one) unless a hook takes the call over, and counts the calls. The hooks are for
// what the reference server cannot be made to do in an exact order, and for changing files between
// chunks; a hook gets the real client so that it can still forward.
class ScriptedUploadService : public service::IUploadService {
public:
    struct Calls {
        std::atomic<int> chunkSize{0}, uploadChunk{0}, tryCloseFile{0};
        std::mutex mutex;
        std::vector<uint64_t> offsets;  // of every UploadChunk call
        std::vector<uint64_t> offsetsSeen() {
            std::lock_guard lock(mutex);
            return offsets;
        }
    };
    using ChunkSizeHook = std::function<int32_t(service::IUploadService* inner, int call)>;
    using UploadChunkHook = std::function<std::optional<std::string>(
        service::IUploadService* inner, const std::string& file, std::span<const uint8_t> bytes, uint64_t offset, int call)>;
    using TryCloseHook = std::function<std::string(service::IUploadService* inner, const std::string& file, int call)>;

    explicit ScriptedUploadService(std::unique_ptr<service::IUploadService> inner = nullptr)
        : inner_(std::move(inner)) {}

    std::shared_ptr<Calls> calls = std::make_shared<Calls>();
    ChunkSizeHook onChunkSize;
    UploadChunkHook onUploadChunk;
    TryCloseHook onTryCloseFile;

    // Whether anotherClient() makes a second client (so that the operation sends two chunks at
    // once): it shares the hooks and the counts, and wraps another client of the real one. Hooks
    // then run on two threads at once.
    bool secondClient = false;

    std::string TryCloseFile(const std::string& fileName, const std::string& sessionID) override;
    std::optional<std::string> UploadChunk(const std::string& sessionID, const std::string& fileName,
                                           const std::optional<std::span<const uint8_t>>& bytes,
                                           uint64_t offset) override;
    int32_t ChunkSize() override;
    std::unique_ptr<service::IUploadService> anotherClient() override;

private:
    std::unique_ptr<service::IUploadService> inner_;
};

// One report of an operation, as the test delegate saw it.
struct Report {
    std::string kind;  // "completed", "failedToInitialize", "failedToClose", "closed", "failedToUpload",
                       // "uploaded", "finalizeCompleted", "failedToFinalize", "finalized", "failedToAddSession",
                       // "addedSession"
    std::optional<std::string> file;  // file reports: the local path; addedSession: the session ID
    std::string id;                   // the session ID, or the recording ID for finalize reports
    uint64_t bytes = 0;               // "uploaded" and "failedToUpload"
    core::Error error;
};

// Keeps every report in order and checks that each arrives on the loop thread.
class ReportCollector : public upload::FileUploadOperationDelegate, public upload::FinalizeRecordingOperationDelegate {
public:
    explicit ReportCollector(core::RunLoop& loop) : loop_(loop) {}

    std::vector<Report> reports;
    int offLoopThread = 0;
    bool uploadCompleted = false;
    bool finalizeCompleted = false;
    // What the delegate does when a session was added; by default it hands over a manifest at once.
    std::function<void(upload::FinalizeRecordingOperation&, const std::optional<std::string>&)> onAddedSession =
        [](upload::FinalizeRecordingOperation& op, const std::optional<std::string>&) { op.setManifest("<manifest/>"); };

    std::vector<Report> ofKind(const std::string& kind) const;
    std::vector<std::string> kinds() const;

    void fileUploadOperationCompleted(upload::FileUploadOperation& op, const std::string& sessionId) override;
    void operationFailedToInitializeUploadOfFile(upload::FileUploadOperation& op, const std::optional<std::string>& file,
                                                 const std::string& session, const core::Error& error) override;
    void operationFailedToCloseFile(upload::FileUploadOperation& op, const std::string& file,
                                    const std::string& session, const core::Error& error) override;
    void operationClosedFile(upload::FileUploadOperation& op, const std::string& file, const std::string& session) override;
    void operationFailedToUploadBytesAtOffset(upload::FileUploadOperation& op, uint64_t offset, const std::string& file,
                                              const std::string& session, const core::Error& error) override;
    void operationUploadedBytes(upload::FileUploadOperation& op, uint64_t bytes, const std::string& file,
                                const std::string& session) override;

    void finalizeRecordingOerationCompleted(upload::FinalizeRecordingOperation& op,
                                            const std::string& recordingId) override;
    void operationFailedToFinalizedRecording(upload::FinalizeRecordingOperation& op, const std::string& recordingId,
                                             const core::Error& error) override;
    void operationFinalizedRecording(upload::FinalizeRecordingOperation& op, const std::string& recordingId) override;
    void operationFailedToAddSessionforRecording(upload::FinalizeRecordingOperation& op,
                                                 const std::string& recordingId, const core::Error& error) override;
    void operationAddedSessionWithId(upload::FinalizeRecordingOperation& op, const std::optional<std::string>& sessionId,
                                     const std::string& recordingId) override;

private:
    void add(Report report);
    core::RunLoop& loop_;
};

// The application around the upload controller: a run loop on the test thread, a settings file, an
// upload queue, saving through the store context (each save counted and observable), a settable
// login state, receiver address and capture state.
class TestUploadEnvironment : public upload::UploadEnvironment {
public:
    TestUploadEnvironment(const std::filesystem::path& settingsFile, model::ManagedObjectContext* context);
    ~TestUploadEnvironment() override;

    core::RunLoop loop;  // declared before the queue: operations report into it until they are gone
    core::Settings settingsStore;
    core::OperationQueue queue{0, "upload-test"};
    TestUserInterface ui;
    bool loggedIn = true;
    std::string endpoint;
    core::Property<bool> recording{false};
    int saveCount = 0;
    std::function<void()> onSave;

    core::Settings& settings() override { return settingsStore; }
    core::RunLoop& mainLoop() override { return loop; }
    core::OperationQueue& uploadOperationQueue() override { return queue; }
    void saveManagedObjects() override;
    core::AppUserInterface& userInterface() override { return ui; }
    bool isLoggedIn() const override { return loggedIn; }
    std::string dataReceiverEndpoint() const override { return endpoint; }
    bool isRecording() const override { return recording.get(); }
    core::Subscription observeIsRecording(std::function<void(bool)> callback) override;

    // Runs the loop until done() or the generous time-out; returns done().
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(20));

private:
    model::ManagedObjectContext* context_;
};

}  // namespace orvanta::test
