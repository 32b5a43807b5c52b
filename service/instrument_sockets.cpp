#include "instrument_sockets.h"

#include "http_server.h"
#include "listener.h"
#include "client/status_codes.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/tcp_stream.hpp>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <deque>
#include <iostream>
#include <regex>

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using ErrorCode = boost::system::error_code;

namespace {

constexpr size_t kReadChunk = 4096;
constexpr auto kFarewellTime = std::chrono::seconds(1);  // an ERR 503 or ERR 409 before closing

bool IsProtocolByte(char c) { return (c >= ' ' && c <= '~') || c == '\t' || c == '\r' || c == '\n'; }

bool LooksLikeHttpRequest(const std::string &line) {
    static const std::regex kRequestLine(R"(^[A-Za-z]+ \S+ HTTP/1\.\d$)");
    return std::regex_match(line, kRequestLine);
}

bool IsIdentityQuery(std::string_view line) {
    constexpr std::string_view kQuery = "*IDN?";
    return line.size() == kQuery.size() &&
           std::equal(line.begin(), line.end(), kQuery.begin(),
                      [](char a, char b) { return std::toupper(static_cast<unsigned char>(a)) == b; });
}

// A reply on one line whatever the supply answered.
std::string OneLine(std::string text) {
    std::replace_if(text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    return text;
}

std::string ErrorLine(int code, const char *name, const std::string &message) {
    return "ERR " + std::to_string(code) + " " + name + ": " + message;
}

// A line as read: its text, or the mark of one longer than the longest line (already cut).
struct Line {
    std::string text;
    bool tooLong = false;
};

}  // namespace

// One device's socket and its connections.
class InstrumentSockets::DeviceSocket : public std::enable_shared_from_this<DeviceSocket> {
public:
    DeviceSocket(std::shared_ptr<ServedDevice> device, CommandGate &gate, InstrumentOptions options,
                 std::string libraryVersion)
        : device_(std::move(device)),
          gate_(gate),
          options_(std::move(options)),
          libraryVersion_(std::move(libraryVersion)) {}

    // Binds synchronously (the port is known at once), then accepts on the loop.
    uint16_t Listen(EventLoop &loop, uint16_t port);
    uint16_t Port() const { return listener_->Port(); }

    // On the loop: no more connections; those open are told `farewell` (when not empty) and closed.
    void Close(const std::string &farewell) {
        farewell_ = farewell;
        listener_->Close();
    }

    class Connection;

private:
    // Said once in the log: a client that does not speak the line protocol (its caller closes it).
    void NoteForeign(const char *what) {
        if (!refusalTold_.exchange(true)) {
            std::cerr << "mavozarp serve: " << device_->Id() << ": closed an instrument connection that sent "
                      << what << " (not the line protocol); further ones are closed silently\n";
        }
    }
    std::string Identity(const Exchange &headId) const;

    std::shared_ptr<ServedDevice> device_;
    CommandGate &gate_;
    InstrumentOptions options_;
    std::string libraryVersion_;
    std::shared_ptr<Listener> listener_;
    std::string farewell_;
    std::atomic<bool> refusalTold_{false};
};

class InstrumentSockets::DeviceSocket::Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(tcp::socket socket, std::shared_ptr<DeviceSocket> socketOfDevice, ListenerSeat seat,
               const std::string &address)
        : deviceSocket_(std::move(socketOfDevice)),
          seat_(std::move(seat)),
          stream_(std::move(socket)),
          caller_{.door = Door::Socket, .address = address, .token = std::nullopt} {}

    void Start() {
        seat_.OnDismiss([weak = weak_from_this()] {
            if (const auto self = weak.lock()) self->Leave();
        });
        Next();
    }

    // Full, and every connection open has spoken: the new one is told so.
    void Refuse() { Farewell(ErrorLine(503, "busy", "too many connections")); }

private:
    // The next line's reply, or more to read.
    void Next() {
        if (closed_) return;
        if (lines_.empty()) return Read();
        Line line = std::move(lines_.front());
        lines_.pop_front();
        if (line.tooLong) {
            return Reply(ErrorLine(400, "bad-line", "line longer than " +
                                                        std::to_string(deviceSocket_->options_.longestLine) +
                                                        " characters"));
        }
        if (line.text.empty()) return Next();
        Run(line.text);
    }

