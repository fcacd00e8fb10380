#include "support/ModelFixture.h"

#include <atomic>
#include <chrono>
#include <random>
#include <stdexcept>
#include <system_error>

#include <unistd.h>

namespace orvanta::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    const fs::path base = fs::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path candidate = base / ("orvanta-test-" + std::to_string(::getpid()) + "-" +
                                     std::to_string(counter++) + "-" + std::to_string(random()));
        std::error_code ec;
        if (fs::create_directory(candidate, ec)) {
            path_ = std::move(candidate);
            return;
        }
    }
    throw std::runtime_error("could not create a temporary directory under " + base.string());
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

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
