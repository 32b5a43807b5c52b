// Modbus TCP connections on a real loopback socket, served by a unit that answers from a table:
// pipelined requests answered in order, and the clients that must not cost the service: a stream
// that is not Modbus, a frame that trickles, a silent connection, a client that never reads.
#include "modbus_session.h"

#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <future>
#include <map>
#include <thread>
#include <vector>

namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

// Answers each command from its table, after a delay, on the loop as a door must.
class TableUnit : public ModbusUnit {
public:
    explicit TableUnit(asio::io_context &context) : context_(context) {}

    // As the command gate does for a client that may not write, every setting is refused.
    void Submit(std::vector<std::string> commands, bool changesSettings, const std::string &, Done done) override {
        ++submitted;
        auto timer = std::make_shared<asio::steady_timer>(context_, delay);
        timer->async_wait([this, timer, changesSettings, commands = std::move(commands), done = std::move(done)](auto) {
            if (changesSettings) return done(ModbusOutcome::WriteRefused, {});
            std::vector<Exchange> results;
            for (const std::string &command : commands) {
                const auto found = replies.find(command);
                results.push_back(found != replies.end() ? found->second : Exchange{0, "1.500"});
            }
            done(ModbusOutcome::Ran, std::move(results));
        });
    }

    std::map<std::string, Exchange> replies;
    std::chrono::milliseconds delay{0};
    std::atomic<size_t> submitted{0};

private:
    asio::io_context &context_;
};

