#include "capture/RecordingStitcher.h"

#include <filesystem>
#include <system_error>
#include <vector>

#include "capture/DurableFiles.h"
#include "capture/FileSequence.h"
#include "capture/MovieFiles.h"
#include "capture/MovieStitcher.h"
#include "core/Log.h"
#include "core/Operation.h"
#include "model/Recording.h"
#include "model/RecordingHost.h"
#include "model/Stream.h"

namespace orvanta::capture {

namespace {

namespace fs = std::filesystem;

bool fileExists(const std::string& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

void fail(model::Recording& recording, const std::string& faultString) {
    recording.setState(model::kStateFailed);
    recording.setValueForKey("FaultType", int64_t{model::kFaultPostProcessing});
    recording.setValueForKey("FaultString", faultString);
}

// The numbered files of the sequence that starts from finalPath, up to the first number with no file.
std::vector<std::string> childFiles(const std::string& finalPath) {
    std::vector<std::string> children;
    std::string previous = finalPath;
    for (std::string next = fileURLWithNextSequence(previous); next != previous && fileExists(next);
         next = fileURLWithNextSequence(previous)) {
        children.push_back(next);
        previous = next;
    }
    return children;
}

}  // namespace

void stitchFiles(const std::shared_ptr<model::Recording>& recording, model::RecordingHost& host,
                 core::OperationQueue& stitchingQueue) {
    core::logf("%s", ORV_FUNC);
    if (recording->stitchingOperation()) return;
    const int state = recording->State();
    if (state == model::kStateStopped || state == model::kStatePostProcessing || state == model::kStateFailed) {
        recording->setState(recording->VideoStream() ? model::kStatePostProcessing : model::kStateReady);
        host.saveManagedObjects();
    }
    if (recording->State() == model::kStatePostProcessing) enqueueMovieStitcherOperation(recording, host, stitchingQueue);
}

void enqueueMovieStitcherOperation(const std::shared_ptr<model::Recording>& recording, model::RecordingHost& host,
                                   core::OperationQueue& stitchingQueue) {
    core::logf("%s", ORV_FUNC);
    auto video = recording->VideoStream();
    if (!video) {
        // Nothing recorded by the camera: nothing to join.
        recording->setState(model::kStateReady);
        return;
    }
    const std::string finalPath = video->FilePath();

    if (fileExists(finalPath)) {
        recording->setState(model::kStateReady);
        core::logf("Final movie file exists, skipping stitching");
        return;
    }

    const std::string stitchPath = MovieStitcher::stitchedMovieFileName(finalPath);
    if (fileExists(stitchPath)) {
        std::error_code ec;
        if (!fs::remove(stitchPath, ec) || ec) {
            const std::string reason = ec ? ec.message() : std::string("not removed");
            core::logf("Unable to remove intermediate STITCH file %s: %s", stitchPath.c_str(), reason.c_str());
            fail(*recording, "Unable to remove intermediate file " + stitchPath + ": " + reason);
            return;
        }
    }

    const std::vector<std::string> children = childFiles(finalPath);
    if (children.empty()) {
        core::logf("No movie files to stitch");
        fail(*recording, "Recording file not found");
        return;
    }

    if (children.size() == 1) {
        core::logf("Bypassing QTKit stitch");
        core::Error error;
        if (renameFile(children.front(), finalPath, &error)) {
            recording->setState(model::kStateReady);
        } else {
            const std::string text = "Unable to move single file " + children.front() + " to " + finalPath + ": " +
                                     error.localizedDescription();
            core::logf("%s", text.c_str());
            fail(*recording, text);
        }
        return;
    }

    core::Error error;
    auto finalMovie = WritableMovie::initToWritableFile(stitchPath, &error);
    if (!finalMovie) {
        core::logf("ERROR: unable to create final movie QTMovie object: %s", error.localizedDescription().c_str());
        fail(*recording, "Unable to create final movie: " + error.localizedDescription());
        return;
    }
    std::vector<std::shared_ptr<SourceMovie>> movies;
    for (const auto& child : children) {
        core::Error openError;
        if (auto movie = SourceMovie::movieWithFile(child, &openError))
            movies.push_back(std::move(movie));
        else
            core::logf("Unable to create QTMovie reference to %s: %s", child.c_str(),
                       openError.localizedDescription().c_str());
    }
    auto op = std::make_shared<MovieStitcherOperation>(std::move(finalMovie), std::move(movies), finalPath,
                                                       std::make_shared<RecordingStitchingDelegate>(recording, host));
    op->name = "MovieStitcherOperation " + finalPath;
    recording->setStitchingOperation(op);
    stitchingQueue.addOperation(op);
}

std::function<void(const std::shared_ptr<model::Recording>&)> makeStitchFilesHook(
    model::RecordingHost& host, std::function<core::OperationQueue&()> stitchingQueue) {
    return [&host, queue = std::move(stitchingQueue)](const std::shared_ptr<model::Recording>& recording) {
        if (recording) stitchFiles(recording, host, queue());
    };
}

// ---- RecordingStitchingDelegate

RecordingStitchingDelegate::RecordingStitchingDelegate(const std::shared_ptr<model::Recording>& recording,
                                                       model::RecordingHost& host)
    : recording_(recording), host_(host) {}

void RecordingStitchingDelegate::movieStitcherOperationDidFailToStitchMoviesAtPath(MovieStitcherOperation&,
                                                                                   const std::string&,
                                                                                   const core::Error& error) {
    apply({{"State", int64_t{model::kStateFailed}},
           {"FaultType", int64_t{model::kFaultPostProcessing}},
           {"FaultString", error.localizedDescription()}});
}

void RecordingStitchingDelegate::movieStitcherOperationDidStitchMoviesAtPath(MovieStitcherOperation&,
                                                                             const std::string&) {
    apply({{"State", int64_t{model::kStateReady}}});
}

void RecordingStitchingDelegate::apply(std::map<std::string, model::Value> attributes) {
    std::weak_ptr<model::Recording> weak = recording_;
    host_.performOnMainThread(
        [weak, attributes = std::move(attributes)] {
            auto recording = weak.lock();
            if (!recording || recording->isDeleted()) return;
            recording->updateAttributes(attributes);
        },
        true);
}

}  // namespace orvanta::capture
