#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "capture/MovieWriter.h"
#include "capture/ScreenCaptureHandler.h"
#include "capture/screen/DisplayContext.h"
#include "capture/screen/ScreenVideoFrame.h"
#include "core/Error.h"

namespace orvanta::core {
class RunLoop;
class Settings;
}  // namespace orvanta::core

namespace orvanta::capture {

class FrameReader;
class QueueController;
class RefreshTicker;
class SerialWorker;

// What a screen capture works with; every part has a default for the running program.
struct ScreenCaptureEnvironment {
    core::Settings* settings = nullptr;  // null: core::Settings::standard()
    core::RunLoop* mainLoop = nullptr;   // null: core::RunLoop::main()
    std::string displayName;             // X display; empty: $DISPLAY
    // Seconds on a clock that only goes forward and is never 0; empty: the system's steady clock.
    std::function<double()> clock;
    // False: no refresh thread is started and the caller drives displayLinkCallback() itself.
    bool driveRefresh = true;
    bool allowSharedMemory = true;
};

// Counters of one capture, for diagnostics and measurements.
struct ScreenCaptureStatistics {
    std::uint64_t grabsStarted = 0;  // handed to the grab thread
    std::uint64_t grabsSkipped = 0;  // due at a refresh, but no reader was free
    std::uint64_t grabsFailed = 0;   // the screen could not be read
    std::uint64_t framesDropped = 0; // time stamp not after the previous frame's
    std::uint64_t framesQueued = 0;  // handed to the writer
};

// Screen capture of the X display: at every display refresh a ticker thread decides whether a grab
// is due (more than one frame interval after the last one); due grabs go, in order, to one grab
// thread through a FIFO; grabbed readers are wrapped in frames and handed to the movie writer, whose
// compression thread finishes the read, paints the cursor and encodes. The refresh thread never
// waits for a grab or a compression. A pool of 10 readers circulates between the free and the
// filled queue of the current QueueController.
//
// Failures that end the capture (display not at 32 bits per pixel, display unreachable or lost,
// movie file not writable) are kept as lastError() and passed to the stop-recording handler on the
// main thread, without waiting. What was written so far stays; endRecording() closes the file.
class GlScreenCapture final : public ScreenCaptureHandler, public MovieWriterDelegate, public ScreenFrameDelegate {
public:
    static constexpr std::size_t kReaderCount = 10;
    static constexpr std::int32_t kTimeScale = 60;

    explicit GlScreenCapture(ScreenCaptureEnvironment environment = {});
    ~GlScreenCapture() override;
    GlScreenCapture(const GlScreenCapture&) = delete;
    GlScreenCapture& operator=(const GlScreenCapture&) = delete;

    // ScreenCaptureHandler
    void setScreen(unsigned index) override;  // the main display is always captured
    void endRecording() override;
    void captureScreenToPath(const std::string& path) override;
    void setStopRecordingHandler(StopRecordingHandler handler) override;

    // MovieWriterDelegate
    void movieWriterFailedWithError(MovieWriter& writer, const core::Error& error) override;

    // ScreenFrameDelegate
    const PixelBuffer* getPixelBuffer(const std::shared_ptr<FrameReader>& reader) override;
    void releasePixels(const std::shared_ptr<FrameReader>& reader) override;

    // Once per display refresh (on the refresh thread): checks the display, re-initialises after a
    // size change and runs one step of the frame pump. False when the capture had to end.
    bool displayLinkCallback();

    std::optional<core::Error> lastError() const;
    bool isRecording() const;
    // Bounds of the main display at the last (re)initialisation.
    DisplayRect displayRect() const;
    double frameInterval() const;
    // The current reader pool; null when not recording.
    std::shared_ptr<QueueController> frameQueueController() const;
    ScreenCaptureStatistics statistics() const;
    // Refresh rate the ticker runs at; 0 when none runs.
    double refreshRate() const;

private:
    // Opens the display context and a new reader pool at the display's size, and installs them.
    std::optional<core::Error> initializeDisplayContext();
    void setGLContextSynchronized(std::shared_ptr<DisplayContext> context);
    void readAndCompressFrames(double now);
    // Wraps a grabbed reader in a frame for the writer (under mLock).
    void handToWriter(QueueController& pool, std::shared_ptr<FrameReader> reader);
    // At the end: the grabs still waiting in the filled queue go to the writer too.
    void handFilledFramesToWriter();
    void fail(const core::Error& error);
    double now() const;

    ScreenCaptureEnvironment environment_;
    core::Settings& settings_;
    core::RunLoop& mainLoop_;

    // The object's lock: state changes and the refresh callback's checks.
    mutable std::recursive_mutex mLock;
    double mStartTime = 0;
    double mLastTime = 0;
    std::shared_ptr<DisplayContext> mGLContext;
    DisplayRect mDisplayRect;
    std::unique_ptr<RefreshTicker> mDisplayLink;
    std::unique_ptr<RefreshTicker> mRetiredDisplayLink;  // stopped from its own thread; joined later
    std::unique_ptr<SerialWorker> mGrabWorker;
    std::unique_ptr<MovieWriter> mExporterObj;
    double mFrameInterval = 0.2;
    bool mIsRecording = false;
    std::int64_t mLastTimeStamp = -1;

    // The pool pointer also serves the writer's threads, which must not wait for mLock.
    mutable std::mutex mPoolMutex;
    std::shared_ptr<QueueController> mFrameQueueController;

    mutable std::mutex mErrorMutex;
    std::optional<core::Error> mLastError;
    StopRecordingHandler mStopRecordingHandler;

    std::atomic<std::uint64_t> grabsStarted_{0}, grabsSkipped_{0}, grabsFailed_{0}, framesDropped_{0},
        framesQueued_{0};
};

}  // namespace orvanta::capture