    // The line's reply: the service's own at once, the device's once its batch is done.
    void Run(const std::string &line) {
        if (line.starts_with("AUTH ")) {
            // The token's user is the connection's from now on, until a wrong token is given.
            Caller presented = caller_;
            presented.token = line.substr(5);
            running_ = true;
            return deviceSocket_->gate_.Authenticate(
                presented, [self = shared_from_this(), token = presented.token](Admission admission) {
                    self->running_ = false;
                    self->caller_.token = admission.refusal ? std::nullopt : token;
                    self->Reply(admission.refusal ? RefusalLine(*admission.refusal) : "OK");
                });
        }
        if (const std::string problem = CommandProblem(line); !problem.empty())
            return Reply(ErrorLine(400, "bad-command", problem));
        const bool identity = IsIdentityQuery(line);
        running_ = true;
        deviceSocket_->gate_.Submit(caller_, deviceSocket_->device_, {{identity ? "?HID" : line}, BatchMode::Every},
                                    [self = shared_from_this(), identity](GateAnswer answer) {
                                        self->running_ = false;
                                        self->Reply(answer.refusal ? RefusalLine(*answer.refusal)
                                                                   : self->ReplyLine(answer.result, identity));
                                    });
    }

    static std::string RefusalLine(const Refusal &refusal) {
        return ErrorLine(refusal.status, refusal.error.c_str(), refusal.message);
    }

    std::string ReplyLine(const BatchResult &result, bool identity) {
        if (result.outcome == BatchOutcome::Busy) return ErrorLine(503, "busy", result.why);
        if (result.outcome == BatchOutcome::Gone || result.exchanges.empty()) {
            gone_ = true;
            return ErrorLine(409, "gone", result.why);
        }
        const Exchange &exchange = result.exchanges.front();
        if (identity) return deviceSocket_->Identity(exchange);
        if (!exchange.Succeeded()) return "ERR " + StatusMessage(exchange.status);
        return exchange.reply.empty() ? "OK" : OneLine(exchange.reply);
    }

    void Read() {
        stream_.expires_after(deviceSocket_->options_.idle);
        stream_.async_read_some(asio::buffer(chunk_), [self = shared_from_this()](ErrorCode error, size_t received) {
            if (error) return self->Close();
            self->seat_.SetIdle(false);  // it has spoken: never shed for room
            if (!self->Split(std::string_view(self->chunk_, received))) return self->Close();
            self->Next();
        });
    }

    // The complete lines of what arrived; false when the connection is to be closed unrun.
    bool Split(std::string_view chunk) {
        if (!std::all_of(chunk.begin(), chunk.end(), IsProtocolByte)) {
            deviceSocket_->NoteForeign("a byte outside printable ASCII, tab, CR and LF");
            return false;
        }
        const size_t longest = deviceSocket_->options_.longestLine;
        while (!chunk.empty()) {
            const size_t end = chunk.find('\n');
            const bool complete = end != std::string_view::npos;
            const std::string_view piece = chunk.substr(0, complete ? end : chunk.size());
            chunk.remove_prefix(complete ? end + 1 : chunk.size());
            if (skipping_) {  // the rest of a line that was too long, already answered
                skipping_ = !complete;
                continue;
            }
            if (pending_.size() + piece.size() > longest + 1) {  // +1: room for a CR
                // Judged before any of it runs: the start of an HTTP request is refused as such.
                const std::string start = pending_ + std::string(piece.substr(0, longest + 1));
                if (firstLine_ && start.find(" HTTP/1.") != std::string::npos) {
                    deviceSocket_->NoteForeign("an HTTP request line");
                    return false;
                }
                TooLong();
                skipping_ = !complete;
                continue;
            }
            pending_.append(piece);
            if (!complete) break;
            std::string line = std::move(pending_);
            pending_.clear();
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.size() > longest) {
                TooLong();
                continue;
            }
            if (firstLine_ && LooksLikeHttpRequest(line)) {
                deviceSocket_->NoteForeign("an HTTP request line");
                return false;
            }
            firstLine_ = false;
            lines_.push_back({.text = std::move(line)});
        }
        return true;
    }

    // One reply for the whole line, whatever its length.
    void TooLong() {
        firstLine_ = false;
        pending_.clear();
        lines_.push_back({.text = {}, .tooLong = true});
    }

    void Reply(std::string line) {
        if (closed_) return;
        told409_ = told409_ || line.starts_with("ERR 409 ");
        reply_ = std::move(line) + "\n";
        writing_ = true;
        stream_.expires_after(deviceSocket_->options_.write);
        asio::async_write(stream_, asio::buffer(reply_), [self = shared_from_this()](ErrorCode error, size_t) {
            self->writing_ = false;
            if (error || self->gone_) return self->Close();
            if (self->leaving_) return self->Leave();
            self->Next();
        });
    }

    // The listener closes: when the device left, a connection is told so once (after the reply it
    // is busy with); when the service stops, it closes at once.
    void Leave() {
        leaving_ = true;
        const std::string &farewell = deviceSocket_->farewell_;
        if (farewell.empty() || told409_) return Close();
        if (running_ || writing_) return;
        told409_ = true;
        Farewell(farewell);
    }

    // A last line, under a short deadline, then the end.
    void Farewell(const std::string &line) {
        if (closed_) return;
        reply_ = line + "\n";
        stream_.expires_after(kFarewellTime);
        asio::async_write(stream_, asio::buffer(reply_), [self = shared_from_this()](ErrorCode, size_t) {
            self->Close();
        });
    }

    void Close() {
        if (closed_) return;
        closed_ = true;
        seat_.Leave();
        ErrorCode ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.close();
    }

    std::shared_ptr<DeviceSocket> deviceSocket_;
    ListenerSeat seat_;
    boost::beast::tcp_stream stream_;
    char chunk_[kReadChunk];
    std::string pending_;
    std::deque<Line> lines_;
    std::string reply_;
    bool firstLine_ = true, skipping_ = false, running_ = false, writing_ = false;
    bool leaving_ = false, told409_ = false, closed_ = false;
    bool gone_ = false;
    Caller caller_;  // with the token of an AUTH that unlocked settings
};

