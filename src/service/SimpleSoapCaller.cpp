#include "service/SimpleSoapCaller.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cmath>
#include <mutex>
#include <utility>

#include "core/Log.h"
#include "core/RunLoop.h"
#include "core/Settings.h"
#include "core/SettingsKeys.h"
#include "orvanta/BuildInfo.h"
#include "service/HTTPError.h"
#include "service/MTOMHelpers.h"
#include "service/SoapEnvelope.h"
#include "service/SoapXMLAccumulator.h"

namespace orvanta::service {

namespace {

struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiDeleter {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using EasyPtr = std::unique_ptr<CURL, EasyDeleter>;
using MultiPtr = std::unique_ptr<CURLM, MultiDeleter>;
using SlistPtr = std::unique_ptr<curl_slist, SlistDeleter>;

void initCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

// Appends to a header list, keeping ownership in the RAII holder.
void appendHeader(SlistPtr& list, const std::string& header) {
    curl_slist* grown = curl_slist_append(list.get(), header.c_str());
    if (grown) {
        (void)list.release();
        list.reset(grown);
    }
}

// How much of an abandoned oversized body is kept for the error.
constexpr size_t kKeptBodyPrefix = 64 * 1024;

constexpr long kURLErrorUnknown = -1;
constexpr long kURLErrorCancelled = -999;
constexpr long kURLErrorTimedOut = -1001;

core::Error transportError(CURLcode code, const char* text) {
    long mapped = kURLErrorUnknown;
    switch (code) {
        case CURLE_COULDNT_CONNECT:
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            mapped = core::kURLErrorNotConnectedToInternet;
            break;
        case CURLE_OPERATION_TIMEDOUT:
            mapped = kURLErrorTimedOut;
            break;
        case CURLE_ABORTED_BY_CALLBACK:
            mapped = kURLErrorCancelled;
            break;
        default:
            break;
    }
    std::string description = (text && *text) ? text : curl_easy_strerror(code);
    core::Error error(core::kURLErrorDomain, mapped, description);
    error.with("curlcode", std::to_string(int(code)));
    return error;
}

std::string describe(const core::Error& error) {
    return "Error Domain=" + error.domain + " Code=" + std::to_string(error.code) + " \"" +
           error.localizedDescription() + "\"";
}

std::string describeUserInfo(const core::Error& error) {
    std::string out = "{";
    for (const auto& [key, value] : error.userInfo) out += " " + key + " = " + value + ";";
    return out + " }";
}

// One call: everything the transfer needs, built before it is queued.
struct Request {
    uint64_t id = 0;
    std::string url;
    std::string method;
    std::string body;
    std::string contentType;
    std::string action;
    std::any state;
};

}  // namespace

struct SimpleSoapCaller::Impl {
    explicit Impl(core::RunLoop& loop_) : loop(loop_) {
        initCurlOnce();
        easy.reset(curl_easy_init());
        multi.reset(curl_multi_init());
    }

    ~Impl() {
        // The easy handle is never left in the multi handle between transfers; the connection cache
        // goes with the multi handle.
        multi.reset();
        easy.reset();
    }

    core::RunLoop& loop;

    mutable std::recursive_mutex callbackMutex;  // held while a callback runs
    ISoapCallback* callback = nullptr;
    SimpleSoapCaller* owner = nullptr;

    mutable std::mutex configMutex;
    std::string url;
    double transferSeconds = kDefaultTransferSeconds;
    std::atomic<bool> logSoap{false};

    // Calls are numbered; every call numbered up to cancelledThrough is cancelled.
    std::atomic<uint64_t> lastIssued{0};
    std::atomic<uint64_t> cancelledThrough{0};

    // Used on the transfer thread only (curl_multi_wakeup excepted, which is safe from any thread).
    EasyPtr easy;
    MultiPtr multi;

    bool isCancelled(uint64_t id) const { return id <= cancelledThrough.load(); }

    void cancel() {
        const uint64_t through = lastIssued.load();
        uint64_t current = cancelledThrough.load();
        while (current < through && !cancelledThrough.compare_exchange_weak(current, through)) {
        }
        if (multi) curl_multi_wakeup(multi.get());
    }

    template <typename Fn>
    void report(const Request& request, Fn&& fn) {
        std::lock_guard lock(callbackMutex);
        if (!callback || isCancelled(request.id)) return;
        fn(*callback, owner);
    }

    void perform(Request& request);
    void finish(Request& request, std::string& body, long status, const std::optional<std::string>& contentType);
};

namespace {

struct Receiver {
    using Clock = std::chrono::steady_clock;

