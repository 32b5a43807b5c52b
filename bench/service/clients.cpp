#include "clients.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace service_bench {

int Connect(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    const int yes = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    return fd;
}

bool Receive(int fd, std::string &reply, const std::function<bool(const std::string &)> &complete) {
    reply.clear();
    char chunk[4096];
    while (!complete(reply)) {
        const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0) return false;
        reply.append(chunk, static_cast<size_t>(got));
    }
    return true;
}

bool AskLine(int fd, const std::string &line, std::string &reply) {
    const std::string sent = line + "\n";
    send(fd, sent.data(), sent.size(), MSG_NOSIGNAL);
    if (!Receive(fd, reply, [](const std::string &text) { return text.ends_with('\n'); })) return false;
    reply.pop_back();
    return true;
}

void Latencies::Run(benchmark::State &state, const std::function<void()> &query) {
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        query();
        times_.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times_.begin(), times_.end());
    if (times_.empty()) return;
    state.counters["p50_us"] = benchmark::Counter(times_[times_.size() / 2], benchmark::Counter::kAvgThreads);
    state.counters["p99_us"] = benchmark::Counter(times_[times_.size() * 99 / 100], benchmark::Counter::kAvgThreads);
    state.counters["queries/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

}  // namespace service_bench