// A client socket on 127.0.0.1, whose reads and sends give up after 10 s.
class Client {
public:
    explicit Client(uint16_t port, int bufferBytes = 0) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        if (bufferBytes != 0) {
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bufferBytes, sizeof bufferBytes);
            setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &bufferBytes, sizeof bufferBytes);
        }
        const timeval bound{10, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
        setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    }
    ~Client() { close(fd_); }

    // False once the connection is gone (or, without blocking, when nothing more fits).
    bool Send(const Bytes &bytes, int flags = 0) {
        return send(fd_, bytes.data(), bytes.size(), flags | MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    Bytes Receive(size_t count) {
        Bytes bytes(count);
        size_t have = 0;
        while (have < count) {
            const ssize_t got = recv(fd_, bytes.data() + have, count - have, 0);
            if (got <= 0) break;
            have += static_cast<size_t>(got);
        }
        bytes.resize(have);
        return bytes;
    }
    // The server ended the connection (waits for it up to the read bound).
    bool Ended(int flags = 0) {
        uint8_t byte = 0;
        const ssize_t got = recv(fd_, &byte, 1, flags);
        return got == 0 || (got < 0 && errno == ECONNRESET);
    }
    int Descriptor() const { return fd_; }

private:
    int fd_;
};

Bytes Frame(uint16_t transaction, uint8_t unit, const Bytes &pdu) { return EncodeModbusFrame(transaction, unit, pdu); }

const Bytes kReadPower = {0x04, 0, 0, 0, 2};

class ModbusSessionTest : public testing::Test {
protected:
    void SetUp() override {
        unit_ = std::make_shared<TableUnit>(context_);
        options_.findUnit = [this](uint8_t id) { return id == 1 ? unit_ : nullptr; };
        options_.libraryVersion = "2.1.0";
        options_.closed = [this] { ++closed_; };
        options_.idleChanged = [this](bool idle) { idleChanges_.push_back(idle); };
    }
    void TearDown() override {
        work_.reset();
        context_.stop();
        if (thread_.joinable()) thread_.join();
    }

    // Serves connections with the options and the unit as the test set them.
    void Start() {
        if (smallBuffers_) {
            // On the listener, so that connections are accepted with them (a receive buffer made
            // smaller after the window was offered stalls the sender for minutes).
            acceptor_.set_option(asio::socket_base::send_buffer_size(4096));
            acceptor_.set_option(asio::socket_base::receive_buffer_size(4096));
        }
        Accept();
        thread_ = std::thread([this] { context_.run(); });
    }

    // Runs `work` on the loop and waits for it.
    void OnLoop(std::function<void()> work) {
        std::promise<void> done;
        asio::post(context_, [&] {
            work();
            done.set_value();
        });
        done.get_future().wait();
    }

    void Accept() {
        acceptor_.async_accept([this](boost::system::error_code error, tcp::socket socket) {
            if (error) return;
            std::make_shared<ModbusSession>(std::move(socket), options_)->Start();
            Accept();
        });
    }
    uint16_t Port() const { return acceptor_.local_endpoint().port(); }

    // Waits up to 10 s for `closed` to be called `count` times in all.
    bool ClosedTimes(int count) {
        for (int i = 0; i < 1000 && closed_ < count; ++i) std::this_thread::sleep_for(10ms);
        return closed_ >= count;
    }

    asio::io_context context_;
    asio::executor_work_guard<asio::io_context::executor_type> work_{context_.get_executor()};
    tcp::acceptor acceptor_{context_, {asio::ip::address_v4::loopback(), 0}};
    std::shared_ptr<TableUnit> unit_;
    ModbusSessionOptions options_;
    bool smallBuffers_ = false;  // the service's side of each connection buffers 4 KiB each way
    std::atomic<int> closed_{0};
    std::vector<bool> idleChanges_;  // on the loop; read once it has nothing left to do
    std::thread thread_;
};

TEST_F(ModbusSessionTest, PipelinedRequestsAreAnsweredInOrderWithTheirTransactionIds) {
    unit_->delay = 50ms;  // the first answer is the slowest
    unit_->replies["?C"] = {MAVOZARP_STATUS_I2C_ERROR, ""};
    Start();
    Client client(Port());
    Bytes requests;
    for (const Bytes &frame : {Frame(1, 1, kReadPower), Frame(2, 5, kReadPower),
                               Frame(3, 1, {0x10, 0, 0, 0, 2, 4, 0x3F, 0xC0, 0, 0}),
                               Frame(4, 1, {0x04, 0, 2, 0, 2}), Frame(5, 1, {0x04, 0, 200, 0, 1})}) {
        requests.insert(requests.end(), frame.begin(), frame.end());
    }
    ASSERT_TRUE(client.Send(requests));
    Bytes expected;
    for (const Bytes &frame : {Frame(1, 1, {0x04, 4, 0x3F, 0xC0, 0, 0}), Frame(2, 5, {0x84, 0x0B}),
                               Frame(3, 1, {0x90, 0x01}), Frame(4, 1, {0x84, 0x04}),
                               Frame(5, 1, {0x04, 2, 0xFF, 0xFB})}) {
        expected.insert(expected.end(), frame.begin(), frame.end());
    }
    EXPECT_EQ(client.Receive(expected.size()), expected);
    EXPECT_EQ(unit_->submitted, 3u);  // the others needed no device (the write is refused by the gate)
}

TEST_F(ModbusSessionTest, AStreamThatIsNotModbusTcpIsClosedAfterTheFramesBeforeIt) {
    Start();
    Client wrongProtocol(Port());
    ASSERT_TRUE(wrongProtocol.Send({0, 1, 0, 1, 0, 6, 1, 0x04, 0, 0, 0, 2}));
    EXPECT_TRUE(wrongProtocol.Ended());

    Client oversized(Port());
    Bytes requests = Frame(7, 1, kReadPower);
    for (uint8_t byte : {0, 8, 0, 0, 1, 0, 1}) requests.push_back(byte);  // length 256
    ASSERT_TRUE(oversized.Send(requests));
    EXPECT_EQ(oversized.Receive(13), Frame(7, 1, {0x04, 4, 0x3F, 0xC0, 0, 0}));
    EXPECT_TRUE(oversized.Ended());
}

TEST_F(ModbusSessionTest, AFrameThatTricklesIsClosedAtItsBoundThoughEveryByteComesSoon) {
    options_.partialFrame = 300ms;  // the idle bound stays 300 s
    Start();
    Client client(Port());
    ASSERT_TRUE(client.Send({0, 1, 0, 0, 0, 254, 1}));  // a frame of 260 bytes, sent 1 by 1
    bool ended = false;
    for (int sent = 0; sent < 100 && !ended; ++sent) {
        std::this_thread::sleep_for(100ms);
        ended = !client.Send({0}) || client.Ended(MSG_DONTWAIT);
    }
    EXPECT_TRUE(ended);
    EXPECT_TRUE(ClosedTimes(1));
}

TEST_F(ModbusSessionTest, AConnectionIdlePastItsBoundIsClosedAndSaysWhenItIsIdle) {
    options_.idle = 300ms;
    Start();
    Client client(Port());
    ASSERT_TRUE(client.Send(Frame(1, 1, kReadPower)));
    EXPECT_EQ(client.Receive(13).size(), 13u);
    EXPECT_TRUE(client.Ended());
    ASSERT_TRUE(ClosedTimes(1));
    OnLoop([this] { EXPECT_EQ(idleChanges_, (std::vector<bool>{false, true})); });
}

TEST_F(ModbusSessionTest, AClientThatNeverReadsIsNoLongerReadAndIsClosedWhileOthersAreAnswered) {
    smallBuffers_ = true;
    options_.write = 1s;
    Start();
    // A service that read on would take every request; this one stops once its answers wait, so
    // the sender blocks until the connection is closed under it.
    Client deaf(Port(), 4096);
    constexpr size_t kMostRequests = 100'000;
    std::atomic<size_t> sent{0};
    std::thread sender([&] {
        const Bytes request = Frame(1, 1, kReadPower);
        while (sent < kMostRequests && deaf.Send(request)) ++sent;
    });

    Client other(Port());
    ASSERT_TRUE(other.Send(Frame(2, 1, kReadPower)));
    EXPECT_EQ(other.Receive(13), Frame(2, 1, {0x04, 4, 0x3F, 0xC0, 0, 0}));
    EXPECT_TRUE(ClosedTimes(1));  // the deaf one, at its write bound
    sender.join();
    EXPECT_LT(sent, kMostRequests);
}

}  // namespace
