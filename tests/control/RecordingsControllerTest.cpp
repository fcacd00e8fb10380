#include "control/RecordingsController.h"

#include <gtest/gtest.h>

#include <fstream>

#include <nlohmann/json.hpp>

#include "control/ApplicationControllers.h"
#include "core/Paths.h"
#include "core/SettingsKeys.h"
#include "model/FileUpload.h"
#include "model/Stream.h"
#include "service/RecorderService.h"
#include "support/DevServer.h"
#include "support/Files.h"
#include "support/ModelFixture.h"
#include "support/ScopedEnvironment.h"
#include "support/TempDir.h"
#include "support/TestUserInterface.h"
#include "support/UploadRecording.h"
#include "control/LoginTestSupport.h"

using namespace orvanta;
using namespace orvanta::control;
using model::Recording;
namespace fs = std::filesystem;

namespace {

// The folder chooser as the tests set it.
class TestChooser : public RecordingsFolderChooser {
public:
    model::ObjectPtr session;
    std::shared_ptr<model::SimpleSessionGroup> group;
    std::string name;
    std::vector<std::pair<std::string, std::string>> resets;
    std::vector<std::string> selectedSessionIDs;

    model::ObjectPtr selectedSession() const override { return session; }
    std::shared_ptr<model::SimpleSessionGroup> selectedSessionGroup() const override { return group; }
    std::string sessionName() const override { return name; }
    void resetWithSessionGroupName(const std::string& groupName, const std::string& sessionName) override {
        resets.emplace_back(groupName, sessionName);
        name = sessionName;
    }
    void selectSessionWithPublicID(const std::string& id) override { selectedSessionIDs.push_back(id); }
    core::Subscription observeChoice(std::function<void()> callback) override { return changed.connect(std::move(callback)); }

    void choose(std::shared_ptr<model::SimpleSessionGroup> g, std::string n) {
        group = std::move(g);
        name = std::move(n);
        changed.emit();
    }

private:
    core::Signal<> changed;
};

// Per-user folders in a temporary tree, the application object and its controllers on them, and
// the recordings list with a test chooser.
struct RecordingsFixture : ::testing::Test {
    test::TempDir home;
    test::ScopedEnvironment env;
    bool foldersSet = [this] {
        for (auto [var, sub] : std::initializer_list<std::pair<const char*, const char*>>{
                 {"XDG_DATA_HOME", "data"}, {"XDG_CONFIG_HOME", "config"}, {"XDG_STATE_HOME", "state"},
                 {"XDG_DOCUMENTS_DIR", "Documents"}}) {
            fs::create_directories(home.path() / sub);
            env.set(var, (home.path() / sub).string());
        }
        return true;
    }();
    fs::path recordingFolder = home.path() / "Recordings";
    core::Settings settings{core::settingsFilePath()};
    core::RunLoop loop;
    test::TestUserInterface ui;
    std::unique_ptr<AppController> app;
    std::unique_ptr<ApplicationControllers> controllers;
    login_test::RecordingLoginUi loginUi;
    TestChooser chooser;
    std::unique_ptr<RecordingsController> list;
    std::vector<std::string> openedFolders;

    RecordingsFixture() { settings.setString(core::kRecordingFolder, recordingFolder.string()); }
    ~RecordingsFixture() override {
        list.reset();
        controllers.reset();
        app.reset();
    }

    void start() {
        app = std::make_unique<AppController>(settings, loop, ui);
        controllers = std::make_unique<ApplicationControllers>(*app, ui, &loginUi);
        RecordingsController::Options options;
        options.refreshInterval = 0.2;
        options.openFolder = [this](const std::string& folder) { openedFolders.push_back(folder); };
        list = std::make_unique<RecordingsController>(*controllers, &chooser, options);
    }
    model::ManagedObjectContext& store() { return *app->managedObjectContext(); }

