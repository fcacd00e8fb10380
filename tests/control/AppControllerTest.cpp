#include "control/AppController.h"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "core/Paths.h"
#include "core/SettingsKeys.h"
#include "core/Util.h"
#include "model/ManagedObjectContext.h"
#include "model/Recording.h"
#include "support/Files.h"
#include "support/LogCapture.h"
#include "support/ModelFixture.h"
#include "support/ScopedEnvironment.h"
#include "support/UserFolders.h"

using namespace orvanta;
using namespace orvanta::control;
using core::Alert;
using core::AppUserInterface;
namespace fs = std::filesystem;

namespace {

// Answers alerts from a script and records everything the application asked of the user.
class RecordingUserInterface : public AppUserInterface {
public:
    std::vector<Alert> alerts, sheets;
    std::vector<int> answers;  // modal answers, in order; 0 when exhausted
    int terminateRequests = 0;
    std::vector<bool> terminateReplies;

    int runModalAlert(const Alert& alert) override {
        alerts.push_back(alert);
        if (answers.empty()) return 0;
        int a = answers.front();
        answers.erase(answers.begin());
        return a;
    }
    void showSheet(const Alert& alert, std::function<void(int)> completion) override {
        sheets.push_back(alert);
        completion(0);
    }
    void terminateApplication() override { ++terminateRequests; }
    void replyToApplicationShouldTerminate(bool shouldTerminate) override { terminateReplies.push_back(shouldTerminate); }
};

struct AppFixture : ::testing::Test {
    test::UserFolders folders;
    test::LogCapture log;
    core::Settings settings{core::settingsFilePath()};
    core::RunLoop loop;
    RecordingUserInterface ui;
    std::unique_ptr<AppController> app = std::make_unique<AppController>(settings, loop, ui);
    std::vector<std::string> calls;

    void hookCalls() {
        auto& h = app->hooks();
        h.showLoginWindow = [this] { calls.push_back("showLoginWindow"); };
        h.retrieveSettings = [this] { calls.push_back("retrieveSettings"); };
        h.logIn = [this] { calls.push_back("logIn"); };
        h.registerHotkeys = [this] { calls.push_back("registerHotkeys"); };
        h.loadPreview = [this] { calls.push_back("loadPreview"); };
    }
};

void writeCrashLog(const fs::path& folder, const std::string& stamp, fs::file_time_type when) {
    fs::create_directories(folder);
    fs::path p = folder / ("orvanta-recorder_" + stamp + "_host.crash");
    std::ofstream(p) << "Signal: SIGSEGV\n";
    fs::last_write_time(p, when);
}

std::vector<fs::path> reportsOnDesktop(const fs::path& desktop) {
    std::vector<fs::path> out;
    for (auto& e : fs::directory_iterator(desktop)) out.push_back(e.path());
    return out;
}

}  // namespace

TEST_F(AppFixture, QuitIsRefusedWhileRecording) {
    bool recording = true;
    app->hooks().isRecording = [&] { return recording; };
    EXPECT_FALSE(app->applicationShouldTerminateAfterLastWindowClosed());
    ASSERT_EQ(ui.sheets.size(), 1u);
    EXPECT_EQ(ui.sheets[0].messageText, "Unable to quit while recording.");
    EXPECT_EQ(ui.sheets[0].informativeText, "You must stop recording before quitting the application.");
    EXPECT_EQ(ui.sheets[0].buttons, std::vector<std::string>{"Ok"});
    EXPECT_EQ(ui.terminateRequests, 0);
    recording = false;
    app->terminate();
    EXPECT_EQ(ui.terminateRequests, 1);
}

