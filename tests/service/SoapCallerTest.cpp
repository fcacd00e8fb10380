#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <thread>

#include "core/Util.h"
#include "orvanta/BuildInfo.h"
#include "service/HTTPError.h"
#include "service/LocalHttpServer.h"
#include "service/MTOMHelpers.h"
#include "service/ServiceConstants.h"
#include "service/SoapEnvelope.h"
#include "service/SynchronousSoapCaller.h"
#include "support/Latch.h"
#include "support/LogCapture.h"

namespace orvanta::service {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using model::ResultMap;
using model::ResultNull;
using test::LocalHttpServer;
using test::RawOneShotServer;

std::string soapResponse(const std::string& method, const std::string& content) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?><soap:Envelope "
           "xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Body><" +
           method + "Response xmlns=\"http://services.orvanta.com/recorder/2011/\">" + content + "</" + method +
           "Response></soap:Body></soap:Envelope>";
}

const std::string kFault =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?><soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\">"
    "<soap:Body><soap:Fault><faultcode>soap:Server</faultcode><faultstring>Server was unable to process request."
    "</faultstring></soap:Fault></soap:Body></soap:Envelope>";

// A caller with test-sized limits.
std::unique_ptr<SynchronousSoapCaller> makeCaller(const std::string& url, double transfer = 2, double wait = 5) {
    auto caller = std::make_unique<SynchronousSoapCaller>(url);
    caller->setTimeouts(transfer, wait);
    caller->setLogSoap(false);
    return caller;
}

struct Call {
    std::optional<ResultMap> result;
    core::Error error;
    Clock::duration took{};
};

Call call(SynchronousSoapCaller& caller, const std::string& method, std::vector<std::string> names = {},
          std::vector<SoapValue> values = {}, const std::string& ns = kServiceNamespace,
          const std::string& extension = "") {
    Call out;
    out.error = core::Error("stale", 1);
    const auto started = Clock::now();
    out.result = caller.callSoapMethod(method, ns, extension, &names, &values, &out.error);
    out.took = Clock::now() - started;
    return out;
}

std::string header(const LocalHttpServer::Seen& seen, const std::string& name) {
    auto it = seen.headers.find(name);
    return it == seen.headers.end() ? std::string("(absent)") : it->second;
}

TEST(SoapCallerTest, PlainCallSendsTheRequestAndReturnsTheTree) {
    LocalHttpServer server([](const httplib::Request&, httplib::Response& res) {
        res.set_content(soapResponse("GetSessionGroups",
                                     "<GetSessionGroupsResult><SimpleSessionGroup><Id>7</Id></SimpleSessionGroup>"
                                     "</GetSessionGroupsResult>"),
                        "text/xml; charset=utf-8");
    });
    auto caller = makeCaller(server.url());
    std::vector<std::string> names = {"user"};
    std::vector<SoapValue> values = {"a<b"};
    auto c = call(*caller, "GetSessionGroups", names, values);
    ASSERT_TRUE(c.result) << c.error.localizedDescription();
    EXPECT_EQ(*c.result, (ResultMap{{"response", ResultMap{{"SimpleSessionGroup", ResultMap{{"Id", "7"}}}}}}));
    EXPECT_TRUE(c.error.domain.empty()) << "the out-error is cleared on success";

    auto seen = server.seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].path, "/service");
    EXPECT_EQ(header(seen[0], "User-Agent"),
              std::string("Orvanta/") + build::kBundleVersion + " CFNetOSX/ Darwin/ Mac OS X");
    EXPECT_EQ(header(seen[0], "Content-Type"), "text/xml; charset=utf-8");
    EXPECT_EQ(header(seen[0], "SOAPAction"), "\"http://services.orvanta.com/recorder/2011/GetSessionGroups\"");
    EXPECT_EQ(header(seen[0], "Expect"), "(absent)");
    EXPECT_EQ(seen[0].body, createSOAPBodyFromMethod("GetSessionGroups", kServiceNamespace, "", &names, &values, -1));
}

