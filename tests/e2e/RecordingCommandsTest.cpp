// The `orvanta show`, `copy` and `rm` commands as processes on a store of their own.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "control/RecordingLock.h"
#include "core/Paths.h"
#include "model/Recording.h"
#include "support/ChildProcess.h"
#include "support/ModelFixture.h"
#include "support/CommandLineHome.h"
#include "support/UploadRecording.h"

using namespace orvanta;
namespace fs = std::filesystem;

namespace {

constexpr const char* kOrvanta = ORVANTA_CLI_PATH;

class RecordingCommandsTest : public ::testing::Test {
protected:
    test::CommandLineHome home;
    std::vector<test::LocalFile> files;
    fs::path recordingFolder;

    void SetUp() override {
        recordingFolder = home.path() / "Recordings";
        writeSettings(false);
    }

    void writeSettings(bool allowLocalCopy) {
        home.writeSettings(R"({"RecordingFolder": ")" + recordingFolder.string() + R"(", "AllowLocalCopyAction": )" +
                           (allowLocalCopy ? "true" : "false") + "}");
    }

    static test::ProcessResult orvanta(std::vector<std::string> args) {
        args.insert(args.begin(), kOrvanta);
        return test::runProcess(args, {}, std::chrono::seconds(30));
    }

    // A recording with a camera and a screen movie, uploaded to a folder.
    std::string makeRecording() {
        return test::makeUploadRecording(core::applicationSupportFolder(), home.path() / "files", "127.0.0.1:9",
                                         "F-1", "Physics", {4000, 3000}, files);
    }

    // The lines of `orvanta show` that start with the key.
    static std::vector<std::vector<std::string>> linesOf(const std::string& output, const std::string& key) {
        std::vector<std::vector<std::string>> out;
        std::istringstream in(output);
        for (std::string line; std::getline(in, line);) {
            std::vector<std::string> fields;
            std::istringstream l(line);
            for (std::string f; std::getline(l, f, '\t');) fields.push_back(f);
            if (!fields.empty() && fields[0] == key) out.push_back(fields);
        }
        return out;
    }
};

}  // namespace

TEST_F(RecordingCommandsTest, UnknownGuidOrMissingArgumentIsReportedWithItsExitCode) {
    makeRecording();
    for (const char* command : {"show", "copy", "rm"}) {
        SCOPED_TRACE(command);
        std::vector<std::string> args{command, "0BADF00D-0000-0000-0000-000000000000"};
        if (std::string(command) == "rm") args.insert(args.begin() + 1, "--yes");
        auto r = orvanta(args);
        EXPECT_EQ(r.code, 1) << r.out << r.err;
        EXPECT_NE(r.err.find("orvanta " + std::string(command) +
                             ": no recording 0BADF00D-0000-0000-0000-000000000000 in the store"),
                  std::string::npos)
            << r.err;
        auto none = orvanta({command});
        EXPECT_EQ(none.code, 2) << none.err;
        EXPECT_NE(none.err.find("name the recording by its Guid"), std::string::npos) << none.err;
    }
}

