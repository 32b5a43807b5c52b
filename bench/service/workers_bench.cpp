// What worker processes give a service with many slow supplies: `mavozarp serve` over 1, 2, 4 and
// 8 bridge supplies of `mavozarp-sim --paced` (9600 baud, as on hardware), each queried by a
// client of its own on its instrument socket, with workers and with --workers none; and the time
// the hop through a worker adds to a command, from a query the library answers without the line
// ("?NOSUCH" on a bridge supply: -3 at once). The programs run as they are shipped, started here
// and stopped by their process ids when the benchmark program ends.
#include "clients.h"
#include "workers_bench.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

extern char **environ;

namespace service_bench {
namespace {

constexpr int kMostSupplies = 8;
constexpr int kPacedQueries = 40;  // per client: about 1.3 s at a bridge's 32 ms a query

// A program started with its standard output read line by line; ended (SIGTERM) with this object.
class Program {
public:
    explicit Program(std::vector<std::string> words) {
        int output[2];
        if (pipe(output) != 0) throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, output[0]);
        std::vector<char *> argv;
        for (std::string &word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        const int failed = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(output[1]);
        if (failed != 0) throw std::runtime_error("cannot start " + words[0]);
        output_ = fdopen(output[0], "r");
    }
    ~Program() {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        fclose(output_);
    }
    Program(const Program &) = delete;
    Program &operator=(const Program &) = delete;

    // The next line without its end; throws when the program ended.
    std::string Line() {
        char text[512];
        if (fgets(text, sizeof text, output_) == nullptr) throw std::runtime_error("a program ended early");
        std::string line = text;
        if (line.ends_with('\n')) line.pop_back();
        return line;
    }

private:
    pid_t pid_ = -1;
    FILE *output_ = nullptr;
};

std::string LastWord(const std::string &line) { return line.substr(line.rfind(' ') + 1); }

// A service of its own over the first supplies of the paced launcher, by their paths' order.
struct Service {
    std::unique_ptr<Program> program;
    std::map<std::string, uint16_t> sockets;  // by device id
};

Service StartService(const std::vector<std::string> &ports, bool workers) {
    std::vector<std::string> words{MAVOZARP_TOOL_PATH, "serve", "--http-port", "0", "--instrument-port", "0"};
    if (!workers) words.insert(words.end(), {"--workers", "none"});
    for (const std::string &port : ports) words.insert(words.end(), {"--port", port});
    Service service{std::make_unique<Program>(words), {}};
    constexpr std::string_view kSocket = " on instrument socket ";
    for (std::string line = service.program->Line(); line.find("dashboard: ") == std::string::npos;
         line = service.program->Line()) {
        const size_t at = line.find(kSocket);
        if (at == std::string::npos) continue;
        const std::string id = line.substr(std::string_view("mavozarp serve: ").size(),
                                           at - std::string_view("mavozarp serve: ").size());
        service.sockets[id] = static_cast<uint16_t>(std::stoul(line.substr(line.rfind(':') + 1)));
    }
    return service;
}

// Twice the most supplies, paced: half for the service with workers, half for the one without.
class Fleet {
public:
    static Fleet &Get() {
        static Fleet *fleet = new Fleet;  // its programs end with the benchmark program (atexit)
        return *fleet;
    }

    // The instrument socket of the service's `index`th supply.
    uint16_t Socket(bool workers, int index) {
        const std::string &path = paths_[static_cast<size_t>(index) + (workers ? 0 : kMostSupplies)];
        return services_[workers ? 0 : 1].sockets.at(path);
    }

private:
    Fleet() {
        std::vector<std::string> words{MAVOZARP_SIM_PATH, "--paced"};
        for (int i = 0; i < 2 * kMostSupplies; ++i) words.insert(words.end(), {"--bridge", "picox-640"});
        launcher_ = std::make_unique<Program>(words);
        for (std::string line = launcher_->Line(); line != "ready"; line = launcher_->Line())
            paths_.push_back(LastWord(line));
        const auto half = [&](int from) {
            return std::vector<std::string>(paths_.begin() + from, paths_.begin() + from + kMostSupplies);
        };
        services_.push_back(StartService(half(0), true));
        services_.push_back(StartService(half(kMostSupplies), false));
        std::atexit([] { delete &Get(); });
    }

    std::unique_ptr<Program> launcher_;
    std::vector<std::string> paths_;
    std::vector<Service> services_;
};

// One client per supply (the benchmark's thread count), each asking its own.
void PacedSupplies(benchmark::State &state, bool workers) {
    const int fd = Connect(Fleet::Get().Socket(workers, state.thread_index()));
    if (fd < 0) return state.SkipWithError("cannot connect");
    Latencies latencies;
    std::string reply;
    latencies.Run(state, [&] {
        if (!AskLine(fd, "?P", reply) || reply.starts_with("ERR")) state.SkipWithError(reply.c_str());
    });
    close(fd);
}

// A query the library answers at once, through a worker or in the service's process.
void WorkerHop(benchmark::State &state, bool workers) {
    const int fd = Connect(Fleet::Get().Socket(workers, 0));
    if (fd < 0) return state.SkipWithError("cannot connect");
    Latencies latencies;
    std::string reply;
    latencies.Run(state, [&] {
        if (!AskLine(fd, "?NOSUCH", reply) || !reply.starts_with("ERR -3 ")) state.SkipWithError(reply.c_str());
    });
    close(fd);
}

}  // namespace

std::string PacedName(int supplies, bool workers) {
    return "paced/" + std::to_string(supplies) + (workers ? "/workers" : "/one-process");
}

std::string HopName(bool workers) { return workers ? "hop/worker" : "hop/one-process"; }

void RegisterWorkerBenchmarks() {
    for (const bool workers : {true, false}) {
        for (const int supplies : {1, 2, 4, kMostSupplies}) {
            benchmark::RegisterBenchmark(PacedName(supplies, workers).c_str(), PacedSupplies, workers)
                ->Threads(supplies)
                ->Iterations(kPacedQueries)
                ->UseRealTime();
        }
        benchmark::RegisterBenchmark(HopName(workers).c_str(), WorkerHop, workers)->Iterations(20000)->UseRealTime();
    }
}

}  // namespace service_bench