TEST(SoapCallerTest, ResultRuleAndMissingResponseThroughTheWire) {
    struct Case {
        const char* what;
        std::string method;
        std::string body;
        std::optional<ResultMap> expected;  // none: error 87
    } cases[] = {
        {"empty result", "GetSessions", soapResponse("GetSessions", "<GetSessionsResult/>"),
         ResultMap{{"response", ResultNull{}}}},
        {"empty response", "StartRecording", soapResponse("StartRecording", ""), ResultMap{{"response", ResultMap{}}}},
        {"fault under 200", "StartRecording", kFault, std::nullopt},
        {"truncated XML", "ChunkSize", soapResponse("ChunkSize", "<ChunkSizeResult>1</ChunkSizeResult>").substr(0, 150),
         std::nullopt},
    };
    for (const auto& c : cases) {
        LocalHttpServer server([&](const httplib::Request&, httplib::Response& res) { res.set_content(c.body, "text/xml"); });
        auto caller = makeCaller(server.url());
        auto r = call(*caller, c.method);
        EXPECT_EQ(r.result, c.expected) << c.what;
        if (!c.expected) {
            EXPECT_EQ(r.error.code, 87) << c.what;
            EXPECT_EQ(r.error.userInfo[core::kResponseBodyKey], c.body) << c.what;
        }
    }
}

TEST(SoapCallerTest, MultipartResponse) {
    const std::string xml = soapResponse("UploadChunk", "<UploadChunkResult>abc==</UploadChunkResult>");
    LocalHttpServer server([&](const httplib::Request&, httplib::Response& res) {
        res.set_content("--uuid:b1\r\nContent-ID: <root>\r\nContent-Type: application/xop+xml;type=\"text/xml\"\r\n\r\n" +
                            xml + "\r\n--uuid:b1--\r\n",
                        "multipart/related; type=\"application/xop+xml\"; boundary=\"uuid:b1\"; start=\"<root>\"");
    });
    auto caller = makeCaller(server.url());
    auto r = call(*caller, "UploadChunk");
    ASSERT_TRUE(r.result) << r.error.failureReason;
    EXPECT_EQ(*r.result, (ResultMap{{"response", "abc=="}}));
}

TEST(SoapCallerTest, MTOMRequestOnTheWire) {
    LocalHttpServer server([](const httplib::Request&, httplib::Response& res) {
        res.set_content(soapResponse("UploadChunk", "<UploadChunkResult>h</UploadChunkResult>"), "text/xml");
    });
    auto caller = makeCaller(server.url(), 10, 20);
    SoapBinary chunk(2 * 1024 * 1024 + 3);
    for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = uint8_t(i * 7);
    std::vector<std::string> names = {"sessionID", "fileName", "buffer", "offset"};
    std::vector<SoapValue> values = {"s-1", "dir/ä.mov", chunk, "5368709120"};
    auto r = call(*caller, "UploadChunk", names, values, kServiceNamespaceWithSlash, kUploadExtension);
    ASSERT_TRUE(r.result) << r.error.localizedDescription();
    EXPECT_EQ(*r.result, (ResultMap{{"response", "h"}}));

    auto seen = server.seen();
    ASSERT_EQ(seen.size(), 1u);
    const std::string contentType = header(seen[0], "Content-Type");
    auto boundary = MTOMHelpers::MTOMBoundaryFromContentType(contentType);
    ASSERT_TRUE(boundary) << contentType;
    const std::string startID = "http://services.orvanta.com/recorder/2011/0";
    EXPECT_EQ(contentType, MTOMHelpers::MTOMContentTypeWithBoundary(*boundary, startID));
    EXPECT_EQ(header(seen[0], "SOAPAction"), "\"http://services.orvanta.com/recorder/2011/IWCFReceiver/UploadChunk\"");
    EXPECT_EQ(header(seen[0], "Expect"), "(absent)");

    auto substituted = MTOMHelpers::MTOMParametersWithIDForBuffer("http://services.orvanta.com/recorder/2011/1", values,
                                                                  nullptr, nullptr);
    const std::string envelope =
        createSOAPBodyFromMethod("UploadChunk", kServiceNamespaceWithSlash, kUploadExtension, &names, &*substituted, 2);
    EXPECT_NE(envelope.find("<buffer><xop:Include "), std::string::npos);
    EXPECT_NE(envelope.find("<offset>5368709120</offset>"), std::string::npos);
    EXPECT_TRUE(seen[0].body == MTOMHelpers::MTOMBodyWithBoundary(envelope, chunk, startID,
                                                                  "http://services.orvanta.com/recorder/2011/1", *boundary))
        << "the multipart body differs from the expected layout";
}

