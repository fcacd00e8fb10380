#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/Error.h"
#include "core/Observable.h"
#include "core/RunLoop.h"
#include "model/ManagedObjectContext.h"
#include "model/RecordingHost.h"
#include "model/Value.h"
#include "support/TempDir.h"

namespace orvanta::test {

// The application around stored recordings, as tests need it: a settable login state, recordings
// under <root>/Recordings, saving that counts its calls (and keeps the last failure instead of
// raising it), main-thread work run inline, and the upload and joining requests recorded instead
// of performed.
class TestHost : public model::RecordingHost {
public:
    explicit TestHost(const std::filesystem::path& root);

    // The context saveManagedObjects saves; may be null.
    void setContext(model::ManagedObjectContext* context) { context_ = context; }
    void setLoggedIn(bool loggedIn) { loggedIn_.set(loggedIn); }

    bool isLoggedIn() const override { return loggedIn_.get(); }
    core::Subscription observeLoggedIn(std::function<void(bool)> callback) override;
    std::string recordingDirectory() override { return recordingDirectory_.string(); }
    void saveManagedObjects() override;
    void performOnMainThread(std::function<void()> task, bool wait) override;
    void uploadRecording(const std::shared_ptr<model::Recording>& recording) override;
    void pauseUploadForRecording(const std::shared_ptr<model::Recording>& recording) override;
    void stitchFiles(const std::shared_ptr<model::Recording>& recording) override;

    // Drops the recorded requests (and so the recordings they hold).
    void clearRequests();

    int saveCount = 0;
    std::optional<core::Error> lastSaveError;  // of the most recent save; reset by a good one
    std::vector<std::shared_ptr<model::Recording>> uploadRequests;
    std::vector<std::shared_ptr<model::Recording>> pauseRequests;
    std::vector<std::shared_ptr<model::Recording>> stitchRequests;

private:
    std::filesystem::path recordingDirectory_;
    model::ManagedObjectContext* context_ = nullptr;
    core::Property<bool> loggedIn_{false};
};

// A host whose "main thread" is the given loop: what is performed on the main thread runs when the
// test runs that loop.
class LoopHost : public TestHost {
public:
    LoopHost(const std::filesystem::path& root, core::RunLoop& loop) : TestHost(root), loop_(loop) {}
    void performOnMainThread(std::function<void()> task, bool wait) override {
        if (wait)
            loop_.postAndWait(std::move(task));
        else
            loop_.post(std::move(task));
    }

private:
    core::RunLoop& loop_;
};

// Opens (creating it when new) the store file "Orvanta Recorder.sqlite" in dir. Throws
// std::runtime_error with the error's description when the store does not open.
std::unique_ptr<model::ManagedObjectContext> openContext(const std::filesystem::path& dir,
                                                         model::RecordingHost* host,
                                                         const model::StoreOptions& options = {});

// The moment y-mo-d h:mi:s in UTC.
model::Date utc(int y, unsigned mo, unsigned d, int h, int mi, int s);

// A temp folder, a host and a store context in it, wired together.
struct TestStore {
    TempDir dir;
    TestHost host{dir.path()};
    std::unique_ptr<model::ManagedObjectContext> context;

    TestStore();
    ~TestStore();
    TestStore(const TestStore&) = delete;
    TestStore& operator=(const TestStore&) = delete;
    // Closes the context and opens the same store file again.
    void reopen();
};

}  // namespace orvanta::test
