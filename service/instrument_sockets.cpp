#include "instrument_sockets.h"

#include "client/status_codes.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iostream>
#include <list>
#include <regex>
#include <thread>

namespace {

// A descriptor closed when its owner goes.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) close(fd_);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int Get() const { return fd_; }

private:
    int fd_;
};

bool IsProtocolByte(char c) { return (c >= ' ' && c <= '~') || c == '\t' || c == '\r' || c == '\n'; }

bool LooksLikeHttpRequest(const std::string &line) {
    static const std::regex kRequestLine(R"(^[A-Za-z]+ \S+ HTTP/1\.\d$)");
    return std::regex_match(line, kRequestLine);
}

// A reply on one line whatever the supply answered.
std::string OneLine(std::string text) {
    std::replace_if(text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    return text;
}

std::string ErrorLine(int code, const char *name, const std::string &message) {
    return "ERR " + std::to_string(code) + " " + name + ": " + message;
}

// Listens on address:port; the port actually bound comes back in `port`.
int Listen(const std::string &address, uint16_t &port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    if (getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return -1;
    const int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    const bool listening =
        fd >= 0 && bind(fd, found->ai_addr, found->ai_addrlen) == 0 && listen(fd, 16) == 0;
    freeaddrinfo(found);
    if (!listening) {
        if (fd >= 0) close(fd);
        return -1;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &length);
    port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 &>(bound).sin6_port
                                             : reinterpret_cast<sockaddr_in &>(bound).sin_port);
    return fd;
}

}  // namespace

// One device's socket: a thread accepting connections, one thread per connection.
class InstrumentSockets::Listener {
public:
    Listener(std::shared_ptr<ServedDevice> device, const InstrumentOptions &options, uint16_t port)
        : device_(std::move(device)), options_(options), port_(port) {
        listenFd_ = Listen(options.address, port_);
        if (listenFd_ < 0) {
            throw std::runtime_error("cannot listen on " + options.address + " port " +
                                     std::to_string(port));
        }
        acceptor_ = std::thread([this] { Accept(); });
    }
    ~Listener() {
        const uint64_t one = 1;
        [[maybe_unused]] const auto written = write(stop_.Get(), &one, sizeof one);
        acceptor_.join();
        for (Connection &connection : connections_) connection.thread.join();
        close(listenFd_);
    }
    uint16_t Port() const { return port_; }

private:
    void Accept() {
        pollfd watched[2] = {{listenFd_, POLLIN, 0}, {stop_.Get(), POLLIN, 0}};
        while (poll(watched, 2, -1) >= 0 || errno == EINTR) {
            if (watched[1].revents != 0) return;
            if ((watched[0].revents & POLLIN) == 0) continue;
            const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            if (open_ >= options_.connectionsPerDevice) {
                const std::string refusal = ErrorLine(503, "busy", "too many connections") + "\n";
                send(fd, refusal.data(), refusal.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                close(fd);
                continue;
            }
            ReapFinished();
            ++open_;
            auto finished = std::make_shared<std::atomic<bool>>(false);
            connections_.push_back({std::thread([this, fd, finished] {
                                        Serve(fd);
                                        --open_;
                                        *finished = true;
                                    }),
                                    finished});
        }
    }

    void ReapFinished() {
        for (auto at = connections_.begin(); at != connections_.end();) {
            if (!*at->finished) {
                ++at;
                continue;
            }
            at->thread.join();
            at = connections_.erase(at);
        }
    }

    bool SendLine(int fd, const std::string &line) {
        const std::string text = line + "\n";
        size_t sent = 0;
        while (sent < text.size()) {
            const ssize_t now = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
            if (now <= 0) return false;
            sent += static_cast<size_t>(now);
        }
        return true;
    }

    // The reply line of one command line.
    std::string Run(const std::string &line, bool &authorized, bool &gone) {
        if (line.starts_with("AUTH ")) {
            authorized = !options_.policy.token.empty() &&
                         SameSecret(line.substr(5), options_.policy.token);
            return authorized ? "OK" : ErrorLine(401, "wrong-token", "the token is wrong");
        }
        if (const std::string problem = CommandProblem(line); !problem.empty())
            return ErrorLine(400, "bad-command", problem);
        if (ChangesSetting(line)) {
            if (const auto refusal = CheckControl(options_.policy, authorized, options_.policy.token))
                return ErrorLine(refusal->status, refusal->error.c_str(), refusal->message);
        }
        try {
            const Exchange exchange = device_->Executor().Send(line);
            if (!exchange.Succeeded()) return "ERR " + StatusMessage(exchange.status);
            return exchange.reply.empty() ? "OK" : OneLine(exchange.reply);
        } catch (const DeviceBusy &busy) {
            return ErrorLine(503, "busy", busy.what());
        } catch (const DeviceGone &left) {
            gone = true;
            return ErrorLine(409, "gone", left.what());
        }
    }

    void Serve(int fd) {
        const Descriptor connection(fd);
        const timeval sendBound{static_cast<time_t>(options_.idle.count()), 0};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendBound, sizeof sendBound);
        std::string pending;
        bool firstLine = true, skipping = false, authorized = false, gone = false;
        pollfd watched[2] = {{fd, POLLIN, 0}, {stop_.Get(), POLLIN, 0}};
        char buffer[4096];
        while (!gone) {
            const int ready = poll(watched, 2, static_cast<int>(options_.idle.count() * 1000));
            if (ready <= 0 || watched[1].revents != 0) return;  // idle too long, or stopping
            const ssize_t received = recv(fd, buffer, sizeof buffer, 0);
            if (received <= 0) return;
            const std::string_view chunk(buffer, static_cast<size_t>(received));
            if (!std::all_of(chunk.begin(), chunk.end(), IsProtocolByte)) {
                Refuse("a byte outside printable ASCII, tab, CR and LF");
                return;
            }
            pending.append(chunk);
            size_t end = 0;
            while ((end = pending.find('\n')) != std::string::npos) {
                std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                if (firstLine && LooksLikeHttpRequest(line)) {
                    Refuse("an HTTP request line");
                    return;
                }
                firstLine = false;
                if (skipping) {  // the end of a line that was too long, already answered
                    skipping = false;
                    continue;
                }
                if (line.empty()) continue;
                if (!SendLine(fd, Run(line, authorized, gone))) return;
            }
            if (pending.size() > options_.longestLine) {
                // Judged before any of it runs: the start of an HTTP request is refused as such.
                if (firstLine && pending.find(" HTTP/1.") != std::string::npos) {
                    Refuse("an HTTP request line");
                    return;
                }
                firstLine = false;
                pending.clear();
                skipping = true;
                const std::string longest = std::to_string(options_.longestLine);
                if (!SendLine(fd, ErrorLine(400, "bad-line", "line longer than " + longest + " characters")))
                    return;
            }
        }
    }