TEST(SoapCallerTest, HTTPErrorsCarryStatusTextAndBody) {
    struct Case {
        int status;
        std::string body;
        std::string description;
    } cases[] = {
        {500, kFault, "HTTP Error 500 internal server error"},
        {404, "no such service", "HTTP Error 404 not found"},
        {503, "", "HTTP Error 503 service unavailable"},
        {418, "teapot", "HTTP Error 418 client error"},
    };
    for (const auto& c : cases) {
        LocalHttpServer server([&](const httplib::Request&, httplib::Response& res) {
            res.status = c.status;
            res.set_content(c.body, "text/xml");
        });
        auto caller = makeCaller(server.url());
        auto r = call(*caller, "GetSessions");
        EXPECT_FALSE(r.result);
        EXPECT_EQ(r.error.domain, "Orvanta");
        EXPECT_EQ(r.error.code, c.status);
        EXPECT_EQ(r.error.description, c.description);
        EXPECT_EQ(r.error.failureReason, c.body);
        EXPECT_TRUE(isHTTPError(r.error));
        // What a service raises carries the whole body as its reason.
        try {
            core::throwWithSoapError(&r.error);
            ADD_FAILURE() << "no exception";
        } catch (const core::OrvantaSoapException& e) {
            EXPECT_EQ(e.error().code, c.status);
            if (!c.body.empty()) {
                EXPECT_EQ(std::string(e.what()), c.body);
            }
        }
    }
    EXPECT_FALSE(isHTTPError(SynchronousSoapCaller::timeoutError()));
    EXPECT_FALSE(isHTTPError(SimpleSoapCaller::parseFailure("M", "")));
}

TEST(SoapCallerTest, TransportFailures) {
    struct Case {
        const char* what;
        std::optional<std::string> answer;  // a raw reply; none: nothing listens
        long code;
    } cases[] = {
        {"connection refused", std::nullopt, -1009},
        {"connection closed without a reply", "", -1},
        {"garbage instead of HTTP", "SMTP ready\r\n\r\n", -1},
        {"body shorter than announced", "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\nContent-Type: text/xml\r\n\r\n<a>", -1},
    };
    for (const auto& c : cases) {
        std::unique_ptr<RawOneShotServer> raw;
        std::string url = "http://127.0.0.1:" + std::to_string(RawOneShotServer::closedPort()) + "/service";
        if (c.answer) {
            raw = std::make_unique<RawOneShotServer>(*c.answer);
            url = raw->url();
        }
        auto caller = makeCaller(url);
        auto r = call(*caller, "GetSessions");
        EXPECT_FALSE(r.result) << c.what;
        EXPECT_EQ(r.error.domain, core::kURLErrorDomain) << c.what;
        EXPECT_EQ(r.error.code, c.code) << c.what;
        EXPECT_FALSE(r.error.description.empty()) << c.what;
        EXPECT_LT(r.took, 3s) << c.what;
    }
    auto caller = makeCaller("http://127.0.0.1:" + std::to_string(RawOneShotServer::closedPort()) + "/");
    auto r = call(*caller, "GetSessions");
    EXPECT_EQ(core::messageFromError(&r.error), "You appear to be offline");
}

TEST(SoapCallerTest, IdleServerTimesOutAtTheTransport) {
    LocalHttpServer server([&](const httplib::Request&, httplib::Response& res) {
        server.holdUntilReleased();
        res.set_content("late", "text/xml");
    });
    auto caller = makeCaller(server.url(), 1, 10);
    auto r = call(*caller, "GetSessions");
    EXPECT_FALSE(r.result);
    EXPECT_EQ(r.error.domain, core::kURLErrorDomain);
    EXPECT_EQ(r.error.code, -1001);
    EXPECT_LT(r.took, 5s);
}

TEST(SoapCallerTest, SlowButMovingResponseIsNotCutOff) {
    // 2.5 s of trickling data against a 1 s idle limit.
    LocalHttpServer server([](const httplib::Request&, httplib::Response& res) {
        const std::string body = soapResponse("M", "<MResult>slow</MResult>");
        res.set_chunked_content_provider("text/xml", [body](size_t offset, httplib::DataSink& sink) {
            if (offset >= body.size()) {
                sink.done();
                return true;
            }
            std::this_thread::sleep_for(50ms);
            const size_t n = std::min<size_t>(4, body.size() - offset);
            return sink.write(body.data() + offset, n);
        });
    });
    auto caller = makeCaller(server.url(), 1, 20);
    auto r = call(*caller, "M");
    ASSERT_TRUE(r.result) << r.error.localizedDescription();
    EXPECT_EQ(*r.result, (ResultMap{{"response", "slow"}}));
    EXPECT_GT(r.took, 1500ms);
}

