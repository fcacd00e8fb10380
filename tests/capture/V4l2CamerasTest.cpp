// Cameras listed from the video4linux folder of sysfs, and the watch on the device folder.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "capture/devices/V4l2Cameras.h"
#include "capture/devices/V4l2Monitor.h"
#include "support/Latch.h"
#include "support/TempDir.h"

using namespace orvanta;
using namespace orvanta::capture;
namespace fs = std::filesystem;

namespace {

struct FakeNode {
    std::string entry;                 // "video0", "vbi0", ...
    std::optional<std::string> name;   // content of "name"; nothing: no file
    std::optional<std::string> index;  // content of "index"; nothing: no file
};

void writeFile(const fs::path& file, const std::string& text) {
    std::ofstream(file) << text;
}

// A sysfs video4linux folder holding the given nodes.
void makeSysfs(const fs::path& root, const std::vector<FakeNode>& nodes) {
    fs::create_directories(root);
    for (const FakeNode& node : nodes) {
        fs::create_directories(root / node.entry);
        if (node.name) writeFile(root / node.entry / "name", *node.name);
        if (node.index) writeFile(root / node.entry / "index", *node.index);
    }
}

struct Listed {
    std::string node;  // the device node's file name
    std::string name;
    bool operator==(const Listed&) const = default;
};

void PrintTo(const Listed& listed, std::ostream* out) { *out << listed.node << " \"" << listed.name << "\""; }

struct ListingCase {
    const char* what;
    std::vector<FakeNode> nodes;
    std::vector<Listed> expected;
};

}  // namespace

TEST(V4l2Cameras, ListsCaptureNodesInNodeOrderWithDistinctNames) {
    const std::vector<ListingCase> cases = {
        {"an empty folder", {}, {}},
        {"one camera", {{"video0", "Integrated Camera\n", "0\n"}}, {{"video0", "Integrated Camera"}}},
        {"the metadata node of a camera is skipped",
         {{"video0", "Integrated Camera\n", "0\n"}, {"video1", "Integrated Camera\n", "1\n"}},
         {{"video0", "Integrated Camera"}}},
        {"cameras of the same name are told apart",
         {{"video0", "USB Camera\n", "0\n"},
          {"video1", "USB Camera\n", "1\n"},
          {"video2", "USB Camera\n", "0\n"},
          {"video3", "USB Camera\n", "1\n"},
          {"video4", "USB Camera\n", "0\n"}},
         {{"video0", "USB Camera"}, {"video2", "USB Camera (2)"}, {"video4", "USB Camera (3)"}}},
        {"a name that looks like a numbered one is not reused",
         {{"video0", "Cam (2)\n", "0\n"}, {"video1", "Cam\n", "0\n"}, {"video2", "Cam\n", "0\n"}},
         {{"video0", "Cam (2)"}, {"video1", "Cam"}, {"video2", "Cam (3)"}}},
        {"sorted by node number, not by text",
         {{"video10", "Ten\n", "0\n"}, {"video2", "Two\n", "0\n"}, {"video1", "One\n", "0\n"}},
         {{"video1", "One"}, {"video2", "Two"}, {"video10", "Ten"}}},
        {"other kinds of nodes are not cameras",
         {{"vbi0", "Teletext\n", "0\n"},
          {"radio0", "Radio\n", "0\n"},
          {"v4l-subdev0", "Sensor\n", "0\n"},
          {"videoX", "Odd\n", "0\n"},
          {"video", "Bare\n", "0\n"},
          {"video5", "Webcam\n", "0\n"}},
         {{"video5", "Webcam"}}},
        {"no index file: taken as the first node; no name: a generic one",
         {{"video0", "Old Driver \n", std::nullopt}, {"video1", std::nullopt, "0"}},
         {{"video0", "Old Driver"}, {"video1", "Camera"}}},
    };
    for (const ListingCase& c : cases) {
        SCOPED_TRACE(c.what);
        test::TempDir dir;
        makeSysfs(dir.path() / "sys", c.nodes);
        const auto cameras = V4l2Cameras(dir.path() / "sys", dir.path() / "dev").list();
        std::vector<Listed> listed;
        for (const auto& camera : cameras) {
            const fs::path address = camera->address;
            EXPECT_EQ(address.parent_path(), dir.path() / "dev");
            EXPECT_EQ(camera->uniqueID, "v4l2:" + camera->address);
            EXPECT_EQ(camera->mediaTypes, std::vector<MediaType>{MediaType::Video});
            listed.push_back({address.filename().string(), camera->localizedDisplayName});
        }
        EXPECT_EQ(listed, c.expected);
    }
}

