// orvanta-devserver: the server side of the recorder's protocol, on loopback, for tests,
// benchmarks and trying the recorder without a real server.

#include <pthread.h>
#include <signal.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "core/Log.h"
#include "devserver/Options.h"
#include "devserver/Server.h"

namespace {

using orvanta::devserver::Options;

nlohmann::json readDataFile(const std::filesystem::path& file) {
    std::ifstream in(file);
    if (!in) throw std::runtime_error("cannot read " + file.string());
    try {
        return nlohmann::json::parse(in);
    } catch (const nlohmann::json::exception& e) {
        throw std::runtime_error(file.string() + ": " + e.what());
    }
}

// The storage folder: the one asked for, or a new temporary one (removed again on exit).
struct Storage {
    std::filesystem::path path;
    bool temporary = false;

    explicit Storage(const Options& options) {
        if (options.storage) {
            path = *options.storage;
            std::filesystem::create_directories(path);
            return;
        }
        const char* tmp = std::getenv("TMPDIR");
        std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/orvanta-devserver-XXXXXX";
        std::vector<char> buf(templ.begin(), templ.end());
        buf.push_back('\0');
        if (!mkdtemp(buf.data())) throw std::runtime_error("cannot create a folder in " + templ);
        path = buf.data();
        temporary = true;
    }
    ~Storage() {
        if (!temporary) return;
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    Storage(const Storage&) = delete;
    Storage& operator=(const Storage&) = delete;
};

int serve(const Options& options) {
    // SIGINT and SIGTERM are taken by a thread of their own (sigwait), so block them before any
    // other thread exists; SIGUSR1 wakes that thread when the server ends by itself.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    nlohmann::json data;
    if (options.dataFile) data = readDataFile(*options.dataFile);
    Storage storage(options);
    orvanta::devserver::Server server(options, storage.path, std::move(data));
    const int port = server.bind();

    std::cout << "listening on 127.0.0.1:" << port << std::endl;

    std::atomic<bool> finished{false};
    std::thread signalThread([&] {
        int sig = 0;
        sigwait(&stopSignals, &sig);
        if (finished) return;
        orvanta::core::logf("signal %d: stopping", sig);
        // A stop that lands before serving has begun would be lost; repeat it until serving ends.
        while (!finished) {
            server.stop();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });

    const bool ok = server.run();
    finished = true;
    pthread_kill(signalThread.native_handle(), SIGUSR1);
    signalThread.join();
    orvanta::core::logf("stopped");
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    try {
        options = orvanta::devserver::parseOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& e) {
        std::cerr << "orvanta-devserver: " << e.what() << "\n\n" << orvanta::devserver::usageText();
        return 2;
    }
    if (options.help) {
        std::cout << orvanta::devserver::usageText();
        return 0;
    }

    auto& logger = orvanta::core::Logger::instance();
    logger.setSyslogEnabled(false);
    if (!options.quiet)
        logger.setSink([](std::string_view line) {
            std::fwrite(line.data(), 1, line.size(), stderr);
            std::fputc('\n', stderr);
        });

    try {
        return serve(options);
    } catch (const std::exception& e) {
        std::cerr << "orvanta-devserver: " << e.what() << "\n";
        return 1;
    }
}