    std::shared_ptr<Recording> addRecording(int state, int startMinute, bool withSession = false) {
        auto r = list->newObject();
        r->setState(state);
        r->setValueForKey("StartTime", test::utc(2026, 5, 1, 10, startMinute, 0));
        r->setValueForKey("SessionName", "Lecture " + std::to_string(startMinute));
        if (withSession) r->setValueForKey("SessionID", std::string("S-") + std::to_string(startMinute));
        list->rearrangeObjects();
        return r;
    }
    // A camera stream with a movie file of a few bytes.
    void addCamera(const std::shared_ptr<Recording>& r) {
        auto s = store().insert<model::Stream>("Stream");
        s->setValueForKey("Tag", std::string(model::kTagCamera));
        s->setValueForKey("Description", std::string("Camera"));
        r->setVideoStream(s);
        fs::create_directories(r->RecordingPath());
        std::ofstream(s->FilePath()) << "movie";
    }
};

}  // namespace

TEST(RecordingActions, ActionAndLabelFollowStateLoginAndChooser) {
    test::TestStore store;
    struct Case {
        int state;  // 0: no selection
        bool finalized, withSession, loggedIn, chooserVisible;
        RecordingAction action;
        const char* label;
    };
    using A = RecordingAction;
    const Case cases[] = {
        {0, false, false, true, false, A::ChooseFolderAndUpload, "Choose Folder and Upload"},
        {0, false, false, false, false, A::LoginToUpload, "Login to Upload"},
        {0, false, false, true, true, A::None, ""},
        {model::kStatePostProcessing, false, false, true, false, A::PostProcessing, "Post-Processing..."},
        {model::kStatePostProcessing, false, false, false, true, A::PostProcessing, "Post-Processing..."},
        {model::kStateUploading, true, true, false, false, A::LoginToUpload, "Login to Upload"},
        {model::kStateUploading, true, true, true, false, A::PauseUpload, "Pause Upload"},
        {model::kStateUploading, false, true, true, false, A::Finalizing, "Finalizing Recording..."},
        {model::kStatePaused, true, true, true, false, A::ResumeUpload, "Resume Upload"},
        {model::kStatePaused, true, true, false, false, A::LoginToUpload, "Login to Upload"},
        {model::kStateUploadComplete, true, true, true, false, A::Delete, "Delete"},
        {model::kStateUploadComplete, true, true, false, true, A::Delete, "Delete"},
        {model::kStateFailed, false, true, true, false, A::Retry, "Retry"},
        {model::kStateFailed, false, true, false, false, A::LoginToUpload, "Login to Upload"},
        {model::kStateFailed, false, false, true, false, A::ChooseFolderAndUpload, "Choose Folder and Upload"},
        {model::kStateFailed, false, false, true, true, A::ChooseFolderAndUpload, "Choose Folder and Upload"},
        {model::kStateFailed, false, false, false, false, A::LoginToUpload, "Login to Upload"},
        {model::kStateReady, false, false, true, false, A::ChooseFolderAndUpload, "Choose Folder and Upload"},
        {model::kStateReady, false, false, false, false, A::LoginToUpload, "Login to Upload"},
        {model::kStateReady, false, false, true, true, A::None, ""},
        {model::kStateReady, false, false, false, true, A::None, ""},
        {model::kStateStopped, false, false, true, false, A::ChooseFolderAndUpload, "Choose Folder and Upload"},
        {model::kStateRecording, false, false, false, false, A::LoginToUpload, "Login to Upload"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "state " << c.state << " finalized " << c.finalized << " session "
                                        << c.withSession << " logged in " << c.loggedIn << " chooser "
                                        << c.chooserVisible);
        std::shared_ptr<Recording> r;
        if (c.state) {
            r = store.context->insert<Recording>("Recording");
            r->setState(c.state);
            r->setValueForKey("IsFinalized", c.finalized);
            if (c.withSession) r->setValueForKey("SessionID", std::string("S-1"));
        }
        auto action = actionForRecording(r.get(), c.loggedIn, c.chooserVisible);
        EXPECT_EQ(action, c.action);
        EXPECT_EQ(actionButtonText(action), c.label);
    }
}