TEST_F(RecordingCommandsTest, CopyThenShowGivesAnOfflineRecordingWithItsOwnFiles) {
    std::string guid = makeRecording();

    auto refused = orvanta({"copy", guid});
    EXPECT_EQ(refused.code, 1);
    EXPECT_NE(refused.err.find("local copies are switched off (setting AllowLocalCopyAction)"), std::string::npos)
        << refused.err;
    writeSettings(true);

    auto copied = orvanta({"copy", guid});
    ASSERT_EQ(copied.code, 0) << copied.out << copied.err;
    std::string copy = copied.out.substr(0, copied.out.find('\n'));
    EXPECT_TRUE(std::regex_match(copy, std::regex("[0-9A-F-]{36}"))) << copied.out;
    EXPECT_NE(copy, guid);

    auto shown = orvanta({"show", copy});
    ASSERT_EQ(shown.code, 0) << shown.err;
    EXPECT_EQ(linesOf(shown.out, "recording").at(0).at(1), copy);
    EXPECT_EQ(linesOf(shown.out, "status").at(0), (std::vector<std::string>{"status", "5", "Offline Recording"}));
    EXPECT_EQ(linesOf(shown.out, "session").at(0).at(1), "Lecture upload test (Copy)");
    EXPECT_EQ(linesOf(shown.out, "server").at(0).at(1), "-");
    fs::path folder = recordingFolder / copy;
    EXPECT_EQ(linesOf(shown.out, "files").at(0).at(1), folder.string());
    EXPECT_EQ(linesOf(shown.out, "manifest").at(0).at(1), (folder / (copy + ".xml")).string());

    auto streams = linesOf(shown.out, "stream");
    ASSERT_EQ(streams.size(), 2u) << shown.out;
    auto fileLines = linesOf(shown.out, "  file");
    ASSERT_EQ(fileLines.size(), 2u) << shown.out;
    std::set<std::string> copiedNames;
    for (const auto& f : fileLines) {
        fs::path local = f.at(1);
        EXPECT_EQ(local.parent_path(), folder);
        EXPECT_EQ(f.at(2), local.filename().string()) << "remote name is the local name";
        EXPECT_EQ(f.size(), 5u) << "the file is there: " << local;
        copiedNames.insert(local.filename().string());
    }
    for (const auto& s : streams)
        EXPECT_TRUE(copiedNames.count(s.at(1) + "." + s.at(2) + ".mov")) << s.at(1) << " has no movie of its own";
    // Byte for byte: the camera file of the source is the DV movie of the copy, the screen file the SCREEN one.
    for (const auto& s : streams) {
        fs::path copyFile = folder / (s.at(1) + "." + s.at(2) + ".mov");
        const auto& original = s.at(2) == "DV" ? files.at(0) : files.at(1);
        EXPECT_TRUE(test::sameBytes(original.path, copyFile)) << copyFile;
    }

    auto original = orvanta({"show", guid});
    ASSERT_EQ(original.code, 0);
    EXPECT_EQ(linesOf(original.out, "session").at(0).at(1), "Lecture upload test");
    EXPECT_EQ(linesOf(original.out, "folder").at(0).at(1), "Physics");
    auto list = orvanta({"list"});
    EXPECT_NE(list.out.find(guid), std::string::npos);
    EXPECT_NE(list.out.find(copy), std::string::npos);
}

TEST_F(RecordingCommandsTest, RmAsksOrNeedsYesAndRefusesARecordingStillBeingRecorded) {
    writeSettings(true);
    std::string guid = makeRecording();
    auto copied = orvanta({"copy", guid});
    ASSERT_EQ(copied.code, 0) << copied.err;
    std::string copy = copied.out.substr(0, copied.out.find('\n'));
    ASSERT_TRUE(fs::exists(recordingFolder / copy));

    auto unasked = orvanta({"rm", copy});
    EXPECT_EQ(unasked.code, 2) << unasked.err;
    EXPECT_NE(unasked.err.find("give --yes"), std::string::npos) << unasked.err;
    EXPECT_EQ(orvanta({"show", copy}).code, 0) << "not deleted without an answer";

    // Being recorded by a live process: its folder's recording lock is held.
    auto lock = control::RecordingLock::acquire((recordingFolder / copy).string());
    ASSERT_TRUE(lock);
    auto live = orvanta({"rm", "--yes", copy});
    EXPECT_EQ(live.code, 1);
    EXPECT_NE(live.err.find("cannot delete recording " + copy + ": it is still being recorded"), std::string::npos)
        << live.err;
    EXPECT_TRUE(fs::exists(recordingFolder / copy));

    lock.reset();
    auto removed = orvanta({"rm", "--yes", copy});
    EXPECT_EQ(removed.code, 0) << removed.err;
    EXPECT_EQ(removed.out, copy + " deleted\n");
    EXPECT_FALSE(fs::exists(recordingFolder / copy));
    EXPECT_EQ(orvanta({"show", copy}).code, 1);
    EXPECT_EQ(orvanta({"show", guid}).code, 0) << "the source is untouched";
    for (const auto& f : files) EXPECT_TRUE(fs::exists(f.path));
}