    std::string* body = nullptr;
    bool tooLarge = false;
    const SimpleSoapCaller::Impl* impl = nullptr;
    uint64_t id = 0;
    // Idle tracking: when bytes last moved in either direction.
    curl_off_t downloaded = 0;
    curl_off_t uploaded = 0;
    Clock::time_point lastActivity = Clock::now();
};

size_t onBodyData(char* data, size_t size, size_t count, void* user) {
    auto& receiver = *static_cast<Receiver*>(user);
    const size_t n = size * count;
    if (n > SimpleSoapCaller::kMaxResponseBytes - receiver.body->size()) {
        receiver.tooLarge = true;
        const size_t room = kKeptBodyPrefix > receiver.body->size() ? kKeptBodyPrefix - receiver.body->size() : 0;
        receiver.body->append(data, std::min(room, n));
        return 0;  // makes the transfer fail with CURLE_WRITE_ERROR
    }
    receiver.body->append(data, n);
    return n;
}

int onProgress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
    auto& receiver = *static_cast<Receiver*>(user);
    if (downloaded != receiver.downloaded || uploaded != receiver.uploaded) {
        receiver.downloaded = downloaded;
        receiver.uploaded = uploaded;
        receiver.lastActivity = Receiver::Clock::now();
    }
    return receiver.impl->isCancelled(receiver.id) ? 1 : 0;
}

}  // namespace

void SimpleSoapCaller::Impl::perform(Request& request) {
    if (isCancelled(request.id)) return;
    if (!easy || !multi) {
        report(request, [&](ISoapCallback& cb, SimpleSoapCaller* caller) {
            cb.onSoapError(core::Error(core::kURLErrorDomain, kURLErrorUnknown, "cannot create a transfer handle"),
                           caller, request.state);
        });
        return;
    }

    double seconds;
    {
        std::lock_guard lock(configMutex);
        seconds = transferSeconds;
    }
    const long connectMillis = std::max(1L, std::lround(seconds * 1000));
    const long idleSeconds = std::max(1L, std::lround(std::ceil(seconds)));

    SlistPtr headers;
    appendHeader(headers, "Content-Type: " + request.contentType);
    appendHeader(headers, "SOAPAction: " + request.action);
    appendHeader(headers, "Expect:");  // send the body at once, no "100-continue" round trip

    std::string body;
    Receiver receiver{&body, false, this, request.id};
    char errorText[CURL_ERROR_SIZE] = {0};
    const std::string agent = userAgent();

    CURL* e = easy.get();
    curl_easy_reset(e);  // keeps the connection cache, which lives in the multi handle
    curl_easy_setopt(e, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_POST, 1L);
    curl_easy_setopt(e, CURLOPT_POSTFIELDS, request.body.data());
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(request.body.size()));
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(e, CURLOPT_USERAGENT, agent.c_str());
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, connectMillis);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, idleSeconds);
    curl_easy_setopt(e, CURLOPT_MAXFILESIZE_LARGE, curl_off_t(kMaxResponseBytes));
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &onBodyData);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &receiver);
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &onProgress);
    curl_easy_setopt(e, CURLOPT_XFERINFODATA, &receiver);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, errorText);

    // The idle limit is watched here rather than left to curl's low-speed check alone, which averages
    // over several seconds and so fires late; that check stays as a backstop.
    const auto idleLimit = std::chrono::duration_cast<Receiver::Clock::duration>(std::chrono::duration<double>(seconds));
    bool idle = false;

    CURLM* m = multi.get();
    receiver.lastActivity = Receiver::Clock::now();
    CURLMcode multiCode = curl_multi_add_handle(m, e);
    bool cancelled = false;
    bool done = false;
    CURLcode result = CURLE_OK;
    while (multiCode == CURLM_OK) {
        int running = 0;
        multiCode = curl_multi_perform(m, &running);
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(m, &queued)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == e) {
                done = true;
                result = message->data.result;
            }
        }
        if (done || multiCode != CURLM_OK) break;
        if (isCancelled(request.id)) {
            cancelled = true;
            break;
        }
        const auto idleFor = Receiver::Clock::now() - receiver.lastActivity;
        if (idleFor >= idleLimit) {
            idle = true;
            break;
        }
        // cancel() interrupts the wait through curl_multi_wakeup.
        const auto untilIdle = std::chrono::duration_cast<std::chrono::milliseconds>(idleLimit - idleFor).count() + 1;
        multiCode = curl_multi_poll(m, nullptr, 0, int(std::clamp<long long>(untilIdle, 1, 1000)), nullptr);
    }
    curl_multi_remove_handle(m, e);
    if (cancelled || isCancelled(request.id)) return;

    long status = 0;
    curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &status);
    char* type = nullptr;
    curl_easy_getinfo(e, CURLINFO_CONTENT_TYPE, &type);
    const std::optional<std::string> contentType = type ? std::optional<std::string>(type) : std::nullopt;
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, nullptr);

    const bool tooLarge = receiver.tooLarge || (done && result == CURLE_FILESIZE_EXCEEDED);
    if (tooLarge) {
        core::logf("%s response to %s is larger than %zu bytes; abandoned", ORV_FUNC, request.method.c_str(),
                   kMaxResponseBytes);
        if (body.size() > kKeptBodyPrefix) body.resize(kKeptBodyPrefix);
        core::Error error = status >= 400 ? httpErrorWithCode(status, localizedStringForStatusCode(status), body)
                                          : parseFailure(request.method, body);
        report(request, [&](ISoapCallback& cb, SimpleSoapCaller* caller) { cb.onSoapError(error, caller, request.state); });
        return;
    }

    if (idle) {
        done = true;
        result = CURLE_OPERATION_TIMEDOUT;
        snprintf(errorText, sizeof errorText, "The request timed out: no data moved for %.1f seconds", seconds);
    }
    if (!done || result != CURLE_OK) {
        core::Error error = !done ? core::Error(core::kURLErrorDomain, kURLErrorUnknown, curl_multi_strerror(multiCode))
                                  : transportError(result, errorText);
        if (logSoap)
            core::logf("Connection Failed.  Error %s (%s) %s", describe(error).c_str(), describeUserInfo(error).c_str(),
                       ORV_FUNC);
        report(request, [&](ISoapCallback& cb, SimpleSoapCaller* caller) { cb.onSoapError(error, caller, request.state); });
        return;
    }

    if (logSoap) core::logf("Server response loaded %s", ORV_FUNC);
    finish(request, body, status, contentType);
}