TEST_F(RecordingsFixture, ListIsNewestFirstAndTheButtonFollowsTheSelectedRecording) {
    start();
    EXPECT_FALSE(list->hasRecordings());
    auto middle = addRecording(model::kStateReady, 20);
    auto newest = addRecording(model::kStateUploading, 40, true);
    auto oldest = addRecording(model::kStateUploadComplete, 5, true);
    auto undated = list->newObject();
    EXPECT_TRUE(list->hasRecordings());
    EXPECT_EQ(list->arrangedObjects(), (std::vector<std::shared_ptr<Recording>>{newest, middle, oldest, undated}));

    EXPECT_EQ(list->actionButton().get().label, "Login to Upload");
    app->loggedIn().set(true);
    EXPECT_EQ(list->actionButton().get().label, "Choose Folder and Upload") << "no selection, logged in";

    // An upload whose finalize step has not succeeded yet: disabled until it has.
    list->setSelectedRecording(newest);
    EXPECT_EQ(list->actionButton().get(),
              (RecordingsController::ActionButton{RecordingAction::Finalizing, "Finalizing Recording...", false}));
    newest->setValueForKey("IsFinalized", true);
    EXPECT_EQ(list->actionButton().get(),
              (RecordingsController::ActionButton{RecordingAction::PauseUpload, "Pause Upload", true}));
    app->loggedIn().set(false);
    EXPECT_EQ(list->actionButton().get().label, "Login to Upload");
    list->actionButtonClick(0);
    EXPECT_EQ(loginUi.sheetsShown, 1);

    // Changes of a recording no longer selected are not followed.
    list->setSelectedRecording(oldest);
    EXPECT_EQ(list->actionButton().get().label, "Delete");
    newest->setState(model::kStatePostProcessing);
    EXPECT_EQ(list->actionButton().get().label, "Delete");
}

TEST_F(RecordingsFixture, StreamChooserAndPreviewFollowTheSelectedRecordingsStreams) {
    start();
    auto withCamera = addRecording(model::kStateReady, 10);
    addCamera(withCamera);
    auto live = addRecording(model::kStateRecording, 20);
    addCamera(live);
    auto empty = addRecording(model::kStateReady, 30);

    list->setSelectedRecording(withCamera);
    EXPECT_EQ(list->streamChooser().get(), (RecordingsController::StreamChooser{true, false, 0, "Camera", true}));
    EXPECT_EQ(list->previewFile(), withCamera->VideoStream()->FilePath());
    list->setSelectedRecording(live);
    EXPECT_EQ(list->streamChooser().get(), RecordingsController::StreamChooser{});
    EXPECT_FALSE(list->previewFile());
    list->setSelectedRecording(empty);
    EXPECT_EQ(list->streamChooser().get(), RecordingsController::StreamChooser{});
}

TEST_F(RecordingsFixture, MenuOffersDeleteShowFilesAndCopyByTheRules) {
    start();
    auto ready = addRecording(model::kStateReady, 10);
    auto done = addRecording(model::kStateUploadComplete, 20, true);
    auto live = addRecording(model::kStateRecording, 30);
    std::vector<std::vector<std::string>> shown;
    auto sub = list->actionMenuRequested.connect([&](const std::vector<std::string>& items) { shown.push_back(items); });

    list->setSelectedRecording(ready);
    list->actionButtonClick(1);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0], (std::vector<std::string>{"", "Delete", "Show Files"}));
    settings.setBool(core::kAllowLocalCopyAction, true);
    EXPECT_EQ(list->actionMenuItems(), (std::vector<std::string>{"", "Delete", "Show Files", "Copy (local)"}));
    list->setSelectedRecording(done);
    EXPECT_EQ(list->actionMenuItems(), (std::vector<std::string>{"", "Show Files", "Copy (local)"}))
        << "the button already deletes";
    list->setSelectedRecording(live);
    EXPECT_EQ(list->actionMenuItems(), (std::vector<std::string>{"", "Show Files"})) << "still being recorded";

    list->chooseMenuItem("Show Files");
    EXPECT_EQ(openedFolders, std::vector<std::string>{live->RecordingPath()});
    list->chooseMenuItem("Delete");
    EXPECT_TRUE(ui.sheets.empty()) << "a recording still being recorded is not offered for deletion";
}

