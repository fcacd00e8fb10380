#include "support/ModelFixture.h"

#include <chrono>
#include <stdexcept>

namespace orvanta::test {

namespace fs = std::filesystem;

TestHost::TestHost(const fs::path& root) : recordingDirectory_(root / "Recordings") {}

core::Subscription TestHost::observeLoggedIn(std::function<void(bool)> callback) {
    return loggedIn_.observe([cb = std::move(callback)](const bool& value) { cb(value); });
}

void TestHost::saveManagedObjects() {
    ++saveCount;
    if (context_) lastSaveError = context_->save();
}

void TestHost::clearRequests() {
    uploadRequests.clear();
    pauseRequests.clear();
    stitchRequests.clear();
}

void TestHost::performOnMainThread(std::function<void()> task, bool) { task(); }

void TestHost::uploadRecording(const std::shared_ptr<model::Recording>& recording) {
    uploadRequests.push_back(recording);
}

void TestHost::pauseUploadForRecording(const std::shared_ptr<model::Recording>& recording) {
    pauseRequests.push_back(recording);
}

void TestHost::stitchFiles(const std::shared_ptr<model::Recording>& recording) {
    stitchRequests.push_back(recording);
}

std::unique_ptr<model::ManagedObjectContext> openContext(const fs::path& dir, model::RecordingHost* host,
                                                         const model::StoreOptions& options) {
    core::Error error;
    auto context = model::ManagedObjectContext::open(dir / "Orvanta Recorder.sqlite", host, options, &error);
    if (!context) throw std::runtime_error("opening the store failed: " + error.localizedDescription());
    return context;
}

model::Date utc(int y, unsigned mo, unsigned d, int h, int mi, int s) {
    using namespace std::chrono;
    return time_point_cast<system_clock::duration>(sys_days{year{y} / mo / d} + hours{h} + minutes{mi} + seconds{s});
}

TestStore::TestStore() : context(openContext(dir.path(), &host)) { host.setContext(context.get()); }

TestStore::~TestStore() {
    // Recordings held by the host must not outlive their context.
    host.clearRequests();
    host.setContext(nullptr);
    context.reset();
}

void TestStore::reopen() {
    host.clearRequests();
    host.setContext(nullptr);
    context.reset();
    context = openContext(dir.path(), &host);
    host.setContext(context.get());
}

}  // namespace orvanta::test
