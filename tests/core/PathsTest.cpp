#include "core/Paths.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "support/ScopedEnvironment.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using namespace orvanta::core;

namespace {

class PathsTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(root_ / "home");
        env_.set("HOME", (root_ / "home").string());
        for (const char* name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DOCUMENTS_DIR",
                                 "XDG_DESKTOP_DIR", "ORVANTA_MACHINE_CRASH_DIR", "TMPDIR"})
            env_.set(name, std::nullopt);
    }

    fs::path home() const { return root_ / "home"; }

    void writeUserDirs(const fs::path& configHome, const std::string& text) {
        fs::create_directories(configHome);
        std::ofstream(configHome / "user-dirs.dirs") << text;
    }

    orvanta::test::TempDir dir_;
    const fs::path root_ = dir_.path();
    orvanta::test::ScopedEnvironment env_;
};

TEST_F(PathsTest, XdgVariablesNameTheBaseFolders) {
    env_.set("XDG_DATA_HOME", (root_ / "data").string());
    env_.set("XDG_CONFIG_HOME", (root_ / "config").string());
    env_.set("XDG_STATE_HOME", (root_ / "state").string());

    EXPECT_EQ(applicationSupportFolder(), root_ / "data" / "Orvanta Recorder");
    EXPECT_EQ(configFolder(), root_ / "config" / "Orvanta Recorder");
    EXPECT_EQ(stateFolder(), root_ / "state" / "Orvanta Recorder");
    EXPECT_EQ(diagnosticReportsFolder(), root_ / "state" / "Orvanta Recorder" / "Logs" / "DiagnosticReports");
    EXPECT_EQ(logFilePath(), root_ / "state" / "Orvanta Recorder" / "orvanta.log");
    EXPECT_EQ(storeFilePath(), root_ / "data" / "Orvanta Recorder" / "Orvanta Recorder.sqlite");
    EXPECT_EQ(settingsFilePath(), root_ / "config" / "Orvanta Recorder" / "settings.json");
}

TEST_F(PathsTest, UnsetOrRelativeXdgVariablesFallBackToHome) {
    env_.set("XDG_DATA_HOME", "relative/data");  // not absolute: ignored
    env_.set("XDG_CONFIG_HOME", "");             // empty: ignored

    EXPECT_EQ(applicationSupportFolder(), home() / ".local/share" / "Orvanta Recorder");
    EXPECT_EQ(configFolder(), home() / ".config" / "Orvanta Recorder");
    EXPECT_EQ(stateFolder(), home() / ".local/state" / "Orvanta Recorder");
}

TEST_F(PathsTest, TemporaryAndMachineCrashFolders) {
    EXPECT_EQ(temporaryFolder(), fs::path("/tmp"));
    EXPECT_EQ(machineCrashFolder(), fs::path("/var/crash"));

    env_.set("TMPDIR", (root_ / "tmp").string());
    env_.set("ORVANTA_MACHINE_CRASH_DIR", (root_ / "crash").string());
    EXPECT_EQ(temporaryFolder(), root_ / "tmp");
    EXPECT_EQ(machineCrashFolder(), root_ / "crash");
}

TEST_F(PathsTest, DocumentsAndDesktopWithoutUserDirsFallBackToHome) {
    EXPECT_EQ(documentsFolder(), home() / "Documents");
    EXPECT_EQ(desktopFolder(), home() / "Desktop");
    EXPECT_EQ(defaultRecordingDirectory(), home() / "Documents" / "Orvanta Recordings");
}

TEST_F(PathsTest, EnvironmentOverridesUserDirsFile) {
    writeUserDirs(home() / ".config", "XDG_DOCUMENTS_DIR=\"$HOME/FromFile\"\n");
    env_.set("XDG_DOCUMENTS_DIR", (root_ / "docs").string());
    env_.set("XDG_DESKTOP_DIR", (root_ / "desk").string());

    EXPECT_EQ(documentsFolder(), root_ / "docs");
    EXPECT_EQ(desktopFolder(), root_ / "desk");
    EXPECT_EQ(defaultRecordingDirectory(), root_ / "docs" / "Orvanta Recordings");
}

TEST_F(PathsTest, UserDirsFileIsParsed) {
    const fs::path elsewhere = root_ / "Elsewhere Docs";
    const std::pair<std::string, fs::path> cases[] = {
        {"# comment\nXDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n", home() / "Dokumente"},
        {"  XDG_DOCUMENTS_DIR = \"$HOME/With \\\"Quote\\\"\"\n", home() / "With \"Quote\""},
        {"XDG_DOCUMENTS_DIR=\"$HOME/\"\n", home()},
        {"XDG_DOCUMENTS_DIR=\"" + elsewhere.string() + "\"\n", elsewhere},
        {"XDG_DOCUMENTS_DIR=\"$HOME/Old\"\nXDG_DOCUMENTS_DIR=\"$HOME/New\"\n", home() / "New"},
        // Lines that do not follow the format are skipped, and the default applies.
        {"XDG_DOCUMENTS_DIR=$HOME/Unquoted\nXDG_DOCUMENTS_DIR=\"relative\"\nXDG_DOCUMENTS_DIRX=\"$HOME/x\"\n"
         "XDG_DOCUMENTS_DIR=\"$HOMEx/y\"\n",
         home() / "Documents"},
    };
    for (const auto& [text, expected] : cases) {
        writeUserDirs(home() / ".config", text + "XDG_DESKTOP_DIR=\"$HOME/Desk\"\n");
        EXPECT_EQ(documentsFolder(), expected) << text;
        EXPECT_EQ(desktopFolder(), home() / "Desk") << text;
    }
}

TEST_F(PathsTest, UserDirsFileIsReadFromXdgConfigHome) {
    env_.set("XDG_CONFIG_HOME", (root_ / "cfg").string());
    writeUserDirs(root_ / "cfg", "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n");
    writeUserDirs(home() / ".config", "XDG_DESKTOP_DIR=\"$HOME/Ignored\"\n");
    EXPECT_EQ(desktopFolder(), home() / "Schreibtisch");
}

}  // namespace
