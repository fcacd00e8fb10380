#pragma once

#include <cstdint>
#include <string>

#include "devserver/OpenFiles.h"

namespace orvanta::devserver {

class FaultInjector;
class FileStore;
class SoapCall;
class State;
struct SoapMessage;

// The file receiver: hands out the chunk size, writes chunks where their offset says, and closes
// files. Calls may come on several threads at once, also chunks of one file.
class UploadReceiver {
public:
    UploadReceiver(State& state, FileStore& store, FaultInjector& faults, int32_t chunkSize, int uploadingCount)
        : state_(state), store_(store), faults_(faults), chunkSize_(chunkSize), uploadingCount_(uploadingCount) {}

    // The answer envelope for one call; `message` carries the attachments. Throws SoapFault for an
    // unknown method, a missing or unusable parameter, or a file name that leaves the session.
    std::string answer(const SoapCall& call, const SoapMessage& message);

private:
    std::string chunkSize(const SoapCall& call);
    std::string uploadChunk(const SoapCall& call, const SoapMessage& message);
    std::string tryCloseFile(const SoapCall& call);

    State& state_;
    FileStore& store_;
    FaultInjector& faults_;
    int32_t chunkSize_;
    int uploadingCount_;
    OpenFiles openFiles_;
};

}  // namespace orvanta::devserver
