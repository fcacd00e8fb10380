#include "upload/UploadTestSupport.h"

#include <fstream>
#include <iterator>

#include "core/Util.h"

namespace orvanta::test {

std::vector<uint8_t> patternBytes(size_t size, uint8_t seed) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>((i * 131 + i / 251 + seed) & 0xFF);
    return bytes;
}

void writeBytes(const std::filesystem::path& file, const std::vector<uint8_t>& bytes) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void appendBytes(const std::filesystem::path& file, const std::vector<uint8_t>& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::app);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> fileBytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string md5Base64(std::span<const uint8_t> bytes) {
    auto digest = core::md5Digest(bytes);
    return core::encodeBase64(std::span<const uint8_t>(digest.data(), digest.size()));
}

void throwConnectionRefused() {
    throw core::OrvantaSoapException(
        core::Error(core::kURLErrorDomain, core::kURLErrorNotConnectedToInternet, "Could not connect to the server."));
}

// ---- ScriptedUploadService

std::string ScriptedUploadService::TryCloseFile(const std::string& fileName, const std::string& sessionID) {
    int call = ++calls->tryCloseFile;
    if (onTryCloseFile) return onTryCloseFile(inner_.get(), fileName, call);
    return inner_ ? inner_->TryCloseFile(fileName, sessionID) : std::string(service::kCloseUploaded);
}

std::optional<std::string> ScriptedUploadService::UploadChunk(const std::string& sessionID, const std::string& fileName,
                                                              const std::optional<std::span<const uint8_t>>& bytes,
                                                              uint64_t offset) {
    int call = ++calls->uploadChunk;
    {
        std::lock_guard lock(calls->mutex);
        calls->offsets.push_back(offset);
    }
    if (onUploadChunk) return onUploadChunk(inner_.get(), fileName, bytes.value_or(std::span<const uint8_t>()), offset, call);
    if (inner_) return inner_->UploadChunk(sessionID, fileName, bytes, offset);
    return md5Base64(bytes.value_or(std::span<const uint8_t>()));
}

int32_t ScriptedUploadService::ChunkSize() {
    int call = ++calls->chunkSize;
    if (onChunkSize) return onChunkSize(inner_.get(), call);
    return inner_ ? inner_->ChunkSize() : 1000;
}

std::unique_ptr<service::IUploadService> ScriptedUploadService::anotherClient() {
    if (!secondClient) return nullptr;
    auto other = std::make_unique<ScriptedUploadService>(inner_ ? inner_->anotherClient() : nullptr);
    other->calls = calls;
    other->onChunkSize = onChunkSize;
    other->onUploadChunk = onUploadChunk;
    other->onTryCloseFile = onTryCloseFile;
    return other;
}

// ---- ReportCollector

void ReportCollector::add(Report report) {
    if (!loop_.isLoopThread()) ++offLoopThread;
    reports.push_back(std::move(report));
}

std::vector<Report> ReportCollector::ofKind(const std::string& kind) const {
    std::vector<Report> out;
    for (const auto& r : reports)
        if (r.kind == kind) out.push_back(r);
    return out;
}

std::vector<std::string> ReportCollector::kinds() const {
    std::vector<std::string> out;
    for (const auto& r : reports) out.push_back(r.kind);
    return out;
}

void ReportCollector::fileUploadOperationCompleted(upload::FileUploadOperation&, const std::string& sessionId) {
    add({"completed", std::nullopt, sessionId, 0, {}});
    uploadCompleted = true;
}

void ReportCollector::operationFailedToInitializeUploadOfFile(upload::FileUploadOperation&,
                                                              const std::optional<std::string>& file,
                                                              const std::string& session, const core::Error& error) {
    add({"failedToInitialize", file, session, 0, error});
}

void ReportCollector::operationFailedToCloseFile(upload::FileUploadOperation&, const std::string& file,
                                                 const std::string& session, const core::Error& error) {
    add({"failedToClose", file, session, 0, error});
}

void ReportCollector::operationClosedFile(upload::FileUploadOperation&, const std::string& file,
                                          const std::string& session) {
    add({"closed", file, session, 0, {}});
}

void ReportCollector::operationFailedToUploadBytesAtOffset(upload::FileUploadOperation&, uint64_t offset,
                                                           const std::string& file, const std::string& session,
                                                           const core::Error& error) {
    add({"failedToUpload", file, session, offset, error});
}

void ReportCollector::operationUploadedBytes(upload::FileUploadOperation&, uint64_t bytes, const std::string& file,
                                             const std::string& session) {
    add({"uploaded", file, session, bytes, {}});
}

void ReportCollector::finalizeRecordingOerationCompleted(upload::FinalizeRecordingOperation&,
                                                         const std::string& recordingId) {
    add({"finalizeCompleted", std::nullopt, recordingId, 0, {}});
    finalizeCompleted = true;
}

void ReportCollector::operationFailedToFinalizedRecording(upload::FinalizeRecordingOperation&,
                                                          const std::string& recordingId, const core::Error& error) {
    add({"failedToFinalize", std::nullopt, recordingId, 0, error});
}

void ReportCollector::operationFinalizedRecording(upload::FinalizeRecordingOperation&, const std::string& recordingId) {
    add({"finalized", std::nullopt, recordingId, 0, {}});
}

void ReportCollector::operationFailedToAddSessionforRecording(upload::FinalizeRecordingOperation&,
                                                              const std::string& recordingId,
                                                              const core::Error& error) {
    add({"failedToAddSession", std::nullopt, recordingId, 0, error});
}

void ReportCollector::operationAddedSessionWithId(upload::FinalizeRecordingOperation& op,
                                                  const std::optional<std::string>& sessionId,
                                                  const std::string& recordingId) {
    add({"addedSession", sessionId, recordingId, 0, {}});
    if (onAddedSession) onAddedSession(op, sessionId);
}

// ---- TestUploadEnvironment

TestUploadEnvironment::TestUploadEnvironment(const std::filesystem::path& settingsFile,
                                             model::ManagedObjectContext* context)
    : settingsStore(settingsFile), context_(context) {}

TestUploadEnvironment::~TestUploadEnvironment() {
    // Running operations stop before the loop they report into goes away.
    queue.cancelAllOperations();
    queue.waitUntilAllOperationsAreFinished();
}

void TestUploadEnvironment::saveManagedObjects() {
    ++saveCount;
    if (context_) context_->save();
    if (onSave) onSave();
}

core::Subscription TestUploadEnvironment::observeIsRecording(std::function<void(bool)> callback) {
    return recording.observe([cb = std::move(callback)](const bool& value) { cb(value); });
}

bool TestUploadEnvironment::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    return loop.runUntil(done, timeout);
}

}  // namespace orvanta::test
