#pragma once

#include <cstdint>
#include <deque>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "core/Error.h"
#include "service/UploadService.h"

namespace orvanta::upload {

// The chunks of one file that are on their way to the server at the same time, each sent by a
// receiver client of its own (one connection each): while the answer for one chunk is awaited,
// the next one already travels, so the client's and the server's work on consecutive chunks
// overlap. Answers are handed out strictly in the order the chunks were sent, so that chunks are
// confirmed in file order and none is ever taken for confirmed while one before it is not.
// Used from one thread; each call to the server runs on a thread of its own.
class InFlightChunks {
public:
    struct Chunk {
        uint64_t offset = 0;
        std::vector<uint8_t> bytes;
        std::string localHash;  // Base64 of the MD5 digest of bytes
    };
    struct Answer {
        Chunk chunk;                                       // handed back: to send again, or done with
        std::optional<std::string> serverHash;             // what UploadChunk returned
        std::optional<core::OrvantaSoapException> caught;  // or what it raised
    };

    // clients: one per chunk that may travel at once (at least one); not owned, they must outlive
    // this object.
    InFlightChunks(std::vector<service::IUploadService*> clients, std::string sessionID, std::string fileName);
    // Waits for the chunks still on their way; their answers are dropped.
    ~InFlightChunks();
    InFlightChunks(const InFlightChunks&) = delete;
    InFlightChunks& operator=(const InFlightChunks&) = delete;

    // Whether a client is free to send another chunk.
    bool hasRoom() const { return entries_.size() < clients_.size(); }
    bool empty() const { return entries_.empty(); }

    // Sends the chunk behind the ones on their way. Needs room.
    void send(Chunk chunk);
    // Sends a chunk again ahead of the ones on their way, so that its answer comes next. Needs room.
    void sendAgain(Chunk chunk);
    // Waits for the answer to the oldest chunk on its way. Needs a chunk on its way. Exceptions
    // other than core::OrvantaSoapException pass through.
    Answer next();

private:
    struct Entry {
        Chunk chunk;
        service::IUploadService* client = nullptr;
        std::future<std::optional<std::string>> answer;
    };
    Entry start(Chunk chunk);

    std::vector<service::IUploadService*> clients_;
    const std::string sessionID_;
    const std::string fileName_;
    std::deque<Entry> entries_;  // oldest first
};

}  // namespace orvanta::upload
