#include "devserver/Server.h"

#include <memory>
#include <stdexcept>

#include "core/Log.h"
#include "devserver/Connections.h"
#include "devserver/Mtom.h"
#include "devserver/Pages.h"
#include "devserver/SoapRequest.h"
#include "devserver/SoapWriter.h"
#include "service/ServiceConstants.h"

namespace orvanta::devserver {

namespace {

// The method name the SOAPAction header ends with, for the request log.
std::string actionMethod(const httplib::Request& req) {
    std::string action = req.get_header_value("SOAPAction");
    while (!action.empty() && (action.back() == '"' || action.back() == '/')) action.pop_back();
    if (!action.empty() && action.front() == '"') action.erase(0, 1);
    size_t slash = action.find_last_of('/');
    return slash == std::string::npos ? action : action.substr(slash + 1);
}

constexpr size_t kWorkers = 16;

// Marks an answer that is never sent, for the request log.
constexpr const char* kDroppedHeader = "X-Devserver-Dropped";

}  // namespace

Server::Server(const Options& options, std::filesystem::path storage, nlohmann::json data)
    : options_(options), data_(std::move(data)), faults_(options), store_(std::move(storage)) {}

int Server::bind() {
    // Small answers go out at once instead of waiting for the client's delayed acknowledgement.
    http_.set_tcp_nodelay(true);
    int port = options_.port;
    if (port == 0) {
        port = http_.bind_to_any_port("127.0.0.1");
        if (port < 0) throw std::runtime_error("cannot listen on 127.0.0.1");
    } else if (!http_.bind_to_port("127.0.0.1", port)) {
        throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port));
    }

    port_ = port;
    state_ = std::make_unique<State>("http://127.0.0.1:" + std::to_string(port));
    if (data_.is_null())
        state_->loadDefaults();
    else
        state_->load(data_);
    recorder_ = std::make_unique<RecorderOperations>(*state_, store_, options_.minRecorderVersion);
    receiver_ = std::make_unique<UploadReceiver>(*state_, store_, faults_, options_.chunkSize, options_.uploadingCount);

    // The chunks of an upload travel over one or two kept-open connections; let each carry many
    // requests.
    http_.set_keep_alive_max_count(1000);
    // A connection kept open between requests holds a worker; leave room for several clients.
    // The library takes ownership of the queue it is handed.
    http_.new_task_queue = [] { return std::make_unique<httplib::ThreadPool>(kWorkers).release(); };
    http_.Post(service::kRecorderServicePath,
               [this](const httplib::Request& req, httplib::Response& res) { serveSoap(req, req.body, res, ""); });
    http_.Post(kDataReceiverPath, [this](const httplib::Request& req, httplib::Response& res,
                                         const httplib::ContentReader& content) {
        auto body = bodies_.take(static_cast<size_t>(req.get_header_value<uint64_t>("Content-Length")));
        if (!content([&](const char* data, size_t length) {
                body.buffer().append(data, length);
                return true;
            }))
            return;  // the connection failed; nothing can be answered
        serveSoap(req, body.buffer(), res, service::kUploadExtension);
    });
    addPages(http_, *state_);
    addAdminRoutes(http_, *state_, store_);
    http_.set_logger([](const httplib::Request& req, const httplib::Response& res) {
        const std::string method = actionMethod(req);
        const std::string outcome = res.has_header(kDroppedHeader) ? "dropped" : std::to_string(res.status);
        core::logf("%s %s%s%s -> %s", req.method.c_str(), req.path.c_str(), method.empty() ? "" : " ",
                   method.c_str(), outcome.c_str());
    });
    core::logf("storage %s, chunk size %d, fault seed %llu", store_.root().c_str(), options_.chunkSize,
               static_cast<unsigned long long>(faults_.seed()));
    return port;
}

bool Server::run() {
    if (stopRequested_) return true;
    return http_.listen_after_bind();
}

void Server::stop() {
    stopRequested_ = true;
    http_.stop();
    if (port_ > 0) dropAllConnections(port_);
}

void Server::serveSoap(const httplib::Request& req, std::string_view body, httplib::Response& res,
                       const char* extension) {
    if (faults_.dropThisRequest()) {
        core::logf("%s %s: dropping the connection", req.path.c_str(), actionMethod(req).c_str());
        res.set_header("Connection", "close");
        res.set_header(kDroppedHeader, "1");
        if (dropConnection(req.remote_addr, req.remote_port, req.local_port)) return;
        core::logf("the connection to drop was not found; answering 500 instead");
        res.status = 500;
        res.set_content(soapFault(SoapFault("connection dropped", false)), kXmlContentType);
        return;
    }
    faults_.delay();
    if (faults_.failThisRequest()) {
        core::logf("%s %s: failing on purpose", req.path.c_str(), actionMethod(req).c_str());
        res.status = 500;
        res.set_content(soapFault(SoapFault("Server was unable to process request: injected failure", false)),
                        kXmlContentType);
        return;
    }
    try {
        res.set_content(answerSoap(req, body, extension), kXmlContentType);
        res.status = 200;
    } catch (const SoapFault& fault) {
        core::logf("%s %s: fault: %s", req.path.c_str(), actionMethod(req).c_str(), fault.what());
        res.status = fault.status();
        res.set_content(soapFault(fault), kXmlContentType);
    } catch (const std::exception& e) {
        core::logf("%s %s: failed: %s", req.path.c_str(), actionMethod(req).c_str(), e.what());
        res.status = 500;
        res.set_content(soapFault(SoapFault(e.what(), false)), kXmlContentType);
    }
}

std::string Server::answerSoap(const httplib::Request& req, std::string_view body, const char* extension) {
    const SoapMessage message = readSoapMessage(body, req.get_header_value("Content-Type"));
    const SoapCall call = SoapCall::parse(message.envelope, req.get_header_value("SOAPAction"), extension);
    if (*extension) return receiver_->answer(call, message);
    return recorder_->answer(call);
}

}  // namespace orvanta::devserver
