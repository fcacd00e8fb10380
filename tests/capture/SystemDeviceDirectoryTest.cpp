// The machine's device directory: cameras and microphones together, test devices, defaults,
// change events and devices that are gone.
#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "capture/devices/SystemDeviceDirectory.h"
#include "capture/devices/TestDevices.h"
#include "support/Latch.h"
#include "support/PulseServer.h"
#include "support/ScopedEnvironment.h"
#include "support/TempDir.h"

using namespace orvanta;
using namespace orvanta::capture;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> ids(const std::vector<CaptureDevicePtr>& devices) {
    std::vector<std::string> result;
    for (const auto& device : devices) result.push_back(device->uniqueID);
    return result;
}

std::string idOf(const CaptureDevicePtr& device) { return device ? device->uniqueID : "(none)"; }

// A directory over a fake sysfs and device folder, with no sound server unless a test starts one.
class SystemDeviceDirectoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        environment.set("PULSE_SERVER", "unix:" + (dir.path() / "no-sound-server").string());
        environment.set(test_devices::kEnvironmentVariable, std::nullopt);
        fs::create_directories(sysfs());
        fs::create_directories(dev());
    }

    fs::path sysfs() const { return dir.path() / "sys"; }
    fs::path dev() const { return dir.path() / "dev"; }
    std::string node(int number) const { return (dev() / ("video" + std::to_string(number))).string(); }

    void addCamera(int number, const std::string& name) {
        const fs::path entry = sysfs() / ("video" + std::to_string(number));
        fs::create_directories(entry);
        std::ofstream(entry / "name") << name << "\n";
        std::ofstream(entry / "index") << "0\n";
    }

    std::unique_ptr<SystemDeviceDirectory> makeDirectory() {
        SystemDeviceDirectory::Options options;
        options.sysfsRoot = sysfs();
        options.devRoot = dev();
        options.cameraEvents = V4l2Monitor::Source::DeviceFolder;
        return std::make_unique<SystemDeviceDirectory>(options);
    }

    test::TempDir dir;
    test::ScopedEnvironment environment;
};

}  // namespace

TEST(TestDevices, PresentOnlyWhenSwitchedOnWithOne) {
    struct Case {
        std::optional<std::string> value;
        bool present;
    };
    const std::vector<Case> cases = {{std::nullopt, false}, {"0", false}, {"", false},
                                     {"true", false},       {"1", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value.value_or("(unset)"));
        test::ScopedEnvironment environment;
        environment.set(test_devices::kEnvironmentVariable, c.value);
        EXPECT_EQ(test_devices::enabled(), c.present);
        EXPECT_EQ(static_cast<bool>(test_devices::camera()), c.present);
        EXPECT_EQ(static_cast<bool>(test_devices::toneMicrophone()), c.present);
    }
    test::ScopedEnvironment environment;
    environment.set(test_devices::kEnvironmentVariable, "1");
    const auto camera = test_devices::camera();
    EXPECT_EQ(camera->uniqueID, "test:camera");
    EXPECT_EQ(camera->localizedDisplayName, "Test Camera");
    EXPECT_TRUE(camera->hasMediaType(MediaType::Video));
    const auto tone = test_devices::toneMicrophone();
    EXPECT_EQ(tone->uniqueID, "test:tone");
    EXPECT_EQ(tone->localizedDisplayName, "Test Tone Microphone");
    EXPECT_TRUE(deviceProvidesAudio(tone));
    EXPECT_FALSE(deviceProvidesAudio(camera));
}

