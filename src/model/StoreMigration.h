#pragma once

#include <optional>
#include <string>

#include "core/Error.h"

namespace orvanta::model {

class SqliteDatabase;

// Converts a store of an older version, inside the caller's transaction, one step at a time:
// 1 -> 2 renumbers recording states (the post-processing states 4 and 5 were inserted),
// 2 -> 3 adds each recording's LocalFolder, 3 -> 4 moves a file's 32-bit upload count into the
// 8-byte counters.
std::optional<core::Error> migrateStore(SqliteDatabase& db, int fromVersion, const std::string& defaultRecordingDirectory);

// The single conversions, per object.
int64_t convertRecordingState(int64_t oldState);
uint64_t convertBytesUploaded(int64_t storedCount, const std::string& remotePath);

}  // namespace orvanta::model
