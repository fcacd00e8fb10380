#include <gtest/gtest.h>

#include <algorithm>

#include "core/Error.h"
#include "core/RunLoop.h"
#include "support/LogCapture.h"
#include "upload/UploadRetryScheduler.h"

using namespace orvanta;
using namespace std::chrono_literals;
using upload::RetryPolicy;
using upload::UploadRetryScheduler;

TEST(UploadRetryScheduler, DelaysDoubleUpToTheCapAndAttemptsRunOut) {
    test::LogCapture log;
    core::RunLoop loop;
    UploadRetryScheduler retries(loop, RetryPolicy{std::chrono::duration<double>(5), std::chrono::duration<double>(300), 8});
    std::vector<double> delays;
    for (int i = 0; i < 9; ++i) {
        auto delay = retries.schedule("R", [] {});
        delays.push_back(delay ? delay->count() : -1);
    }
    EXPECT_EQ(delays, (std::vector<double>{5, 10, 20, 40, 80, 160, 300, 300, -1}));
    EXPECT_EQ(retries.attempts("R"), 8);
    EXPECT_FALSE(retries.hasPending("R")) << "nothing is left scheduled once the attempts are used up";

    retries.reset("R");
    EXPECT_EQ(retries.attempts("R"), 0);
    EXPECT_TRUE(retries.schedule("R", [] {}).has_value()) << "a reset gives a fresh allowance";
    EXPECT_TRUE(retries.hasPending("R"));
    EXPECT_FALSE(retries.hasPending("other"));
}

TEST(UploadRetryScheduler, TimersFireOnTheLoopUnlessCancelled) {
    test::LogCapture log;
    core::RunLoop loop;
    UploadRetryScheduler retries(loop, RetryPolicy{std::chrono::duration<double>(0.01), std::chrono::duration<double>(1), 3});
    std::vector<std::string> fired;
    retries.schedule("A", [&] { fired.push_back("A"); });
    retries.schedule("B", [&] { fired.push_back("B"); });
    retries.schedule("C", [&] { fired.push_back("C"); });
    retries.reset("B");
    EXPECT_TRUE(loop.runUntil([&] { return fired.size() >= 2; }, 5s));
    loop.runUntil([] { return false; }, 50ms);
    std::sort(fired.begin(), fired.end());
    EXPECT_EQ(fired, (std::vector<std::string>{"A", "C"}));
    EXPECT_FALSE(retries.hasPending("A")) << "a fired timer is no longer pending";
    EXPECT_EQ(retries.attempts("A"), 1) << "the count stays until reset";

    retries.schedule("D", [&] { fired.push_back("D"); });
    retries.cancelAll();
    loop.runUntil([] { return false; }, 50ms);
    EXPECT_EQ(fired.size(), 2u);
}

TEST(UploadRetryScheduler, OnlyFailedCallsCountAsTransient) {
    auto failure = [](long code, std::optional<core::Error> inner) {
        core::Error e(core::kOrvantaErrorDomain, code, "d", "r");
        if (inner) e.withInner(*inner);
        return e;
    };
    const core::Error offline(core::kURLErrorDomain, -1009, "offline");
    const core::Error http = core::makeHTTPError(503, "busy", "service unavailable");
    const core::Error timeOut(core::kOrvantaErrorDomain, 88, "time-out");
    const core::Error unparseable(core::kOrvantaErrorDomain, 87, "unparseable");
    struct Case {
        core::Error error;
        bool transient;
    };
    const Case cases[] = {
        {failure(80, offline), true},
        {failure(80, http), true},
        {failure(80, timeOut), true},
        {failure(80, unparseable), false},
        {failure(80, std::nullopt), false},      // a chunk size of 0
        {failure(83, offline), true},
        {failure(83, std::nullopt), false},      // wrong hashes, a file that changed
        {failure(79, http), true},
        {failure(79, std::nullopt), false},      // "ServerException", "NotUploaded"
        {failure(81, offline), true},
        {failure(81, std::nullopt), false},      // no session in the answer
        {failure(82, http), true},
        {failure(82, std::nullopt), false},      // manifest refused, no manifest in time
        {failure(78, std::nullopt), false},      // missing local file
        {failure(84, offline), false},
        {core::Error("generic", 2, "No such file"), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.error.code) + (c.error.innerError ? " with " + c.error.innerError->description : ""));
        EXPECT_EQ(upload::isTransientUploadFailure(c.error), c.transient);
    }
}
