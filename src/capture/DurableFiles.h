#pragma once

#include <string>

#include "core/Error.h"

namespace orvanta::capture {

// Flushes a file's data to the disk (fsync). False, with *error filled, when that fails.
bool syncFile(const std::string& path, core::Error* error);

// Gives a file a new name in the same file system and flushes the folder holding the new name, so
// the new name survives a crash or power loss. The file is under exactly one of the two names at
// every moment; flush the file first (syncFile) when its data must be on the disk before it gets
// the new name. False, with *error filled (its description is the system's message), when the
// rename fails; a folder that cannot be flushed after the rename is only logged.
bool renameFile(const std::string& from, const std::string& to, core::Error* error);

// Moves a file so that the move survives a crash or power loss with the data in place: the file is
// flushed first, then renamed (renameFile). False, with *error filled, when the file could not be
// flushed or renamed.
bool moveFileDurably(const std::string& from, const std::string& to, core::Error* error);

// Replaces the file's contents atomically: written beside it under a temporary name, flushed, then
// moved into place (moveFileDurably). A reader sees the old file or the new one, never a part.
bool writeFileDurably(const std::string& path, const std::string& contents, core::Error* error);

}  // namespace orvanta::capture
