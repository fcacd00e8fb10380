#include "capture/MovieStitcherOperation.h"

#include "capture/MovieFiles.h"
#include "capture/MovieStitcher.h"
#include "core/Log.h"

namespace orvanta::capture {

namespace {

constexpr long kStitchErrorCode = 1234;
constexpr const char* kPostProcessFailed = "Unable to post-process this recording";

}  // namespace

MovieStitcherOperation::MovieStitcherOperation(std::shared_ptr<WritableMovie> finalMovie,
                                               std::vector<std::shared_ptr<SourceMovie>> childMovies,
                                               std::string finalPath,
                                               std::shared_ptr<MovieStitcherOperationDelegate> delegate)
    : finalMovie_(std::move(finalMovie)),
      childMovies_(std::move(childMovies)),
      finalPath_(std::move(finalPath)),
      delegate_(std::move(delegate)) {
    if (finalMovie_ && !finalMovie_->thread().detachFromCurrentThread())
        core::logf("ERROR: Unable to detach final movie from current thread!!!");
    for (const auto& child : childMovies_)
        if (child && !child->thread().detachFromCurrentThread())
            core::logf("ERROR: Unable to detach movie %s from current thread", child->path().c_str());
    // A join that never runs (cancelled while waiting) still closes its files and lets go of its
    // delegate, since the recording keeps the finished operation.
    setCompletionBlock([this] { releaseResources(); });
}

MovieStitcherOperation::~MovieStitcherOperation() = default;

std::shared_ptr<MovieStitcherOperationDelegate> MovieStitcherOperation::delegate() const {
    std::lock_guard lock(delegateMutex_);
    return delegate_;
}

void MovieStitcherOperation::setDelegate(std::shared_ptr<MovieStitcherOperationDelegate> delegate) {
    std::lock_guard lock(delegateMutex_);
    delegate_ = std::move(delegate);
}

void MovieStitcherOperation::releaseResources() {
    // An unfinished intermediate file is removed by the movie itself.
    finalMovie_.reset();
    childMovies_.clear();
    setDelegate(nullptr);
}

void MovieStitcherOperation::reportFailure(const std::string& reason, const std::string& recoverySuggestion) {
    core::Error error(core::kOrvantaErrorDomain, kStitchErrorCode, kPostProcessFailed, reason);
    error.recoverySuggestion = recoverySuggestion;
    if (auto d = delegate()) d->movieStitcherOperationDidFailToStitchMoviesAtPath(*this, finalPath_, error);
    cancel();
}

void MovieStitcherOperation::main() {
    core::logf("%s finalPath=%s", ORV_FUNC, finalPath_.c_str());
    if (finalPath_.empty()) {
        core::logf("Skipping movie stitching for nil final path");
        releaseResources();
        return;
    }

    bool attached = true;
    if (!finalMovie_ || !finalMovie_->thread().attachToCurrentThread()) {
        core::logf("ERROR: unable to attach final movie to current thread");
        reportFailure("Unable to process final QTMovie on a background thread",
                      "Please contact technical support to recover your recording");
        attached = false;
    }
    for (size_t i = 0; attached && i < childMovies_.size(); ++i) {
        if (!childMovies_[i]->thread().attachToCurrentThread()) {
            core::logf("ERROR: unable to attach child movie %s to current thread", childMovies_[i]->path().c_str());
            reportFailure("Unable to process child QTMovie on a background thread",
                          "Please contact technical support to recovery your recording");
            attached = false;
        }
    }

    if (attached) {
        core::Error error;
        if (MovieStitcher::stitchMovies(childMovies_, *finalMovie_, finalPath_, &error,
                                        [this] { return isCancelled(); })) {
            if (auto d = delegate()) d->movieStitcherOperationDidStitchMoviesAtPath(*this, finalPath_);
        } else if (isCancelled()) {
            // Stopped from outside: the recording stays as it is and the join can be done again.
            core::logf("Movie stitching cancelled for %s", finalPath_.c_str());
        } else {
            core::logf("Failed to stitch video files into a single movie");
            core::logf("%s", error.localizedDescription().c_str());
            reportFailure("Failed to stitch video files into a single movie",
                          "Please contact technical support to recover your video files");
        }
    }

    releaseResources();
    core::logf("Calling exitQTKitOnThread");
    core::logf("%s COMPLETE, finalPath=%s", ORV_FUNC, finalPath_.c_str());
}

}  // namespace orvanta::capture