TEST(SoapCallerTest, NoOutcomeEndsWithError88) {
    std::atomic<bool> hang{true};
    LocalHttpServer server([&](const httplib::Request& req, httplib::Response& res) {
        if (req.path == "/redirect") {
            res.status = 302;
            res.set_header("Location", "/elsewhere");
            return;
        }
        if (req.path == "/hang") server.holdUntilReleased();
        res.set_content(soapResponse("M", "<MResult>ok</MResult>"), "text/xml");
    });
    for (const std::string path : {"/redirect", "/hang"}) {
        auto caller = makeCaller(server.url(path), 30, 0.3);
        auto r = call(*caller, "M");
        EXPECT_FALSE(r.result) << path;
        EXPECT_EQ(r.error.domain, "Orvanta") << path;
        EXPECT_EQ(r.error.code, 88) << path;
        EXPECT_EQ(r.error.description, "Webservice Failure") << path;
        EXPECT_EQ(r.error.failureReason, "Timeout waiting on SOAP call") << path;
        EXPECT_LT(r.took, 2s) << path;

        // The abandoned call neither blocks nor answers the next one.
        caller->caller().setURL(server.url("/ok"));
        auto next = call(*caller, "M");
        ASSERT_TRUE(next.result) << path << ": " << next.error.localizedDescription();
        EXPECT_EQ(*next.result, (ResultMap{{"response", "ok"}}));
        EXPECT_LT(next.took, 2s) << path;
    }
}

TEST(SoapCallerTest, CallsOfOneCallerShareOneConnection) {
    LocalHttpServer server([](const httplib::Request&, httplib::Response& res) {
        res.set_content(soapResponse("M", "<MResult>x</MResult>"), "text/xml");
    });
    auto caller = makeCaller(server.url());
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(call(*caller, "M").result);
    auto other = makeCaller(server.url());
    ASSERT_TRUE(call(*other, "M").result);

    auto seen = server.seen();
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].remotePort, seen[1].remotePort);
    EXPECT_EQ(seen[1].remotePort, seen[2].remotePort);
    EXPECT_NE(seen[2].remotePort, seen[3].remotePort) << "each caller has its own connection";
}

TEST(SoapCallerTest, OversizedResponsesAreAbandoned) {
    constexpr size_t kHuge = size_t(100) * 1024 * 1024;
    std::atomic<size_t> sent{0};
    LocalHttpServer server([&](const httplib::Request& req, httplib::Response& res) {
        auto provide = [&](size_t offset, size_t length, httplib::DataSink& sink) {
            static const std::string block(1024 * 1024, 'x');
            const size_t n = std::min(block.size(), length);
            if (!sink.write(block.data(), n)) return false;
            sent += n;
            (void)offset;
            return true;
        };
        if (req.path == "/announced") {
            res.set_content_provider(kHuge, "text/xml", provide);
        } else {
            res.status = req.path == "/error" ? 500 : 200;
            res.set_chunked_content_provider("text/xml", [&, provide](size_t offset, httplib::DataSink& sink) {
                if (offset >= kHuge) {
                    sink.done();
                    return true;
                }
                return provide(offset, kHuge - offset, sink);
            });
        }
    });
    for (const std::string path : {"/announced", "/chunked", "/error"}) {
        sent = 0;
        auto caller = makeCaller(server.url(path), 5, 30);
        auto r = call(*caller, "M");
        EXPECT_FALSE(r.result) << path;
        EXPECT_EQ(r.error.code, path == "/error" ? 500 : 87) << path;
        EXPECT_LE(r.error.userInfo[core::kResponseBodyKey].size() + r.error.failureReason.size(), 64u * 1024 + 64)
            << path << ": the error keeps only the start of the body";
        caller.reset();
        EXPECT_LT(sent.load(), kHuge) << path << ": the transfer was not read to its end";
    }
}

struct RecordingCallback : ISoapCallback {
    std::atomic<int> calls{0};
    test::Latch called;
    std::optional<ResultMap> data;
    std::any state;
    void onSoapError(const core::Error&, ISoapCaller*, const std::any& s) override {
        state = s;
        ++calls;
        called.set();
    }
    void onSoapData(ResultMap d, ISoapCaller*, const std::any& s) override {
        data = std::move(d);
        state = s;
        ++calls;
        called.set();
    }
};