TEST(V4l2Cameras, NoFolderMeansNoCameras) {
    test::TempDir dir;
    EXPECT_TRUE(V4l2Cameras(dir.path() / "missing", dir.path()).list().empty());
}

TEST(V4l2Cameras, StableLinkNamesTheCameraWhenThereIsOne) {
    test::TempDir dir;
    const fs::path dev = dir.path() / "dev";
    makeSysfs(dir.path() / "sys", {{"video0", "Logi Cam\n", "0\n"}, {"video2", "Capture Card\n", "0\n"}});
    fs::create_directories(dev / "v4l" / "by-id");
    writeFile(dev / "video0", "");
    writeFile(dev / "video1", "");
    writeFile(dev / "video2", "");
    // The metadata node's link must not be taken for the capture node.
    fs::create_symlink("../../video1", dev / "v4l" / "by-id" / "usb-Logi_Cam_1234-video-index1");
    fs::create_symlink("../../video0", dev / "v4l" / "by-id" / "usb-Logi_Cam_1234-video-index0");

    const auto cameras = V4l2Cameras(dir.path() / "sys", dev).list();
    ASSERT_EQ(cameras.size(), 2u);
    EXPECT_EQ(cameras[0]->uniqueID, "v4l2:" + (dev / "v4l" / "by-id" / "usb-Logi_Cam_1234-video-index0").string());
    EXPECT_EQ(cameras[0]->address, (dev / "video0").string());
    EXPECT_EQ(cameras[1]->uniqueID, "v4l2:" + (dev / "video2").string());
    EXPECT_EQ(cameras[1]->address, (dev / "video2").string());
}

TEST(V4l2Monitor, DeviceFolderWatchReportsVideoNodesComingAndGoing) {
    test::TempDir dir;
    std::mutex mutex;
    std::condition_variable changed;
    int calls = 0;
    V4l2Monitor monitor(
        [&] {
            std::lock_guard lock(mutex);
            ++calls;
            changed.notify_all();
        },
        V4l2Monitor::Source::DeviceFolder, dir.path());
    ASSERT_TRUE(monitor.watching());
    EXPECT_FALSE(monitor.usesUdev());

    auto waitForCall = [&](int previous) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, test::kGenerous, [&] { return calls > previous; });
    };
    writeFile(dir.path() / "video3", "");
    EXPECT_TRUE(waitForCall(0)) << "a new node";
    int seen;
    {
        std::lock_guard lock(mutex);
        seen = calls;
    }
    fs::remove(dir.path() / "video3");
    EXPECT_TRUE(waitForCall(seen)) << "a removed node";
}

TEST(V4l2Monitor, EndsCleanlyWithOrWithoutAFolder) {
    test::TempDir dir;
    std::atomic<int> calls{0};
    {
        V4l2Monitor monitor([&] { ++calls; }, V4l2Monitor::Source::DeviceFolder, dir.path() / "missing");
        EXPECT_FALSE(monitor.watching());
    }
    { V4l2Monitor monitor([&] { ++calls; }, V4l2Monitor::Source::DeviceFolder, dir.path()); }
    EXPECT_EQ(calls.load(), 0);
}
