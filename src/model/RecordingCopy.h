#pragma once

#include <memory>
#include <stdexcept>
#include <string>

namespace orvanta::model {

class ManagedObjectContext;
class Recording;

// A failed copy of a recording's file: the name says which step failed ("FailedToCreateFolder",
// "FolderExpected", "Failed to copy folder", "FileCopyFailure"), the reason says why (may be empty).
// A file without a local or remote path is reported as std::invalid_argument instead.
class RecordingCopyException : public std::runtime_error {
public:
    RecordingCopyException(std::string name, std::string reason);
    const std::string& name() const noexcept { return name_; }
    const std::string& reason() const noexcept { return reason_; }

private:
    std::string name_;
    std::string reason_;
};

// Copies a stored recording as a new, independent offline recording: new Guids for it and its
// streams, copies of every file in its own folder (under the recording folder of the context's
// host), upload bookkeeping from zero, no server assignment, and saves. On failure nothing of the
// copy is kept: the new objects are removed from the context, the copy's folder is deleted, and the
// exception is passed on.
std::shared_ptr<Recording> copyRecording(const Recording& source, ManagedObjectContext& context);

}  // namespace orvanta::model