    // Closes the connection without running anything; told once per device, not per connection.
    void Refuse(const char *what) {
        if (!refusalTold_.exchange(true)) {
            std::cerr << "mavozarp serve: " << device_->Id() << ": closed an instrument connection that sent "
                      << what << " (not the line protocol); further ones are closed silently\n";
        }
    }

    std::shared_ptr<ServedDevice> device_;
    const InstrumentOptions &options_;
    uint16_t port_;
    int listenFd_ = -1;
    Descriptor stop_{eventfd(0, EFD_CLOEXEC)};
    std::atomic<size_t> open_{0};
    std::atomic<bool> refusalTold_{false};
    struct Connection {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> finished;
    };
    std::list<Connection> connections_;  // finished ones joined at the next accept
    std::thread acceptor_;
};

InstrumentSockets::InstrumentSockets(InstrumentOptions options)
    : options_(std::move(options)), nextPort_(options_.firstPort) {}

InstrumentSockets::~InstrumentSockets() {
    std::map<std::string, std::unique_ptr<Listener>> listeners;
    {
        std::lock_guard lock(mutex_);
        listeners.swap(listeners_);
    }
}

void InstrumentSockets::DeviceChanged(const std::shared_ptr<ServedDevice> &device, bool arrived) {
    std::unique_ptr<Listener> leaving;
    std::lock_guard lock(mutex_);
    if (!arrived) {
        const auto found = listeners_.find(device->Id());
        if (found == listeners_.end()) return;
        leaving = std::move(found->second);
        listeners_.erase(found);
        return;
    }
    const auto known = assigned_.find(device->Id());
    uint16_t port = known != assigned_.end() ? known->second : nextPort_;
    try {
        auto listener = std::make_unique<Listener>(device, options_, port);
        port = listener->Port();
        listeners_[device->Id()] = std::move(listener);
        if (known == assigned_.end() && options_.firstPort != 0) ++nextPort_;
        assigned_[device->Id()] = port;
    } catch (const std::runtime_error &error) {
        std::cerr << "mavozarp serve: " << device->Id() << ": no instrument socket: " << error.what()
                  << '\n';
    }
}

std::map<std::string, uint16_t> InstrumentSockets::Ports() const {
    std::lock_guard lock(mutex_);
    std::map<std::string, uint16_t> ports;
    for (const auto &[id, listener] : listeners_) ports[id] = listener->Port();
    return ports;
}
