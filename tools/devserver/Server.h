#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <string_view>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "devserver/BodyBuffers.h"
#include "devserver/Faults.h"
#include "devserver/FileStore.h"
#include "devserver/Options.h"
#include "devserver/RecorderOperations.h"
#include "devserver/State.h"
#include "devserver/UploadReceiver.h"

namespace orvanta::devserver {

inline constexpr const char* kDataReceiverPath = "/Orvanta/services/DataReceiver.svc";

// The HTTP side: binds 127.0.0.1, routes the two SOAP endpoints through the fault injector to
// their operations, and serves the pages and helpers.
class Server {
public:
    // `data` is the data document, or null for the built-in defaults.
    Server(const Options& options, std::filesystem::path storage, nlohmann::json data);

    // Binds the listening socket; the port, or throws std::runtime_error. Throws
    // std::invalid_argument when the data document is unusable.
    int bind();
    // Serves until stop(). False when serving could not start.
    bool run();
    // May be called from any thread, also before run() has started (it then stops it at once).
    void stop();

private:
    void serveSoap(const httplib::Request& req, std::string_view body, httplib::Response& res, const char* extension);
    std::string answerSoap(const httplib::Request& req, std::string_view body, const char* extension);

    Options options_;
    nlohmann::json data_;
    httplib::Server http_;
    FaultInjector faults_;
    FileStore store_;
    std::unique_ptr<State> state_;
    std::unique_ptr<RecorderOperations> recorder_;
    std::unique_ptr<UploadReceiver> receiver_;
    BodyBuffers bodies_;  // for the receiver's requests, which carry the chunks
    std::atomic<bool> stopRequested_{false};
    int port_ = 0;
};

}  // namespace orvanta::devserver