void SimpleSoapCaller::Impl::finish(Request& request, std::string& body, long status,
                                    const std::optional<std::string>& contentType) {
    if (status >= 400) {
        if (logSoap) core::logf("HTTP %ld: %s ", status, body.c_str());
        core::Error error = httpErrorWithCode(status, localizedStringForStatusCode(status), std::move(body));
        report(request, [&](ISoapCallback& cb, SimpleSoapCaller* caller) { cb.onSoapError(error, caller, request.state); });
        return;
    }
    if (status < 200 || status >= 300) {
        // Neither a result nor an HTTP error: nothing is reported (a blocking caller times out).
        if (logSoap) core::logf("%s HTTP %ld for %s: nothing reported", ORV_FUNC, status, request.method.c_str());
        return;
    }

    auto outcome = resultFromResponse(request.method, body, MTOMHelpers::MTOMBoundaryFromContentType(contentType),
                                      logSoap);
    if (auto* map = std::get_if<model::ResultMap>(&outcome)) {
        report(request, [&](ISoapCallback& cb, SimpleSoapCaller* caller) {
            cb.onSoapData(std::move(*map), caller, request.state);
        });
    } else {
        const auto& error = std::get<core::Error>(outcome);
        report(request, [&](ISoapCallback& cb, SimpleSoapCaller* caller) { cb.onSoapError(error, caller, request.state); });
    }
}

// ---- SimpleSoapCaller ----------------------------------------------------------------------------

SimpleSoapCaller::SimpleSoapCaller(core::RunLoop& transferLoop) : impl_(std::make_shared<Impl>(transferLoop)) {
    impl_->owner = this;
    impl_->logSoap = core::Settings::standard().boolForKey(core::kLogSoap);
}

SimpleSoapCaller::~SimpleSoapCaller() {
    impl_->cancel();
    std::lock_guard lock(impl_->callbackMutex);
    impl_->callback = nullptr;
    impl_->owner = nullptr;
}

void SimpleSoapCaller::setCallback(ISoapCallback* callback) {
    if (!callback) impl_->cancel();
    std::lock_guard lock(impl_->callbackMutex);
    impl_->callback = callback;
}

ISoapCallback* SimpleSoapCaller::callback() const {
    std::lock_guard lock(impl_->callbackMutex);
    return impl_->callback;
}

void SimpleSoapCaller::setURL(std::string url) {
    std::lock_guard lock(impl_->configMutex);
    impl_->url = std::move(url);
}

std::string SimpleSoapCaller::url() const {
    std::lock_guard lock(impl_->configMutex);
    return impl_->url;
}

