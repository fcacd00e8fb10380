#pragma once

#include <any>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/Error.h"
#include "model/ServiceResult.h"
#include "service/SoapValue.h"

namespace orvanta::core {
class RunLoop;
}

namespace orvanta::service {

class ISoapCaller;

// Receives the outcome of an asynchronous call, on the thread that runs the caller's transfers.
class ISoapCallback {
public:
    virtual ~ISoapCallback() = default;
    virtual void onSoapError(const core::Error& error, ISoapCaller* caller, const std::any& state) = 0;
    virtual void onSoapData(model::ResultMap data, ISoapCaller* caller, const std::any& state) = 0;
};

// An asynchronous SOAP caller: one call at a time, outcome reported to the callback.
class ISoapCaller {
public:
    virtual ~ISoapCaller() = default;
    virtual void setCallback(ISoapCallback* callback) = 0;
    virtual ISoapCallback* callback() const = 0;
    virtual void setURL(std::string url) = 0;
    virtual void callSoapMethod(const std::string& method, const std::string& ns, const std::string& extension,
                                const std::vector<std::string>* names, const std::vector<SoapValue>* values,
                                std::any state) = 0;
};

// Makes SOAP 1.1 calls over HTTP POST with libcurl.
//
// callSoapMethod builds the request on the calling thread and queues the transfer as a task on the run
// loop given at construction; the transfer, and the callback with its outcome, run on that loop's
// thread. Calls queued while one is in flight run one after the other. One curl handle is kept for the
// life of the caller, so calls to the same host reuse one keep-alive connection.
//
// Outcomes:
//  - transport failure: domain core::kURLErrorDomain, code -1009 (cannot connect / resolve), -1001
//    (time-out), -1 (anything else), the transport's error text as description;
//  - HTTP status >= 400: an HTTP error (service/HTTPError.h), failure reason = body;
//  - 2xx: the result tree {"response": ...}, or error 87 when the response element is missing or the
//    XML cannot be parsed;
//  - 1xx and 3xx: nothing is reported;
//  - a body over kMaxResponseBytes is abandoned: error 87 (or the HTTP error with the body's start).
// Cancelled calls (cancel(), setCallback(nullptr), destruction) report nothing.
//
// The time-out is an idle limit: connecting, and any stretch with no bytes moving in either direction,
// may take at most transferSeconds; a slow transfer that keeps moving is never cut off.
class SimpleSoapCaller final : public ISoapCaller {
public:
    static constexpr size_t kMaxResponseBytes = size_t(64) * 1024 * 1024;
    static constexpr double kDefaultTransferSeconds = 60;

    // transferLoop runs the transfers; it must outlive the transfers queued on it. Reads the "LogSoap"
    // setting once.
    explicit SimpleSoapCaller(core::RunLoop& transferLoop);
    ~SimpleSoapCaller() override;
    SimpleSoapCaller(const SimpleSoapCaller&) = delete;
    SimpleSoapCaller& operator=(const SimpleSoapCaller&) = delete;

    // Not owned. Setting nothing cancels the call in flight; it waits for a callback that is running
    // on the transfer thread to return (so afterwards the old callback is never called again).
    void setCallback(ISoapCallback* callback) override;
    ISoapCallback* callback() const override;
    void setURL(std::string url) override;
    std::string url() const;

    // Starts the call and returns at once. The value at the position of the last byte value is sent as
    // an MTOM attachment; everything else is escaped into the envelope.
    void callSoapMethod(const std::string& method, const std::string& ns, const std::string& extension,
                        const std::vector<std::string>* names, const std::vector<SoapValue>* values,
                        std::any state) override;

    // Cancels the call in flight and the ones queued behind it; none of them reports. Any thread.
    void cancel();

    void setTransferTimeout(double seconds);
    double transferTimeout() const;
    void setLogSoap(bool logSoap);
    bool logSoap() const;

    // "Orvanta/<bundle version> CFNetOSX/ Darwin/ Mac OS X".
    static std::string userAgent();
    // The outcome of a 2xx response body: the multipart cut when a boundary is given, parsing, and the
    // method-result rule. logSoap: log the XML text.
    static std::variant<model::ResultMap, core::Error> resultFromResponse(const std::string& method,
                                                                          std::string_view body,
                                                                          const std::optional<std::string>& boundary,
                                                                          bool logSoap = false);
    // Error 87 for a response of method that could not be used.
    static core::Error parseFailure(const std::string& method, std::string body);

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace orvanta::service
