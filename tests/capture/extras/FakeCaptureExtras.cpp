// A stand-in for the screen-capture add-on library: its handler writes each call it receives into
// the file it was asked to capture to, so that a test can see what crossed the library boundary.
#include <fstream>
#include <memory>
#include <string>

#include "capture/CaptureExtras.h"

namespace {

class RecordingHandler final : public orvanta::capture::ScreenCaptureHandler {
public:
    ~RecordingHandler() override { note("destroyed"); }
    void setScreen(unsigned index) override { screen_ = index; }
    void endRecording() override { note("end"); }
    void captureScreenToPath(const std::string& path) override {
        path_ = path;
        note("capture screen " + std::to_string(screen_));
    }
    void setStopRecordingHandler(orvanta::capture::StopRecordingHandler handler) override {
        handler_ = std::move(handler);
        note("handler");
    }

private:
    void note(const std::string& line) {
        if (!path_.empty()) std::ofstream(path_, std::ios::app) << line << "\n";
    }

    std::string path_;
    unsigned screen_ = 0;
    orvanta::capture::StopRecordingHandler handler_;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) orvanta::capture::ScreenCaptureHandler* makeAVScreenCapture() {
    try {
        return std::make_unique<RecordingHandler>().release();
    } catch (...) {
        return nullptr;
    }
}
