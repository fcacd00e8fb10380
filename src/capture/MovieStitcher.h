#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/Error.h"

namespace orvanta::capture {

class SourceMovie;
class WritableMovie;

// Joins movie files end to end into one self-contained QuickTime movie, without re-encoding: every
// video and sound sample of every child is copied as it is, each child's timestamps moved to start
// where the previous child ended, so the result lasts as long as the children together. The movie
// is written to the intermediate file "<final path>.STITCH", flushed to the disk and only then
// renamed to the final path, so the final path never names a half-written movie. The children are
// only read.
//
// The children must have the same video and sound tracks as the first one (kind, codec, picture size
// or sample rate and channels, codec set-up), since one track of a movie has one description of its
// samples; a child with no video or sound at all is left out. A sound sample that a child marks as
// decoder priming before its start is left out when the child is not the first: it would overlap
// the end of the previous child. A child whose data turns out damaged part-way is used up to there.
class MovieStitcher {
public:
    // The intermediate file for a final path: the path followed by ".STITCH".
    static std::string stitchedMovieFileName(const std::string& path);

    // Polled between samples; true stops the join (the intermediate file is then removed).
    using CancelCheck = std::function<bool()>;

    // Appends the children, in order, to finalMovie, which must be writing stitchedMovieFileName(
    // finalPath), then moves the finished file to finalPath. On failure (or when cancelled) false,
    // with *error filled; the intermediate file is removed and finalPath is not touched.
    static bool stitchMovies(const std::vector<std::shared_ptr<SourceMovie>>& children, WritableMovie& finalMovie,
                             const std::string& finalPath, core::Error* error, const CancelCheck& isCancelled = {});

    // The same for movie files by path: every file must open as a movie.
    static bool stitchMovies(const std::vector<std::string>& childPaths, const std::string& finalPath,
                             core::Error* error);
};

}  // namespace orvanta::capture
