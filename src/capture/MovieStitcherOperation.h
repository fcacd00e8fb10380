#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/Error.h"
#include "core/Operation.h"
#include "model/Recording.h"

namespace orvanta::capture {

class MovieStitcherOperation;
class SourceMovie;
class WritableMovie;

// Told how a join ended; called on the operation's thread. A cancelled join tells nothing.
class MovieStitcherOperationDelegate {
public:
    virtual ~MovieStitcherOperationDelegate() = default;
    virtual void movieStitcherOperationDidFailToStitchMoviesAtPath(MovieStitcherOperation& op,
                                                                   const std::string& finalPath,
                                                                   const core::Error& error) = 0;
    virtual void movieStitcherOperationDidStitchMoviesAtPath(MovieStitcherOperation& op,
                                                             const std::string& finalPath) = 0;
};

// Joins the movies of a recording's video stream into its final movie file, on a thread of the
// stitching queue. The movies are made on the main thread and handed over: the constructor detaches
// them from the constructing thread, main() attaches them to its own. Cancelling stops a running
// join between two samples; the intermediate file is then removed and the delegate is not told, so
// the recording stays where it was and the join can run again.
//
// The operation keeps its delegate alive until it has finished (or the delegate is detached); the
// delegate must therefore not own the operation.
class MovieStitcherOperation : public core::Operation, public model::StitchingOperationHandle {
public:
    MovieStitcherOperation(std::shared_ptr<WritableMovie> finalMovie, std::vector<std::shared_ptr<SourceMovie>> childMovies,
                           std::string finalPath, std::shared_ptr<MovieStitcherOperationDelegate> delegate);
    ~MovieStitcherOperation() override;

    void main() override;

    std::shared_ptr<MovieStitcherOperationDelegate> delegate() const;
    void setDelegate(std::shared_ptr<MovieStitcherOperationDelegate> delegate);
    const std::string& finalPath() const { return finalPath_; }

    // model::StitchingOperationHandle
    bool isFinished() const override { return core::Operation::isFinished(); }
    void detachDelegate() override { setDelegate(nullptr); }
    void cancel() override { core::Operation::cancel(); }

private:
    void reportFailure(const std::string& reason, const std::string& recoverySuggestion);
    void releaseResources();

    std::shared_ptr<WritableMovie> finalMovie_;
    std::vector<std::shared_ptr<SourceMovie>> childMovies_;
    const std::string finalPath_;
    mutable std::mutex delegateMutex_;
    std::shared_ptr<MovieStitcherOperationDelegate> delegate_;
};

}  // namespace orvanta::capture