void SimpleSoapCaller::cancel() { impl_->cancel(); }

void SimpleSoapCaller::setTransferTimeout(double seconds) {
    if (!(seconds > 0)) seconds = kDefaultTransferSeconds;  // zero, negative or NaN: the default
    std::lock_guard lock(impl_->configMutex);
    impl_->transferSeconds = seconds;
}

double SimpleSoapCaller::transferTimeout() const {
    std::lock_guard lock(impl_->configMutex);
    return impl_->transferSeconds;
}

void SimpleSoapCaller::setLogSoap(bool logSoap) { impl_->logSoap = logSoap; }
bool SimpleSoapCaller::logSoap() const { return impl_->logSoap; }

std::string SimpleSoapCaller::userAgent() {
    return std::string("Orvanta/") + build::kBundleVersion + " CFNetOSX/ Darwin/ Mac OS X";
}

void SimpleSoapCaller::callSoapMethod(const std::string& method, const std::string& ns, const std::string& extension,
                                      const std::vector<std::string>* names, const std::vector<SoapValue>* values,
                                      std::any state) {
    Request request;
    request.method = method;
    request.state = std::move(state);
    request.url = url();

    // Bytes among the values travel as an MTOM attachment; the part IDs derive from the namespace.
    const std::string partNamespace = combineNamespace(ns, "", "");
    const std::string startID = partNamespace + "0";
    const std::string bufferID = partNamespace + "1";
    const SoapBinary* buffer = nullptr;
    int bufferIndex = -1;
    std::optional<std::vector<SoapValue>> substituted;
    if (names && values)
        substituted = MTOMHelpers::MTOMParametersWithIDForBuffer(bufferID, *values, &buffer, &bufferIndex);

    std::string envelope =
        createSOAPBodyFromMethod(method, ns, extension, names, substituted ? &*substituted : values, bufferIndex);
    if (impl_->logSoap) core::logf("Calling SOAP method with XML: %s", envelope.c_str());

    if (substituted && buffer) {
        std::string boundary;
        request.body = MTOMHelpers::MTOMBodyFromEnvelope(envelope, *buffer, startID, bufferID, &boundary);
        request.contentType = MTOMHelpers::MTOMContentTypeWithBoundary(boundary, startID);
    } else {
        request.body = std::move(envelope);
        request.contentType = "text/xml; charset=utf-8";
    }
    request.action = "\"" + combineNamespace(ns, extension, method) + "\"";
    request.id = ++impl_->lastIssued;

    impl_->loop.post([impl = impl_, request = std::move(request)]() mutable { impl->perform(request); });
}

// ---- Response handling ---------------------------------------------------------------------------

core::Error SimpleSoapCaller::parseFailure(const std::string& method, std::string body) {
    core::Error error(core::kOrvantaErrorDomain, 87, "Webservice failure",
                      "Failed to parse server response for method " + method);
    error.with(core::kResponseBodyKey, std::move(body));
    return error;
}

std::variant<model::ResultMap, core::Error> SimpleSoapCaller::resultFromResponse(
    const std::string& method, std::string_view body, const std::optional<std::string>& boundary, bool logSoap) {
    std::string_view xml = body;
    if (boundary) {
        auto cut = MTOMHelpers::MTOMXMLFromMultipartBody(body, *boundary);
        if (!cut) {
            core::logf("%s multipart response to %s has no XML part", ORV_FUNC, method.c_str());
            return parseFailure(method, std::string(body));
        }
        xml = *cut;
    }
    if (logSoap) core::logf("%.*s", int(std::min<size_t>(xml.size(), INT32_MAX)), xml.data());

    SoapXMLAccumulator accumulator(method + "Response");
    std::string message;
    if (!accumulator.parse(xml, &message)) {
        core::logf("%s XML parsing error occurred", ORV_FUNC);
        core::logf("%s %s (method %s)", ORV_FUNC, message.c_str(), method.c_str());
    }
    auto value = accumulator.takeValue();
    if (!value) return parseFailure(method, std::string(xml));

    auto response = value->find("response");
    if (response != value->end() && response->second.isMap()) {
        auto& inner = response->second.map();
        auto result = inner.find(method + "Result");
        if (result != inner.end()) {
            model::ResultValue x = std::move(result->second);
            if (x.isMap() && x.map().empty()) x = model::ResultValue(model::ResultNull{});
            return model::ResultMap{{"response", std::move(x)}};
        }
    }
    return std::move(*value);
}

}  // namespace orvanta::service