TEST_F(AppFixture, QuitWaitsForCancelledUploadsButNotForJoining) {
    EXPECT_EQ(app->applicationShouldTerminate(), TerminateReply::Now);

    auto& queue = app->uploadOperationQueue();
    std::atomic<bool> started{false};
    std::shared_ptr<core::Operation> upload;
    upload = core::BlockOperation::create([&] {
        started = true;
        // A cooperative upload: runs until it is cancelled.
        while (!upload->isCancelled()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    queue.addOperation(upload);
    app->stitchingOperationQueue().addOperation(core::BlockOperation::create([] {}));
    ASSERT_TRUE(loop.runUntil([&] { return started.load(); }, std::chrono::seconds(5)));

    EXPECT_EQ(app->applicationShouldTerminate(), TerminateReply::Later);
    EXPECT_TRUE(upload->isCancelled());
    ASSERT_TRUE(loop.runUntil([&] { return !ui.terminateReplies.empty(); }, std::chrono::seconds(10)));
    EXPECT_EQ(ui.terminateReplies, std::vector<bool>{true});
    EXPECT_TRUE(log.contains("Waiting for upload operations to complete"));
}

TEST_F(AppFixture, QueuesAreMadeOnceWithProcessorsPlusOne) {
    auto& a = app->uploadOperationQueue();
    auto& b = app->uploadOperationQueue();
    EXPECT_EQ(&a, &b);
    EXPECT_EQ(a.maxConcurrentOperationCount(), static_cast<int>(std::thread::hardware_concurrency()) + 1);
    EXPECT_NE(&a, &app->stitchingOperationQueue());
    EXPECT_TRUE(log.contains("-[AppController uploadOperationQueue] initializing NSOperationQueue with"));
}

TEST_F(AppFixture, AStoreThatCannotBeOpenedIsKeptAndReported) {
    fs::create_directories(AppController::applicationSupportFolder());
    fs::path file = AppController::managedObjectDataFile();
    std::ofstream(file) << std::string(2048, 'z');
    EXPECT_EQ(app->managedObjectContext(), nullptr);
    EXPECT_TRUE(log.contains("-[AppController persistentStoreCoordinator] ERROR:"));
    EXPECT_TRUE(ui.sheets.empty()) << "the alert comes a second later";
    ASSERT_TRUE(loop.runUntil([&] { return !ui.sheets.empty(); }, std::chrono::seconds(5)));
    EXPECT_EQ(ui.sheets[0].messageText, "Unable to upgrade your Orvanta Recorder");
    EXPECT_EQ(ui.sheets[0].buttons, std::vector<std::string>{"Exit"});
    EXPECT_NE(ui.sheets[0].informativeText.find("\n\nPlease accept our apologies for the inconvenience"),
              std::string::npos);
    EXPECT_EQ(ui.terminateRequests, 1);
    EXPECT_EQ(test::readFile(file), std::string(2048, 'z'));
}

TEST_F(AppFixture, SavingIsForTheMainThreadAndAFailedSaveCanBeRetried) {
    settings.setString(core::kRecordingFolder, folders.path("Documents").string());
    auto* ctx = app->managedObjectContext();
    ASSERT_TRUE(ctx);
    auto rec = ctx->insert<model::Recording>("Recording");
    rec->setValueForKey("FaultString", std::string(100000, 'f'));  // needs new pages
    std::thread other([&] { EXPECT_THROW(app->saveManagedObjects(), core::InternalInconsistency); });
    other.join();

    ctx->setMaxPageCount(1);  // the store may not grow: writing the new pages fails
    ui.answers = {1, 0};      // "Try Again", then "Quit"
    app->saveManagedObjects();
    ASSERT_EQ(ui.alerts.size(), 2u);
    EXPECT_EQ(ui.alerts[0].messageText, "Error saving Recording Database");
    EXPECT_EQ(ui.alerts[0].buttons, (std::vector<std::string>{"Quit", "Try Again"}));
    EXPECT_EQ(ui.terminateRequests, 1);
    EXPECT_TRUE(ctx->hasChanges()) << "nothing is dropped";

    ctx->setMaxPageCount(1 << 30);
    app->saveManagedObjects();
    EXPECT_FALSE(ctx->hasChanges());
}

TEST_F(AppFixture, LaunchDecidesHowToLogIn) {
    struct Case {
        bool lastLogIn, oauth, saveLogin;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {false, false, true, {"showLoginWindow", "loadPreview"}},
        {true, false, true, {"retrieveSettings", "logIn", "loadPreview"}},
        {false, true, true, {"retrieveSettings", "logIn", "loadPreview"}},
        {true, false, false, {"loadPreview"}},
    };
    for (const auto& c : cases) {
        for (auto key : {core::kLastLogIn, core::kOAuthURL, core::kSaveLogin}) settings.removeObjectForKey(key);
        if (c.lastLogIn) settings.setDate(core::kLastLogIn, std::chrono::system_clock::now());
        if (c.oauth) settings.setString(core::kOAuthURL, "http://h/x");
        settings.setBool(core::kSaveLogin, c.saveLogin);
        app = std::make_unique<AppController>(settings, loop, ui);
        calls.clear();
        hookCalls();
        app->applicationDidFinishLaunching();
        EXPECT_TRUE(app->launched());
        EXPECT_EQ(calls, c.expected);
    }
    EXPECT_TRUE(log.contains("Orvanta Recorder launched version"));
}

TEST_F(AppFixture, HotKeysAreRegisteredUnlessTurnedOff) {
    hookCalls();
    app->awakeFromNib();
    settings.setBool(core::kHotkeysEnabled, true);
    app->awakeFromNib();
    settings.setBool(core::kHotkeysEnabled, false);
    app->awakeFromNib();
    EXPECT_EQ(calls, (std::vector<std::string>{"registerHotkeys", "registerHotkeys"}));
}

TEST_F(AppFixture, WebLoginCompletesThroughTheUrl) {
    settings.setString(core::kLogin, "old");
    settings.setString(core::kAuthCookie, "cookie");
    hookCalls();
    std::string query = "user=a&key=b";
    app->getUrl("orvanta-recorder://login.example.edu:8080/done?" + core::encodeBase64(query));
    EXPECT_EQ(settings.stringForKey(core::kOAuthURL), "orvanta-recorder://login.example.edu:8080/done?" + query);
    EXPECT_EQ(settings.stringForKey(core::kServer), "login.example.edu");
    EXPECT_TRUE(settings.boolForKey(core::kSaveLogin));
    EXPECT_FALSE(settings.contains(core::kLogin));
    EXPECT_FALSE(settings.contains(core::kAuthCookie));
    EXPECT_TRUE(calls.empty()) << "before launch the launch sequence logs in";
    app->applicationDidFinishLaunching();
    calls.clear();
    app->getUrl("orvanta-recorder://h/x");
    EXPECT_EQ(calls, std::vector<std::string>{"logIn"});
}

TEST(LoginUrlTest, OnlyASingleQueryIsDecoded) {
    struct Case {
        std::string in, out;
    };
    const Case cases[] = {
        {"s://h/p?" + core::encodeBase64(std::string("a=1&b=2")), "s://h/p?a=1&b=2"},
        {"s://h/p?a?b", "s://h/p?a?b"},
        {"s://h/p", "s://h/p"},
        {"s://h/p?", "s://h/p?"},
    };
    for (const auto& c : cases) EXPECT_EQ(decodeLoginUrl(c.in), c.out) << c.in;
    EXPECT_EQ(urlHost("http://user@host.edu:81/a?b"), "host.edu");
    EXPECT_EQ(urlHost("no scheme"), "");
}

TEST_F(AppFixture, ACrashLogIsReportedOnce) {
    auto now = fs::file_time_type::clock::now();
    writeCrashLog(core::diagnosticReportsFolder(), "2026-01-02-030405", now - std::chrono::hours(48));
    app->applicationDidFinishLaunching();
    auto reports = reportsOnDesktop(folders.path("Desktop"));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].filename(), "OrvantaRecorderCrashReport_2026-01-02-030405.zip");
    std::string listing = test::commandOutput("unzip -l '" + reports[0].string() + "'");
    EXPECT_NE(listing.find("OrvantaRecorderCrashReport_2026-01-02-030405/orvanta-recorder_2026-01-02-030405_host.crash"),
              std::string::npos)
        << listing;
    EXPECT_FALSE(fs::exists(folders.path("tmp") / "OrvantaRecorderCrashReport_2026-01-02-030405"));

    app->applicationDidFinishLaunching();
    EXPECT_EQ(reportsOnDesktop(folders.path("Desktop")).size(), 1u) << "nothing new";

    // A newer one in the machine's folder wins over the user's.
    writeCrashLog(folders.path("var-crash"), "2026-01-05-000000", now - std::chrono::hours(1));
    app->applicationDidFinishLaunching();
    EXPECT_EQ(reportsOnDesktop(folders.path("Desktop")).size(), 2u);
    EXPECT_TRUE(fs::exists(folders.path("Desktop") / "OrvantaRecorderCrashReport_2026-01-05-000000.zip"));
}