uint16_t InstrumentSockets::DeviceSocket::Listen(EventLoop &loop, uint16_t port) {
    // The connections keep their device's socket, which keeps the listener.
    const std::weak_ptr<DeviceSocket> weak = weak_from_this();
    // Beyond these, a connection that finds the socket full is closed untold.
    constexpr size_t kMostRefused = 16;
    listener_ = std::make_shared<Listener>(
        loop.Context(),
        ListenerOptions{.bounds = {.perListener = options_.connectionsPerDevice,
                                   .perAddress = options_.connectionsPerDevice},
                        .mostRefused = kMostRefused},
        [weak](tcp::socket socket, const std::string &address, ListenerSeat seat) {
            if (const auto self = weak.lock())
                std::make_shared<Connection>(std::move(socket), self, std::move(seat), address)->Start();
        },
        [weak](tcp::socket socket, ListenerSeat seat) {
            if (const auto self = weak.lock())
                std::make_shared<Connection>(std::move(socket), self, std::move(seat), "")->Refuse();
        });
    const uint16_t bound = listener_->Listen(options_.address, port);
    listener_->StartAccepting();
    return bound;
}

// "MavoZARP,<head type>,<head id>,<library version>" of the head's answer to ?HID.
std::string InstrumentSockets::DeviceSocket::Identity(const Exchange &headId) const {
    return "MavoZARP," + device_->Identity().headType + "," + (headId.Succeeded() ? OneLine(headId.reply) : "") +
           "," + libraryVersion_;
}

InstrumentSockets::InstrumentSockets(EventLoop &loop, CommandGate &gate, InstrumentOptions options)
    : loop_(loop), gate_(gate), options_(std::move(options)), libraryVersion_(LibraryVersionNumber()), nextPort_(options_.firstPort) {
    loop_.AtStop([this] {
        std::lock_guard lock(mutex_);
        for (const auto &[id, socket] : sockets_) socket->Close("");
    });
}

InstrumentSockets::~InstrumentSockets() { loop_.Stop(); }

void InstrumentSockets::DeviceChanged(const std::shared_ptr<ServedDevice> &device, bool arrived) {
    std::lock_guard lock(mutex_);
    if (!arrived) {
        const auto found = sockets_.find(device->Id());
        if (found == sockets_.end()) return;
        asio::post(loop_.Context(), [socket = found->second] {
            socket->Close(ErrorLine(409, "gone", "the device left"));
        });
        sockets_.erase(found);
        return;
    }
    const auto known = assigned_.find(device->Id());
    const uint16_t wanted = known != assigned_.end() ? known->second : nextPort_;
    try {
        auto socket = std::make_shared<DeviceSocket>(device, gate_, options_, libraryVersion_);
        const uint16_t port = socket->Listen(loop_, wanted);
        sockets_[device->Id()] = std::move(socket);
        if (known == assigned_.end() && options_.firstPort != 0) ++nextPort_;
        assigned_[device->Id()] = port;
    } catch (const std::runtime_error &error) {
        std::cerr << "mavozarp serve: " << device->Id() << ": no instrument socket: " << error.what() << '\n';
    }
}

std::map<std::string, uint16_t> InstrumentSockets::Ports() const {
    std::lock_guard lock(mutex_);
    std::map<std::string, uint16_t> ports;
    for (const auto &[id, socket] : sockets_) ports[id] = socket->Port();
    return ports;
}
