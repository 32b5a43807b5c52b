// One Modbus TCP connection on the event loop. Requests are answered one at a time in the order
// they came, each with its transaction id, so a client may send several before reading. The next
// bytes are read only once every whole frame read is answered, and an answer is written before
// the next request is served, so a client that does not read holds one read's bytes, one
// partial frame and one answer, and is closed at the write deadline.
//
// Bounds: a stream that is not Modbus TCP is closed at its first bad header; a frame not complete
// within its bound after the session began to wait for it is closed (a client trickling bytes);
// a connection with nothing to say past the idle bound is closed.
#pragma once

#include "modbus_frame.h"
#include "modbus_requests.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/tcp_stream.hpp>

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// A device as a Modbus unit: what a session needs of the door that serves it.
class ModbusUnit {
public:
    using Done = std::function<void(ModbusOutcome, std::vector<Exchange>)>;

    virtual ~ModbusUnit() = default;
    // Runs the commands in order on the unit's device, away from the event loop, then calls `done`
    // on the loop with one result per command run (settings may stop after a failing one); or
    // refuses them to the client at that address (ModbusOutcome::WriteRefused).
    virtual void Submit(std::vector<std::string> commands, bool changesSettings, const std::string &client,
                        Done done) = 0;

    // What input register 200 shows: the status the latest request that reached the device ended
    // with. On the loop only.
    int32_t LibraryStatus() const { return libraryStatus_; }
    void KeepLibraryStatus(int32_t status) { libraryStatus_ = status; }

private:
    int32_t libraryStatus_ = 0;
};

struct ModbusSessionOptions {
    // The unit under an id, or nullptr when there is none (exception 0B).
    std::function<std::shared_ptr<ModbusUnit>(uint8_t unitId)> findUnit;
    bool writesAllowed = false;  // control is allowed and this client's address may write
    std::string client;          // the client's address, for its units
    std::string libraryVersion;
    std::chrono::milliseconds partialFrame{std::chrono::seconds(10)};
    std::chrono::milliseconds idle{std::chrono::seconds(300)};
    std::chrono::milliseconds write{std::chrono::seconds(10)};  // an answer reaching the client
    // Whether the connection waits between requests (it may be shed for room) or is busy.
    std::function<void(bool idle)> idleChanged;
    std::function<void()> closed;  // once, however the connection ended
};

class ModbusSession : public std::enable_shared_from_this<ModbusSession> {
public:
    ModbusSession(boost::asio::ip::tcp::socket socket, ModbusSessionOptions options);
    void Start();
    // Ends the connection at once: the service stops, or another connection needs the room.
    void Close();

private:
    void Next();
    void Read();
    void Serve(ModbusFrame frame);
    void Reply(const ModbusFrame &request, std::span<const uint8_t> pdu);
    void SetIdle(bool idle);

    ModbusSessionOptions options_;
    boost::beast::tcp_stream stream_;
    std::array<uint8_t, 1024> chunk_{};
    ModbusFrameReader reader_;
    // When the session began to wait for the rest of a frame.
    std::optional<std::chrono::steady_clock::time_point> partialSince_;
    std::vector<uint8_t> answer_;
    bool idle_ = true, closed_ = false;
};
