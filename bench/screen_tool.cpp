// Helper program of screen_bench.sh.
//
//   screen_tool record DISPLAY SECONDS FPS MOVIE   records the display with the screen capture
//                                                  pipeline and prints its counters
//   screen_tool animate DISPLAY                    keeps changing the picture until killed
#include <unistd.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "capture/screen/GlScreenCapture.h"
#include "core/RunLoop.h"
#include "core/Settings.h"
#include "core/SettingsKeys.h"

namespace {

using namespace orvanta;

int record(const std::string& display, double seconds, int fps, const std::string& movie) {
    const auto settingsFile =
        std::filesystem::temp_directory_path() / ("screen_tool-" + std::to_string(::getpid()) + ".json");
    int status = 0;
    {
        core::Settings settings(settingsFile);
        settings.setInteger(core::kScreenCaptureFrameRate, fps);
        core::RunLoop loop;
        capture::ScreenCaptureEnvironment environment;
        environment.settings = &settings;
        environment.mainLoop = &loop;
        environment.displayName = display;
        capture::GlScreenCapture capture(environment);
        capture.setStopRecordingHandler([&](const core::Error& error) {
            std::fprintf(stderr, "capture stopped: %s (%s)\n", error.localizedDescription().c_str(),
                         error.localizedFailureReason().c_str());
            status = 1;
            loop.stop();
        });
        capture.captureScreenToPath(movie);
        loop.runUntil([&] { return status != 0; },
                      std::chrono::milliseconds(static_cast<long long>(seconds * 1000)));
        const double refresh = capture.refreshRate();
        capture.endRecording();
        const capture::ScreenCaptureStatistics s = capture.statistics();
        std::printf("grabs %llu skipped %llu failed %llu dropped %llu queued %llu refresh %.0f\n",
                    static_cast<unsigned long long>(s.grabsStarted), static_cast<unsigned long long>(s.grabsSkipped),
                    static_cast<unsigned long long>(s.grabsFailed), static_cast<unsigned long long>(s.framesDropped),
                    static_cast<unsigned long long>(s.framesQueued), refresh);
    }
    std::error_code ec;
    std::filesystem::remove(settingsFile, ec);
    return status;
}

// Moving bars and a moving pointer over a changing background: every frame differs.
int animate(const std::string& display) {
    int screenNumber = 0;
    xcb_connection_t* c = xcb_connect(display.c_str(), &screenNumber);
    if (xcb_connection_has_error(c)) {
        xcb_disconnect(c);
        std::fprintf(stderr, "cannot connect to %s\n", display.c_str());
        return 1;
    }
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber; ++i) xcb_screen_next(&it);
    xcb_screen_t* screen = it.data;
    xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, screen->root, 0, nullptr);
    const int w = screen->width_in_pixels, h = screen->height_in_pixels;
    for (std::uint32_t step = 0;; ++step) {
        std::uint32_t colour = 0x203040 + (step % 64) * 0x010101;
        xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &colour);
        xcb_rectangle_t all{0, 0, static_cast<uint16_t>(w), static_cast<uint16_t>(h)};
        xcb_poly_fill_rectangle(c, screen->root, gc, 1, &all);
        for (int bar = 0; bar < 8; ++bar) {
            colour = 0xF0F0F0 - static_cast<std::uint32_t>(bar) * 0x1A0F05;
            xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &colour);
            const int x = static_cast<int>((step * (7 + bar * 3) + bar * 240) % static_cast<std::uint32_t>(w));
            xcb_rectangle_t r{static_cast<int16_t>(x), static_cast<int16_t>(bar * h / 8), 120,
                              static_cast<uint16_t>(h / 8)};
            xcb_poly_fill_rectangle(c, screen->root, gc, 1, &r);
        }
        xcb_warp_pointer(c, XCB_NONE, screen->root, 0, 0, 0, 0, static_cast<int16_t>(step * 5 % w),
                         static_cast<int16_t>(step * 3 % h));
        std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
        if (xcb_connection_has_error(c)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    xcb_disconnect(c);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "record" && argc == 6) return record(argv[2], std::atof(argv[3]), std::atoi(argv[4]), argv[5]);
    if (mode == "animate" && argc == 3) return animate(argv[2]);
    std::fprintf(stderr, "usage: %s record DISPLAY SECONDS FPS MOVIE | animate DISPLAY\n", argv[0]);
    return 2;
}
