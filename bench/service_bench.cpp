// The web-service client next to baselines doing the same work in the same run:
//   - parsing and mapping a folder list of 2,000 folders with 20 sessions each (baseline: libxml2
//     reading the same text into its own tree),
//   - building the MTOM body of a 4 MiB chunk (baseline: one plain copy of the 4 MiB),
//   - 1,000 small calls on one service object against the reference server (baseline: the same
//     1,000 requests from one curl process, which also keeps its connection open).
#include <benchmark/benchmark.h>

#include "RatioReporter.h"
#include <libxml/parser.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "model/ObjectMapping.h"
#include "orvanta/BuildInfo.h"
#include "service/MTOMHelpers.h"
#include "service/ServiceConstants.h"
#include "service/SoapEnvelope.h"
#include "service/SoapXMLAccumulator.h"
#include "service/UploadService.h"

extern char** environ;

using namespace orvanta;
using namespace orvanta::service;

namespace {

std::string folderListResponse() {
    std::string x =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?><soap:Envelope "
        "xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Body><GetSessionGroupsResponse "
        "xmlns=\"http://services.orvanta.com/recorder/2011/\"><GetSessionGroupsResult>";
    for (int g = 0; g < 2000; ++g) {
        x += "<SimpleSessionGroup><ID>" + std::to_string(g) + "</ID><publicID>00000000-0000-0000-0000-" +
             std::to_string(100000000000 + g) + "</publicID><shortName>F" + std::to_string(g) +
             "</shortName><longName>Folder " + std::to_string(g) + "</longName><isActive>true</isActive><sessions>";
        for (int s = 0; s < 20; ++s)
            x += "<SimpleSession><ID>" + std::to_string(s) +
                 "</ID><publicID>11111111-0000-0000-0000-000000000000</publicID><longName>Session " +
                 std::to_string(s) +
                 "</longName><sessionGroupPublicID>00000000-0000-0000-0000-000000000000</sessionGroupPublicID>"
                 "<startTime>2026-01-02 03:04:05 +0000</startTime><duration>3600</duration></SimpleSession>";
        x += "</sessions></SimpleSessionGroup>";
    }
    return x + "</GetSessionGroupsResult></GetSessionGroupsResponse></soap:Body></soap:Envelope>";
}

void BM_ParseAndMapFolders(benchmark::State& state) {
    const std::string xml = folderListResponse();
    size_t folders = 0;
    for (auto _ : state) {
        SoapXMLAccumulator acc("GetSessionGroupsResponse");
        if (!acc.parse(xml)) state.SkipWithError("parse failed");
        auto tree = acc.takeValue();
        auto& response = tree->at("response");
        const model::ResultValue* result = response.find("GetSessionGroupsResult");
        folders = model::objectsFromResponse("SimpleSessionGroup", *result).size();
    }
    state.counters["folders"] = static_cast<double>(folders);
    state.counters["MB"] = static_cast<double>(xml.size()) / 1e6;
}

void BM_ParseFoldersBaselineLibxml2(benchmark::State& state) {
    const std::string xml = folderListResponse();
    for (auto _ : state) {
        xmlDocPtr doc = xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr, XML_PARSE_NONET);
        benchmark::DoNotOptimize(doc);
        xmlFreeDoc(doc);
    }
}

constexpr size_t kChunk = 4u << 20;

void BM_MtomBody4MiB(benchmark::State& state) {
    std::vector<uint8_t> chunk(kChunk, 0x5a);
    std::string envelope = createSOAPBodyFromMethod("UploadChunk", kServiceNamespaceWithSlash, kUploadExtension,
                                                    nullptr, nullptr, -1);
    std::string boundary;
    for (auto _ : state) {
        std::string body = MTOMHelpers::MTOMBodyFromEnvelope(envelope, chunk, "a0", "a1", &boundary);
        benchmark::DoNotOptimize(body.data());
    }
}

void BM_MtomBaselineOneCopy(benchmark::State& state) {
    std::vector<uint8_t> chunk(kChunk, 0x5a);
    for (auto _ : state) {
        std::string body(chunk.size(), '\0');
        std::memcpy(body.data(), chunk.data(), chunk.size());
        benchmark::DoNotOptimize(body.data());
    }
}

BENCHMARK(BM_ParseAndMapFolders)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseFoldersBaselineLibxml2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MtomBody4MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MtomBaselineOneCopy)->Unit(benchmark::kMillisecond);


// The reference server as a child process; port 0 until it said where it listens.
struct Server {
    pid_t pid = -1;
    int port = 0;
    explicit Server(const std::string& program) {
        int fds[2];
        if (pipe(fds) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        std::vector<std::string> args = {program, "--quiet"};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        FILE* out = fdopen(fds[0], "r");
        char line[256] = {};
        if (out && fgets(line, sizeof line, out)) {
            const char* colon = std::strrchr(line, ':');
            if (colon) port = std::atoi(colon + 1);
        }
        if (out) fclose(out);
    }
    ~Server() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
};

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void smallCallsAgainstCurl(const std::string& devserver) {
    constexpr int kCalls = 1000;
    Server server(devserver);
    if (server.port == 0) {
        std::printf("small calls: the reference server did not start (%s)\n", devserver.c_str());
        return;
    }
    std::string url = "http://127.0.0.1:" + std::to_string(server.port) + "/Orvanta/services/DataReceiver.svc";

    UploadService service(url);
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kCalls; ++i) service.ChunkSize();
    double ours = seconds(start);

    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("orvanta-bench-curl-" + std::to_string(getpid()));
    fs::create_directories(dir);
    {
        std::ofstream(dir / "envelope.xml")
            << createSOAPBodyFromMethod("ChunkSize", kServiceNamespaceWithSlash, kUploadExtension, nullptr, nullptr, -1);
        std::ofstream config(dir / "curl.config");
        std::string action = combineNamespace(kServiceNamespaceWithSlash, kUploadExtension, "ChunkSize");
        for (int i = 0; i < kCalls; ++i) {
            if (i) config << "next\n";
            config << "url = \"" << url << "\"\n"
                   << "header = \"Content-Type: text/xml; charset=utf-8\"\n"
                   << "header = \"SOAPAction: \\\"" << action << "\\\"\"\n"
                   << "data-binary = \"@" << (dir / "envelope.xml").string() << "\"\n"
                   << "output = \"/dev/null\"\n";
        }
    }
    start = std::chrono::steady_clock::now();
    int rc = std::system(("curl -s -K '" + (dir / "curl.config").string() + "'").c_str());
    double curl = seconds(start);
    fs::remove_all(dir);
    if (rc != 0) {
        std::printf("small calls: curl failed (%d)\n", rc);
        return;
    }
    std::printf("1000 small calls: ours %.3f s, curl %.3f s, ratio ours / curl = %.2f\n", ours, curl, ours / curl);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatio("BM_ParseAndMapFolders", "BM_ParseFoldersBaselineLibxml2");
    reporter.printRatio("BM_MtomBody4MiB", "BM_MtomBaselineOneCopy");
    std::string devserver = (std::filesystem::path(argv[0]).parent_path() / "orvanta-devserver").string();
    smallCallsAgainstCurl(devserver);
    benchmark::Shutdown();
    return 0;
}