TEST_F(RecordingsFixture, DeletionAsksFirstAndCancelKeepsEverything) {
    start();
    auto done = addRecording(model::kStateUploadComplete, 10, true);
    auto offline = addRecording(model::kStateReady, 20);
    addCamera(done);
    addCamera(offline);
    app->saveManagedObjects();
    std::string donePath = done->RecordingPath(), offlinePath = offline->RecordingPath();

    list->setSelectedRecording(offline);
    list->chooseMenuItem("Delete");
    ASSERT_EQ(ui.sheets.size(), 1u);
    EXPECT_EQ(ui.sheets[0], (core::Alert{core::Alert::Style::Warning, "Are you sure you want to delete this recording?",
                                         "This recording has not yet been uploaded to the server. If you delete the "
                                         "recording it will be gone permanently.",
                                         {"Delete", "Cancel"}}));
    ui.answerSheet(1);
    EXPECT_EQ(list->arrangedObjects().size(), 2u);
    EXPECT_TRUE(fs::exists(offline->VideoStream()->FilePath()));
    EXPECT_FALSE(offline->isDeleted());

    list->setSelectedRecording(done);
    list->actionButtonClick(0);  // "Delete"
    ASSERT_EQ(ui.sheets.size(), 2u);
    EXPECT_EQ(ui.sheets[1].informativeText,
              "This recording has already been uploaded to the server.  If you delete the recording it will remain "
              "on the server.");
    ui.answerSheet(0);
    EXPECT_EQ(list->arrangedObjects(), std::vector<std::shared_ptr<Recording>>{offline});
    EXPECT_FALSE(list->selectedRecording());
    EXPECT_FALSE(fs::exists(donePath));
    EXPECT_TRUE(fs::exists(offlinePath));

    // The deletion is saved.
    list.reset();
    controllers.reset();
    app.reset();
    start();
    ASSERT_EQ(list->arrangedObjects().size(), 1u);
    EXPECT_EQ(list->arrangedObjects()[0]->Guid(), offline->Guid());
}

TEST_F(RecordingsFixture, LocalCopyNeedsTheSettingAndIsListedAtOnce) {
    start();
    auto source = addRecording(model::kStateUploadComplete, 10, true);
    addCamera(source);
    list->setSelectedRecording(source);
    EXPECT_FALSE(list->copyRecording()) << "local copies are off by default";
    EXPECT_EQ(list->arrangedObjects().size(), 1u);

    settings.setBool(core::kAllowLocalCopyAction, true);
    list->chooseMenuItem("Copy (local)");
    ASSERT_EQ(list->arrangedObjects().size(), 2u);
    auto copy = list->arrangedObjects()[0] == source ? list->arrangedObjects()[1] : list->arrangedObjects()[0];
    EXPECT_EQ(copy->SessionName(), "Lecture 10 (Copy)");
    EXPECT_EQ(copy->State(), model::kStateReady);
    EXPECT_TRUE(test::sameBytes(source->VideoStream()->FilePath(), copy->VideoStream()->FilePath()));
    EXPECT_EQ(fs::path(copy->RecordingPath()).parent_path(), recordingFolder);
}

