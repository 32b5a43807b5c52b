#include "modbus_session.h"

#include <boost/asio/write.hpp>

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using ErrorCode = boost::system::error_code;

ModbusSession::ModbusSession(tcp::socket socket, ModbusSessionOptions options)
    : options_(std::move(options)), stream_(std::move(socket)) {}

void ModbusSession::Start() {
    ErrorCode ignored;
    stream_.socket().set_option(tcp::no_delay(true), ignored);
    Next();
}

void ModbusSession::Close() {
    if (closed_) return;
    closed_ = true;
    ErrorCode ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.close();
    if (options_.closed) options_.closed();
}

// The next whole frame is served; only when none is left are more bytes read.
void ModbusSession::Next() {
    if (closed_) return;
    if (std::optional<ModbusFrame> frame = reader_.Next()) {
        partialSince_.reset();
        return Serve(std::move(*frame));
    }
    if (reader_.Broken()) return Close();
    Read();
}

void ModbusSession::Read() {
    const auto now = std::chrono::steady_clock::now();
    if (!reader_.Partial()) {
        partialSince_.reset();
    } else if (!partialSince_) {
        partialSince_ = now;
    }
    SetIdle(!partialSince_);
    stream_.expires_at(partialSince_ ? *partialSince_ + options_.partialFrame : now + options_.idle);
    stream_.async_read_some(asio::buffer(chunk_), [self = shared_from_this()](ErrorCode error, size_t received) {
        if (error) return self->Close();
        if (!self->reader_.Take(std::span(self->chunk_.data(), received))) return self->Close();
        self->Next();
    });
}

void ModbusSession::Serve(ModbusFrame frame) {
    SetIdle(false);
    const std::shared_ptr<ModbusUnit> unit = options_.findUnit(frame.unit);
    if (!unit) return Reply(frame, ModbusExceptionPdu(frame.pdu[0], ModbusException::GatewayTargetFailed));
    auto plan = std::make_shared<const ModbusPlan>(PlanModbusRequest(
        frame.pdu, {.writesAllowed = options_.writesAllowed,
                    .libraryStatus = unit->LibraryStatus(),
                    .libraryVersion = options_.libraryVersion}));
    if (plan->Commands().empty()) return Reply(frame, plan->Answer(ModbusOutcome::Ran, {}).pdu);
    unit->Submit(plan->Commands(), plan->ChangesSettings(), options_.client,
                 [self = shared_from_this(), frame = std::move(frame), plan, unit](
                     ModbusOutcome outcome, std::vector<Exchange> results) {
                     const ModbusAnswer answer = plan->Answer(outcome, results);
                     // Kept for the unit's next reader, whether or not this one is still there.
                     if (answer.libraryStatus) unit->KeepLibraryStatus(*answer.libraryStatus);
                     self->Reply(frame, answer.pdu);
                 });
}

void ModbusSession::Reply(const ModbusFrame &request, std::span<const uint8_t> pdu) {
    if (closed_) return;
    answer_ = EncodeModbusFrame(request.transaction, request.unit, pdu);
    stream_.expires_after(options_.write);
    asio::async_write(stream_, asio::buffer(answer_), [self = shared_from_this()](ErrorCode error, size_t) {
        if (error) return self->Close();
        self->Next();
    });
}

void ModbusSession::SetIdle(bool idle) {
    if (idle == idle_) return;
    idle_ = idle;
    if (options_.idleChanged) options_.idleChanged(idle);
}
