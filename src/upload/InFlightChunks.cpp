#include "upload/InFlightChunks.h"

#include <algorithm>
#include <span>
#include <stdexcept>

namespace orvanta::upload {

InFlightChunks::InFlightChunks(std::vector<service::IUploadService*> clients, std::string sessionID,
                               std::string fileName)
    : clients_(std::move(clients)), sessionID_(std::move(sessionID)), fileName_(std::move(fileName)) {
    if (clients_.empty()) throw std::invalid_argument("InFlightChunks needs a client");
}

InFlightChunks::~InFlightChunks() {
    for (auto& entry : entries_)
        if (entry.answer.valid()) entry.answer.wait();
}

InFlightChunks::Entry InFlightChunks::start(Chunk chunk) {
    auto busy = [this](service::IUploadService* client) {
        return std::any_of(entries_.begin(), entries_.end(), [client](const Entry& e) { return e.client == client; });
    };
    auto free = std::find_if_not(clients_.begin(), clients_.end(), busy);
    if (free == clients_.end()) throw std::logic_error("InFlightChunks: no client is free");
    Entry entry{std::move(chunk), *free, {}};
    // The bytes stay where they are while the call runs: the entry keeps them and is neither
    // touched nor destroyed before the call has returned.
    const std::span<const uint8_t> bytes(entry.chunk.bytes.data(), entry.chunk.bytes.size());
    entry.answer = std::async(std::launch::async, [this, client = *free, bytes, offset = entry.chunk.offset] {
        return client->UploadChunk(sessionID_, fileName_, bytes, offset);
    });
    return entry;
}

void InFlightChunks::send(Chunk chunk) { entries_.push_back(start(std::move(chunk))); }

void InFlightChunks::sendAgain(Chunk chunk) { entries_.push_front(start(std::move(chunk))); }

InFlightChunks::Answer InFlightChunks::next() {
    if (entries_.empty()) throw std::logic_error("InFlightChunks: nothing on its way");
    Entry& oldest = entries_.front();
    Answer answer;
    try {
        answer.serverHash = oldest.answer.get();
    } catch (const core::OrvantaSoapException& e) {
        answer.caught.emplace(e);
    }
    answer.chunk = std::move(oldest.chunk);
    entries_.pop_front();
    return answer;
}

}  // namespace orvanta::upload
