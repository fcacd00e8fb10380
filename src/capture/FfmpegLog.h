#pragma once

namespace orvanta::capture {

// Sends FFmpeg's messages of at least the given level (an AV_LOG_* value; warnings by default) to
// the program's log instead of the standard error output, and drops the rest. FFmpeg has one
// message handler per process: call this once at start-up, before any movie is written.
void routeFfmpegMessagesToLog(int level = -1);

}  // namespace orvanta::capture
