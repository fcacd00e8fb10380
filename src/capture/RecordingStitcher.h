#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "capture/MovieStitcherOperation.h"
#include "model/Value.h"

namespace orvanta::core {
class OperationQueue;
}

namespace orvanta::model {
class Recording;
class RecordingHost;
}  // namespace orvanta::model

namespace orvanta::capture {

// Post-processing of a recording: joining the numbered movie files of its video stream
// (G_0.DV.mov, G_1.DV.mov, …, next to the stream's file path G.DV.mov) into that one file.
// These run on the main thread, where the recording's store lives.

// Decides whether the recording needs joining and starts it: a recording that already has a
// joining operation is left alone; one in state 3, 4 or 9 goes to 4 (with a video stream) or 5
// (without) and is saved; in state 4 the join is then enqueued.
void stitchFiles(const std::shared_ptr<model::Recording>& recording, model::RecordingHost& host,
                 core::OperationQueue& stitchingQueue);

// Looks at the files of the video stream and either settles the recording at once (final file
// already there, a single file to rename, nothing to join, a file that cannot be made) or queues a
// MovieStitcherOperation, which becomes the recording's stitchingOperation.
void enqueueMovieStitcherOperation(const std::shared_ptr<model::Recording>& recording, model::RecordingHost& host,
                                   core::OperationQueue& stitchingQueue);

// What the application sets as its stitchFiles hook; the queue is asked for each time it runs.
std::function<void(const std::shared_ptr<model::Recording>&)> makeStitchFilesHook(
    model::RecordingHost& host, std::function<core::OperationQueue&()> stitchingQueue);

// The recording's side of a join: applies the outcome to the recording through updateAttributes
// on the main thread (host.performOnMainThread, waiting), which also saves the store. Holds the
// recording weakly, so a recording that is gone by then is left alone.
class RecordingStitchingDelegate : public MovieStitcherOperationDelegate {
public:
    RecordingStitchingDelegate(const std::shared_ptr<model::Recording>& recording, model::RecordingHost& host);

    void movieStitcherOperationDidFailToStitchMoviesAtPath(MovieStitcherOperation& op, const std::string& finalPath,
                                                           const core::Error& error) override;
    void movieStitcherOperationDidStitchMoviesAtPath(MovieStitcherOperation& op,
                                                     const std::string& finalPath) override;

private:
    void apply(std::map<std::string, model::Value> attributes);

    std::weak_ptr<model::Recording> recording_;
    model::RecordingHost& host_;
};

}  // namespace orvanta::capture
