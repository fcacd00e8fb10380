// orvanta: the recorder's engine from the command line.
#include <cstdio>
#include <cstring>
#include <string>

#include "control/AppController.h"
#include "core/CrashHandler.h"
#include "core/Log.h"
#include "core/Paths.h"
#include "core/Settings.h"
#include "model/Recording.h"
#include "orvanta/BuildInfo.h"

using namespace orvanta;

namespace {

// Alerts go to the terminal; the default button is taken.
class TerminalInterface : public core::AppUserInterface {
public:
    int runModalAlert(const core::Alert& alert) override {
        std::fprintf(stderr, "orvanta: %s\n%s\n", alert.messageText.c_str(), alert.informativeText.c_str());
        return 0;
    }
    void showSheet(const core::Alert& alert, std::function<void(int)> completion) override {
        completion(runModalAlert(alert));
    }
    void terminateApplication() override { terminated = true; }
    void replyToApplicationShouldTerminate(bool) override {}
    bool terminated = false;
};

void usage(FILE* out) {
    std::fprintf(out,
                 "usage: orvanta <command>\n"
                 "\n"
                 "commands:\n"
                 "  list        the recordings in the local store: Guid, status, length, folder\n"
                 "  --version   the program's version\n"
                 "  --help      this text\n");
}

int listRecordings(control::AppController& app) {
    auto* context = app.managedObjectContext();
    if (!context) {
        std::fprintf(stderr, "orvanta: cannot open the recording store %s\n",
                     control::AppController::managedObjectDataFile().c_str());
        return 1;
    }
    auto recordings = context->all<model::Recording>("Recording");
    std::sort(recordings.begin(), recordings.end(), [](const auto& a, const auto& b) {
        return a->dateValue("StartTime").value_or(model::Date{}) > b->dateValue("StartTime").value_or(model::Date{});
    });
    for (const auto& r : recordings)
        std::printf("%s\t%s\t%s\t%s\n", r->Guid().value_or("").c_str(), r->DetailedStatus().c_str(),
                    r->Length().value_or("").c_str(), r->folderDescription().text.c_str());
    if (recordings.empty()) std::printf("no recordings\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
        usage(argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    if (!std::strcmp(argv[1], "--version")) {
        std::printf("orvanta %s (%s)\n", build::kShortVersion, build::kBundleVersion);
        return 0;
    }
    core::Logger::instance().setLogFile(core::logFilePath());
    core::installCrashHandler(core::diagnosticReportsFolder(), build::kExecutableName);
    auto& settings = core::Settings::standard();
    core::applyPreferenceDefaults(settings, core::defaultRecordingDirectory().string());
    TerminalInterface ui;
    control::AppController app(settings, core::RunLoop::main(), ui);
    if (!std::strcmp(argv[1], "list")) return listRecordings(app);
    std::fprintf(stderr, "orvanta: unknown command '%s'\n", argv[1]);
    usage(stderr);
    return 2;
}
