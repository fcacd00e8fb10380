// Uploads a recording of one large file to the reference server with `orvanta upload`, and in the
// same run sends the same bytes with curl in one POST to the same server; prints the throughput of
// both, their ratio, and the CPU time per GB of the client and the server.
//
//   upload_bench [MEGABYTES=1000] [ROUNDS=3] [CHUNK_BYTES=the server's default]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/Paths.h"
#include "support/ChildProcess.h"
#include "support/DevServer.h"
#include "support/Files.h"
#include "support/ScopedEnvironment.h"
#include "support/TempDir.h"
#include "support/UploadRecording.h"

using namespace orvanta;
namespace fs = std::filesystem;

namespace {

struct Measure {
    double wall = 0, clientCpu = 0, serverCpu = 0;
    int code = -1;
};

// CPU seconds a process has used so far (user + system), from /proc.
double processCpu(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string f;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> f; ++i) {
        if (i == 14) utime = std::stoull(f);
        if (i == 15) stime = std::stoull(f);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

Measure run(const std::vector<std::string>& argv, pid_t server) {
    Measure m;
    double serverBefore = processCpu(server);
    auto start = std::chrono::steady_clock::now();
    pid_t pid = ::fork();
    if (pid == 0) {
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    m.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.clientCpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                  static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    m.serverCpu = processCpu(server) - serverBefore;
    m.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return m;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t megabytes = argc > 1 ? std::stoull(argv[1]) : 1000;
    const int rounds = argc > 2 ? std::stoi(argv[2]) : 3;
    const std::uint64_t bytes = megabytes * 1000 * 1000;
    const std::string orvanta = ORVANTA_CLI_PATH;

    test::TempDir home;
    test::ScopedEnvironment env;
    env.set("HOME", home.path().string());
    env.set("XDG_CONFIG_HOME", (home.path() / "config").string());
    env.set("XDG_DATA_HOME", (home.path() / "data").string());
    env.set("XDG_STATE_HOME", (home.path() / "state").string());
    env.set("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (home.path() / "no-bus").string());
    env.set("ORVANTA_PASSWORD", "presenter");

    std::vector<std::string> serverArgs = {"--quiet"};
    if (argc > 3) serverArgs.insert(serverArgs.end(), {"--chunk-size", argv[3]});
    test::DevServer server(serverArgs);
    auto login = test::runProcess({orvanta, "login", "--server", server.serverName(), "--user", "presenter",
                                   "--password-stdin", "--no-save"},
                                  "presenter\n");
    auto folders = test::runProcess({orvanta, "folders"});
    std::istringstream lines(folders.out);
    std::string kind, folderId, folderName;
    std::getline(lines, kind, '\t');
    std::getline(lines, folderId, '\t');
    std::getline(lines, folderName);
    if (login.code != 0 || kind != "folder") {
        std::fprintf(stderr, "cannot log in to the reference server: %s%s\n", login.err.c_str(), folders.err.c_str());
        return 1;
    }
    auto state = nlohmann::json::parse(test::commandOutput("curl -s " + server.baseUrl() + "/devserver/state"));
    fs::path storage = state["storage"].get<std::string>();

    std::vector<double> oursRate, curlRate, oursCpu, curlCpu, oursServerCpu, curlServerCpu;
    for (int round = 0; round < rounds; ++round) {
        std::vector<test::LocalFile> files;
        auto guid = test::makeUploadRecording(core::applicationSupportFolder(), home.path() / "recordings",
                                              server.serverName(), folderId, folderName, {bytes}, files);
        ::sync();
        auto ours = run({orvanta, "upload", guid}, server.pid());
        auto curl = run({"curl", "-s", "-o", "/dev/null", "-H", "Expect:", "-H",
                         "Content-Type: application/octet-stream", "-X", "POST", "-T", files[0].path.string(),
                         server.baseUrl() + "/devserver/sink/round" + std::to_string(round)},
                        server.pid());
        if (ours.code != 0 || curl.code != 0) {
            std::fprintf(stderr, "round %d failed: orvanta %d, curl %d\n", round, ours.code, curl.code);
            return 1;
        }
        bool sameSink = test::sameBytes(files[0].path, storage / "sink" / ("round" + std::to_string(round)));
        if (!sameSink) {
            std::fprintf(stderr, "round %d: curl's copy differs\n", round);
            return 1;
        }
        double gb = static_cast<double>(bytes) / 1e9;
        oursRate.push_back(static_cast<double>(bytes) / ours.wall / 1e6);
        curlRate.push_back(static_cast<double>(bytes) / curl.wall / 1e6);
        oursCpu.push_back(ours.clientCpu / gb);
        curlCpu.push_back(curl.clientCpu / gb);
        oursServerCpu.push_back(ours.serverCpu / gb);
        curlServerCpu.push_back(curl.serverCpu / gb);
        std::printf("round %d: orvanta upload %.1f MB/s (%.2f s), curl POST %.1f MB/s (%.2f s)\n", round,
                    oursRate.back(), ours.wall, curlRate.back(), curl.wall);
        fs::remove_all(files[0].path.parent_path());
        fs::remove(storage / "sink" / ("round" + std::to_string(round)));
    }
    std::printf("\n%llu MB, median of %d rounds\n", static_cast<unsigned long long>(megabytes), rounds);
    std::printf("%-16s %12s %18s %18s\n", "", "MB/s", "client CPU s/GB", "server CPU s/GB");
    std::printf("%-16s %12.1f %18.2f %18.2f\n", "orvanta upload", median(oursRate), median(oursCpu),
                median(oursServerCpu));
    std::printf("%-16s %12.1f %18.2f %18.2f\n", "curl (one POST)", median(curlRate), median(curlCpu),
                median(curlServerCpu));
    std::printf("throughput ratio orvanta/curl: %.2f\n", median(oursRate) / median(curlRate));
    return 0;
}