TEST_F(SystemDeviceDirectoryTest, ListsAndDefaultsWithAndWithoutTestDevices) {
    struct Case {
        const char* what;
        bool cameras;
        bool testDevices;
        std::vector<std::string> video;
        std::string defaultVideo;
        std::vector<std::string> sound;
        std::string defaultSound;
    };
    const std::vector<Case> cases = {
        {"nothing at all", false, false, {}, "(none)", {}, "(none)"},
        {"cameras only",
         true, false,
         {"v4l2:" + node(0), "v4l2:" + node(4)}, "v4l2:" + node(0),
         {}, "(none)"},
        {"test devices only", false, true, {"test:camera"}, "test:camera", {"test:tone"}, "test:tone"},
        {"cameras before the test camera",
         true, true,
         {"v4l2:" + node(0), "v4l2:" + node(4), "test:camera"}, "v4l2:" + node(0),
         {"test:tone"}, "test:tone"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(sysfs());
        fs::create_directories(sysfs());
        if (c.cameras) {
            addCamera(4, "Document Camera");
            addCamera(0, "Integrated Camera");
        }
        environment.set(test_devices::kEnvironmentVariable, c.testDevices ? std::optional<std::string>("1")
                                                                          : std::nullopt);
        auto directory = makeDirectory();
        EXPECT_EQ(ids(directory->inputDevices(MediaType::Video)), c.video);
        EXPECT_EQ(idOf(directory->defaultInputDevice(MediaType::Video)), c.defaultVideo);
        EXPECT_EQ(ids(directory->inputDevices(MediaType::Sound)), c.sound);
        EXPECT_EQ(idOf(directory->defaultInputDevice(MediaType::Sound)), c.defaultSound);
        EXPECT_TRUE(directory->inputDevices(MediaType::Muxed).empty());
        EXPECT_FALSE(directory->defaultInputDevice(MediaType::Muxed));
    }
}

TEST_F(SystemDeviceDirectoryTest, SoundServerSourcesComeBeforeTheToneAndAreTheDefault) {
    test::PulseServer server;
    environment.set(test_devices::kEnvironmentVariable, "1");
    auto directory = makeDirectory();
    const auto sound = directory->inputDevices(MediaType::Sound);
    EXPECT_EQ(ids(sound), (std::vector<std::string>{"pulse:" + server.microphoneSource(), "test:tone"}));
    const auto defaultSound = directory->defaultInputDevice(MediaType::Sound);
    ASSERT_TRUE(defaultSound);
    EXPECT_EQ(defaultSound->localizedDisplayName, test::PulseServer::kMicrophoneName);
}

TEST_F(SystemDeviceDirectoryTest, ObserversHearOfCamerasAndMicrophones) {
    test::PulseServer server;
    auto directory = makeDirectory();
    ASSERT_EQ(directory->inputDevices(MediaType::Sound).size(), 1u);  // connects to the server

    std::mutex mutex;
    std::condition_variable changed;
    int calls = 0;
    auto subscription = directory->observeDevices([&] {
        std::lock_guard lock(mutex);
        ++calls;
        changed.notify_all();
    });
    auto waitBeyond = [&](int previous) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, test::kGenerous, [&] { return calls > previous; });
    };
    auto current = [&] {
        std::lock_guard lock(mutex);
        return calls;
    };

    int before = current();
    std::ofstream(dev() / "video7") << "";
    EXPECT_TRUE(waitBeyond(before)) << "a camera node appeared";

    before = current();
    server.loadNullSink("gallery", "Gallery");
    EXPECT_TRUE(waitBeyond(before)) << "a source appeared";

    // After the subscription ends, nothing more is heard.
    subscription.reset();
    before = current();
    test::Latch heard;
    auto other = directory->observeDevices([&] { heard.set(); });
    fs::remove(dev() / "video7");
    ASSERT_TRUE(heard.wait());
    EXPECT_EQ(current(), before);
}

TEST_F(SystemDeviceDirectoryTest, DevicesThatAreNotListedFailAsNotConnected) {
    test::PulseServer server;
    addCamera(0, "Integrated Camera");
    auto directory = makeDirectory();

    CaptureDevice goneCamera{"v4l2:" + node(3), "Old Camera", {MediaType::Video}, node(3)};
    CaptureDevice goneSource{"pulse:unplugged_usb", "USB Microphone", {MediaType::Sound}, "unplugged_usb"};
    CaptureDevice testCamera = *[] {
        test::ScopedEnvironment on;
        on.set(test_devices::kEnvironmentVariable, "1");
        return test_devices::camera();
    }();
    CaptureDevice testTone{"test:tone", "Test Tone Microphone", {MediaType::Sound}, "sine=440"};
    CaptureDevice unknown{"elsewhere:1", "Unknown", {MediaType::Video, MediaType::Sound}, "1"};

    for (const CaptureDevice* device : {&goneCamera, &testCamera, &unknown}) {
        SCOPED_TRACE(device->uniqueID);
        core::Error error;
        EXPECT_EQ(directory->openVideoInput(*device, CameraFormat{}, &error), nullptr);
        EXPECT_EQ(error.domain, kCaptureErrorDomain);
        EXPECT_EQ(error.code, kCaptureDeviceNotConnected);
        EXPECT_NE(error.localizedDescription().find(device->localizedDisplayName), std::string::npos);
    }
    for (const CaptureDevice* device : {&goneSource, &testTone, &unknown}) {
        SCOPED_TRACE(device->uniqueID);
        core::Error error;
        EXPECT_EQ(directory->openAudioInput(*device, &error), nullptr);
        EXPECT_EQ(error.domain, kCaptureErrorDomain);
        EXPECT_EQ(error.code, kCaptureDeviceNotConnected);
    }
}

TEST(SystemDeviceDirectory, OnePerProcess) {
    EXPECT_EQ(systemDeviceDirectory(), systemDeviceDirectory());
    EXPECT_NE(systemDeviceDirectory(), nullptr);
}