// Against the reference server: a completed recording committed into another folder is sent again
// from the start into a new session there, and the status refresh brings its viewer links.
TEST_F(RecordingsFixture, ReUploadIntoAnotherFolderStartsOverAndTheRefreshBringsTheLinks) {
    test::DevServer server({"--quiet"});
    auto state = nlohmann::json::parse(test::commandOutput("curl -s " + server.baseUrl() + "/devserver/state"));
    std::string firstFolder = state["sessions"][0]["folder"], firstName = state["sessions"][0]["folderName"];
    std::vector<test::LocalFile> files;
    std::string guid = test::makeUploadRecording(core::applicationSupportFolder(), home.path() / "files",
                                                 server.serverName(), firstFolder, firstName, {150000, 90000}, files);
    settings.setString(core::kServer, server.serverName());
    settings.setString(core::kLogin, "presenter");
    settings.setDouble(core::kUploadPollingInterval, 0.2);
    start();
    controllers->loginController().password().set("presenter");
    controllers->loginController().logIn();
    ASSERT_TRUE(loop.runUntil([&] { return app->isLoggedIn(); }, std::chrono::seconds(20)));
    EXPECT_TRUE(list->isUpdating());

    ASSERT_EQ(list->arrangedObjects().size(), 1u);
    auto rec = list->arrangedObjects()[0];
    ASSERT_EQ(rec->Guid(), guid);
    // The camera movie where a recording keeps it, so that no joining is needed.
    auto video = rec->VideoStream();
    ASSERT_TRUE(video);
    fs::create_directories(rec->RecordingPath());
    fs::rename(files[0].path, video->FilePath());
    files[0].path = video->FilePath();
    video->Files().at(0)->setValueForKey("localPath", files[0].path.string());
    app->saveManagedObjects();
    controllers->uploadController().uploadRecording(rec);
    ASSERT_TRUE(loop.runUntil([&] { return rec->State() == model::kStateUploadComplete; }, std::chrono::seconds(30)));
    std::string firstSession = rec->SessionID().value_or("");
    ASSERT_FALSE(firstSession.empty());

    // The refresh (every 0.2 s here) brings the server's status and the viewer address.
    ASSERT_TRUE(loop.runUntil([&] { return rec->ServerStatus() == "Completed"; }, std::chrono::seconds(20)));
    EXPECT_NE(rec->ViewerUrl().value_or("").find("Recorder/AuthRedirect.aspx"), std::string::npos) << *rec->ViewerUrl();
    EXPECT_NE(rec->ViewerUrl().value_or("").find("&user=presenter&pass="), std::string::npos) << *rec->ViewerUrl();
    EXPECT_TRUE(rec->ViewerLink());
    list->setUpdating(false);
    list->waitForRefresh();

    // Offer it again, into the second folder with a new session.
    auto groups = service::RecorderService(server.serverName()).GetSessionGroups();
    std::shared_ptr<model::SimpleSessionGroup> other;
    for (const auto& g : groups)
        if (g->stringValue("publicID") != firstFolder) other = g;
    ASSERT_TRUE(other);
    list->setSelectedRecording(rec);
    list->allowReUpload();
    EXPECT_TRUE(list->sessionChooserIsVisible().get());
    ASSERT_EQ(chooser.resets.size(), 1u);
    EXPECT_EQ(chooser.resets[0], std::make_pair(firstName, std::string()));
    EXPECT_FALSE(list->uploadEnabled().get()) << "no session name yet";
    chooser.choose(other, "Second showing");
    EXPECT_TRUE(list->uploadEnabled().get());

    list->auxActionButtonClick(0);
    EXPECT_FALSE(list->sessionChooserIsVisible().get());
    EXPECT_EQ(rec->SessionGroupID(), other->stringValue("publicID"));
    EXPECT_EQ(rec->SessionName(), "Second showing");
    EXPECT_FALSE(rec->SessionID()) << "the new session is made at upload time";
    EXPECT_FALSE(rec->ServerStatus());
    EXPECT_FALSE(rec->ViewerUrl());
    EXPECT_FALSE(rec->IsFinalized());
    for (const auto& s : rec->Streams())
        for (const auto& f : s->Files()) {
            EXPECT_FALSE(f->isUploaded());
            EXPECT_EQ(f->bytesUploaded(), 0u);
        }
    EXPECT_EQ(rec->uploadProgress(), 0.0f);
    EXPECT_TRUE(controllers->uploadController().isUploading(guid)) << rec->State() << " " << rec->DetailedStatus();

    ASSERT_TRUE(loop.runUntil([&] { return rec->State() == model::kStateUploadComplete && !controllers->uploadController().isUploading(guid); },
                              std::chrono::seconds(30)));
    std::string secondSession = rec->SessionID().value_or("");
    ASSERT_FALSE(secondSession.empty());
    EXPECT_NE(secondSession, firstSession);
    state = nlohmann::json::parse(test::commandOutput("curl -s " + server.baseUrl() + "/devserver/state"));
    fs::path storage = state["storage"].get<std::string>();
    for (const auto& f : files) {
        EXPECT_TRUE(test::sameBytes(f.path, storage / firstSession / f.remoteName));
        EXPECT_TRUE(test::sameBytes(f.path, storage / secondSession / f.remoteName));
    }
    bool inOtherFolder = false;
    for (const auto& s : state["sessions"])
        if (s["publicID"] == secondSession) inOtherFolder = s["folder"] == other->stringValue("publicID").value_or("");
    EXPECT_TRUE(inOtherFolder);
}