TEST(SimpleSoapCallerTest, AsynchronousCallHandsBackItsState) {
    LocalHttpServer server([](const httplib::Request&, httplib::Response& res) {
        res.set_content(soapResponse("M", "<MResult>x</MResult>"), "text/xml");
    });
    WorkerThread worker;
    ASSERT_TRUE(worker.waitForStart());
    RecordingCallback callback;
    SimpleSoapCaller caller(worker.runLoop());
    caller.setURL(server.url());
    caller.setCallback(&callback);
    EXPECT_EQ(caller.callback(), &callback);
    caller.callSoapMethod("M", kServiceNamespace, "", nullptr, nullptr, std::string("my state"));
    ASSERT_TRUE(callback.called.wait());
    EXPECT_EQ(callback.data, (ResultMap{{"response", "x"}}));
    EXPECT_EQ(std::any_cast<std::string>(callback.state), "my state");
}

TEST(SimpleSoapCallerTest, DestructionCancelsAHangingTransferPromptly) {
    LocalHttpServer server([&](const httplib::Request&, httplib::Response& res) {
        server.holdUntilReleased();
        res.set_content(soapResponse("M", "<MResult>x</MResult>"), "text/xml");
    });
    for (bool clearCallbackFirst : {false, true}) {
        RecordingCallback callback;
        auto worker = std::make_unique<WorkerThread>();
        ASSERT_TRUE(worker->waitForStart());
        auto caller = std::make_unique<SimpleSoapCaller>(worker->runLoop());
        caller->setURL(server.url());
        caller->setTransferTimeout(30);
        caller->setCallback(&callback);
        const size_t before = server.seen().size();
        caller->callSoapMethod("M", kServiceNamespace, "", nullptr, nullptr, {});
        ASSERT_TRUE(server.waitForRequests(before + 1));

        const auto started = Clock::now();
        if (clearCallbackFirst) caller->setCallback(nullptr);
        caller.reset();
        worker.reset();
        EXPECT_LT(Clock::now() - started, 500ms);
        EXPECT_EQ(callback.calls.load(), 0);
    }
}

TEST(SynchronousSoapCallerTest, DestructionWithoutCallsAndWorkerLifecycle) {
    const auto started = Clock::now();
    { SynchronousSoapCaller caller("http://127.0.0.1:9/"); }
    EXPECT_LT(Clock::now() - started, 1s);

    WorkerThread worker;
    EXPECT_TRUE(worker.waitForStart());
    EXPECT_TRUE(worker.isRunning());
    std::thread::id ranOn;
    EXPECT_TRUE(worker.runLoop().postAndWait([&] { ranOn = std::this_thread::get_id(); }));
    EXPECT_NE(ranOn, std::this_thread::get_id());
    worker.closeThread();
    worker.join();
    EXPECT_FALSE(worker.isRunning());
    EXPECT_FALSE(worker.waitForStart());
    EXPECT_FALSE(worker.runLoop().postAndWait([] {}));
}

TEST(SoapCallerTest, LogSoapWritesTheConversation) {
    LocalHttpServer server([](const httplib::Request&, httplib::Response& res) {
        res.status = 500;
        res.set_content(kFault, "text/xml");
    });
    test::LogCapture log;
    auto caller = makeCaller(server.url());
    caller->setLogSoap(true);
    (void)call(*caller, "GetSessions");
    EXPECT_TRUE(log.contains("Calling SOAP method with XML: <?xml version=\"1.0\" encoding=\"utf-8\"?><soap:Envelope"));
    EXPECT_TRUE(log.contains("Server response loaded"));
    EXPECT_TRUE(log.contains("HTTP 500: " + kFault + " "));

    test::LogCapture quiet;
    caller->setLogSoap(false);
    (void)call(*caller, "GetSessions");
    EXPECT_FALSE(quiet.contains("Calling SOAP method"));
}

TEST(HTTPErrorTest, ReasonPhrases) {
    struct Case {
        long status;
        const char* text;
    } cases[] = {{500, "internal server error"}, {404, "not found"}, {400, "bad request"}, {401, "unauthorized"},
                 {403, "forbidden"}, {502, "bad gateway"}, {599, "server error"}, {499, "client error"},
                 {302, "found"}, {399, "redirected"}, {199, "informational"}};
    for (const auto& c : cases) EXPECT_EQ(localizedStringForStatusCode(c.status), c.text) << c.status;

    auto e = httpErrorWithCode(502, "bad gateway", "<html/>");
    EXPECT_EQ(e.domain, "Orvanta");
    EXPECT_EQ(e.code, 502);
    EXPECT_EQ(e.localizedDescription(), "HTTP Error 502 bad gateway");
    EXPECT_EQ(e.localizedFailureReason(), "<html/>");
}

}  // namespace
}  // namespace orvanta::service
