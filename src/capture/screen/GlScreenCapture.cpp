#include "capture/screen/GlScreenCapture.h"

#include <chrono>
#include <utility>

#include "capture/screen/CaptureSize.h"
#include "capture/screen/FrameReader.h"
#include "capture/screen/QueueController.h"
#include "capture/screen/RefreshTicker.h"
#include "capture/screen/ScreenCaptureErrors.h"
#include "capture/screen/SerialWorker.h"
#include "core/Log.h"
#include "core/RunLoop.h"
#include "core/Settings.h"
#include "core/SettingsKeys.h"

namespace orvanta::capture {

namespace {

constexpr double kDefaultRefreshRate = 60.0;
constexpr std::uint32_t kHighQuality = 0x300;
constexpr std::int32_t kDataRate = 512000;

core::Error connectionLostError(const DisplayContext& context) {
    if (context.connectionLost())
        return displayUnavailableError("The connection to the X display \"" + context.displayName() + "\" was lost.");
    return displayUnavailableError("The X display \"" + context.displayName() + "\" does not answer.");
}

double steadySeconds() {
    // Offset by one second so that the clock is never 0 (0 means "not started").
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count() + 1.0;
}

}  // namespace

GlScreenCapture::GlScreenCapture(ScreenCaptureEnvironment environment)
    : environment_(std::move(environment)),
      settings_(environment_.settings ? *environment_.settings : core::Settings::standard()),
      mainLoop_(environment_.mainLoop ? *environment_.mainLoop : core::RunLoop::main()) {
    if (!environment_.clock) environment_.clock = steadySeconds;
}

GlScreenCapture::~GlScreenCapture() {
    endRecording();
    mRetiredDisplayLink.reset();
}

double GlScreenCapture::now() const { return environment_.clock(); }

void GlScreenCapture::setScreen(unsigned index) { (void)index; }

void GlScreenCapture::setStopRecordingHandler(StopRecordingHandler handler) {
    std::lock_guard lock(mErrorMutex);
    mStopRecordingHandler = std::move(handler);
}

void GlScreenCapture::fail(const core::Error& error) {
    StopRecordingHandler handler;
    {
        std::lock_guard lock(mErrorMutex);
        mLastError = error;
        handler = mStopRecordingHandler;
    }
    if (handler) mainLoop_.post([handler, error] { handler(error); });
}

std::optional<core::Error> GlScreenCapture::lastError() const {
    std::lock_guard lock(mErrorMutex);
    return mLastError;
}

bool GlScreenCapture::isRecording() const {
    std::lock_guard lock(mLock);
    return mIsRecording;
}

DisplayRect GlScreenCapture::displayRect() const {
    std::lock_guard lock(mLock);
    return mDisplayRect;
}

double GlScreenCapture::frameInterval() const {
    std::lock_guard lock(mLock);
    return mFrameInterval;
}

std::shared_ptr<QueueController> GlScreenCapture::frameQueueController() const {
    std::lock_guard lock(mPoolMutex);
    return mFrameQueueController;
}

double GlScreenCapture::refreshRate() const {
    std::lock_guard lock(mLock);
    return mDisplayLink ? mDisplayLink->rate() : 0.0;
}

ScreenCaptureStatistics GlScreenCapture::statistics() const {
    return {grabsStarted_.load(), grabsSkipped_.load(), grabsFailed_.load(), framesDropped_.load(),
            framesQueued_.load()};
}

void GlScreenCapture::captureScreenToPath(const std::string& path) {
    core::logf("%s entering", ORV_FUNC);
    if (isRecording()) endRecording();
    std::lock_guard lock(mLock);
    mRetiredDisplayLink.reset();

    // 1. The display and a reader pool at its size.
    mIsRecording = true;
    if (auto error = initializeDisplayContext()) {
        mIsRecording = false;
        setGLContextSynchronized(nullptr);
        fail(*error);
        return;
    }

    // 2. Frame rate.
    std::int64_t rate = settings_.integerForKey(core::kScreenCaptureFrameRate);
    if (rate <= 0) {
        core::logf("ScreenCaptureFrameRate is %lld; using %lld", static_cast<long long>(rate),
                   static_cast<long long>(core::kDefaultScreenCaptureFrameRate));
        rate = core::kDefaultScreenCaptureFrameRate;
    }
    mFrameInterval = 1.0 / static_cast<double>(rate);

    // 3. Encoder options; the stored settings may choose another codec.
    std::string codec = "avc1";
    auto options = MovieWriter::compressionOptions(&codec, kHighQuality, kDataRate, static_cast<std::int32_t>(rate),
                                                   /*showOptions=*/false);

    // 4. Output size.
    const CaptureSize size = captureOutputSize(static_cast<std::uint32_t>(mDisplayRect.width),
                                               static_cast<std::uint32_t>(mDisplayRect.height));

    // 5. The writer; a file that cannot be created is reported through the delegate at once.
    {
        std::lock_guard errorLock(mErrorMutex);
        mLastError.reset();
    }
    mExporterObj.reset();
    mExporterObj = std::make_unique<MovieWriter>(path, codec, size.width, size.height, options, this);

    // 6. Start the refresh callbacks.
    if (lastError()) {
        mIsRecording = false;
        mExporterObj.reset();
        setGLContextSynchronized(nullptr);
        return;
    }
    mStartTime = 0;
    mLastTime = 0;
    mLastTimeStamp = -1;
    mGrabWorker = std::make_unique<SerialWorker>();
    if (environment_.driveRefresh) {
        const double refresh = mGLContext->refreshRate() > 0 ? mGLContext->refreshRate() : kDefaultRefreshRate;
        mDisplayLink = std::make_unique<RefreshTicker>(refresh, [this] { displayLinkCallback(); });
    }
    core::logf("Screen capture of %gx%g at %lld frames per second into %ux%u \"%s\"", mDisplayRect.width,
               mDisplayRect.height, static_cast<long long>(rate), size.width, size.height, path.c_str());
}

std::optional<core::Error> GlScreenCapture::initializeDisplayContext() {
    std::string reason;
    DisplayContext::Options options;
    options.allowSharedMemory = environment_.allowSharedMemory;
    std::shared_ptr<DisplayContext> context = DisplayContext::open(environment_.displayName, options, &reason);
    if (!context) {
        core::logf("Error initializing display context: No Full-Screen Renderer");
        core::logf("%s", reason.c_str());
        setGLContextSynchronized(nullptr);
        return displayUnavailableError(reason);
    }
    if (!context->mainDisplayBounds()) {
        setGLContextSynchronized(nullptr);
        return connectionLostError(*context);
    }
    setGLContextSynchronized(std::move(context));
    return std::nullopt;
}

void GlScreenCapture::setGLContextSynchronized(std::shared_ptr<DisplayContext> context) {
    std::lock_guard lock(mLock);
    if (!mIsRecording) context.reset();
    std::shared_ptr<QueueController> pool;
    if (context) {
        if (auto bounds = context->mainDisplayBounds()) mDisplayRect = *bounds;
        pool = QueueController::create(kReaderCount, context, static_cast<std::uint32_t>(mDisplayRect.width),
                                       static_cast<std::uint32_t>(mDisplayRect.height));
    }
    mGLContext = std::move(context);
    std::shared_ptr<QueueController> previous;
    {
        std::lock_guard poolLock(mPoolMutex);
        previous = std::exchange(mFrameQueueController, std::move(pool));
    }
    // The previous pool goes here, outside the pool lock. Its readers that are still in flight are
    // dropped when they come back.
}

bool GlScreenCapture::displayLinkCallback() {
    std::optional<core::Error> failure;
    {
        std::lock_guard lock(mLock);
        if (!mIsRecording) return true;
        if (mGLContext && mGLContext->connectionLost()) {
            failure = connectionLostError(*mGLContext);
        } else if (mGLContext && mGLContext->bitsPerPixel() != 32) {
            failure = colorDepthError();
        } else if (mGLContext) {
            auto bounds = mGLContext->mainDisplayBounds();
            if (!bounds) {
                failure = connectionLostError(*mGLContext);
            } else if (bounds->width != mDisplayRect.width || bounds->height != mDisplayRect.height) {
                core::logf("Main display changed from %gx%g to %gx%g", mDisplayRect.width, mDisplayRect.height,
                           bounds->width, bounds->height);
                mDisplayRect = *bounds;
                failure = initializeDisplayContext();
            }
        }
        if (!failure) {
            if (mGLContext) readAndCompressFrames(now());
            return true;
        }
    }
    core::logf("Screen capture ends: %s", failure->localizedFailureReason().c_str());
    endRecording();
    fail(*failure);
    return false;
}

void GlScreenCapture::readAndCompressFrames(double now) {
    std::shared_ptr<QueueController> pool = frameQueueController();
    if (!pool) return;
    if (mStartTime == 0) mStartTime = now;

    if (now - mLastTime > mFrameInterval) {
        mLastTime = now;
        if (std::shared_ptr<FrameReader> reader = pool->removeOldestItemFromFreeQ()) {
            reader->setBufferReadTime(mStartTime);
            ++grabsStarted_;
            mGrabWorker->post([this, reader] {
                if (!reader->readScreenAsyncSynchronized(this->now())) ++grabsFailed_;
            });
        } else {
            ++grabsSkipped_;
        }
    }

    if (std::shared_ptr<FrameReader> reader = pool->removeOldestItemFromFilledQ())
        handToWriter(*pool, std::move(reader));
}

void GlScreenCapture::handToWriter(QueueController& pool, std::shared_ptr<FrameReader> reader) {
    const std::int64_t timeStamp = frameTimeStamp(reader->bufferReadTime(), kTimeScale);
    if (timeStamp <= mLastTimeStamp || !mExporterObj) {
        // Two grabs within one time unit: the later one would not come after the earlier.
        ++framesDropped_;
        pool.addItemToFreeQ(std::move(reader));
        return;
    }
    mLastTimeStamp = timeStamp;
    ++framesQueued_;
    mExporterObj->compressFrameOnSeparateThread(
        std::make_shared<ScreenVideoFrame>(std::move(reader), timeStamp, kTimeScale, this));
}

void GlScreenCapture::handFilledFramesToWriter() {
    std::shared_ptr<QueueController> pool = frameQueueController();
    if (!pool) return;
    while (std::shared_ptr<FrameReader> reader = pool->removeOldestItemFromFilledQ())
        handToWriter(*pool, std::move(reader));
}

const PixelBuffer* GlScreenCapture::getPixelBuffer(const std::shared_ptr<FrameReader>& reader) {
    const PixelBuffer* pixels = reader->readScreenAsyncFinish();
    if (!pixels) {
        ++grabsFailed_;
        releasePixels(reader);
    }
    return pixels;
}

void GlScreenCapture::releasePixels(const std::shared_ptr<FrameReader>& reader) {
    std::shared_ptr<QueueController> pool = reader->queueController();
    // A reader of a pool that has been replaced (the display changed size) is simply dropped.
    if (pool && pool == frameQueueController()) pool->addItemToFreeQ(reader);
}

void GlScreenCapture::endRecording() {
    std::unique_ptr<RefreshTicker> ticker;
    {
        std::lock_guard lock(mLock);
        if (!mIsRecording && !mExporterObj && !mDisplayLink && !mGrabWorker && !mGLContext) return;
        core::logf("%s entering", ORV_FUNC);
        mIsRecording = false;
        ticker = std::move(mDisplayLink);
    }
    // Wait for a refresh callback in progress, unless this is that callback.
    if (ticker) {
        ticker->stop();
        std::lock_guard lock(mLock);
        mRetiredDisplayLink = std::move(ticker);  // destroyed later, from another thread
    }

    std::unique_ptr<SerialWorker> grabs;
    {
        std::lock_guard lock(mLock);
        grabs = std::move(mGrabWorker);
    }
    if (grabs) grabs->stop();  // grabs already begun finish into the filled queue

    std::unique_ptr<MovieWriter> writer;
    {
        std::lock_guard lock(mLock);
        handFilledFramesToWriter();
        writer = std::move(mExporterObj);
    }
    if (writer) {
        writer->writeAndCloseMovie();
        writer.reset();
    }
    std::lock_guard lock(mLock);
    setGLContextSynchronized(nullptr);
}

void GlScreenCapture::movieWriterFailedWithError(MovieWriter& writer, const core::Error& error) {
    (void)writer;
    core::logf("%s %s (%s)", ORV_FUNC, error.localizedDescription().c_str(), error.localizedFailureReason().c_str());
    fail(error);
}

}  // namespace orvanta::capture
