// A Modbus TCP stream of any bytes, arriving in pieces of any size, through the frame reader and
// the request planner, each plan answered with device results taken from the input. Rules: a
// frame given out is whole and within the protocol's length; a request that reads, or any request
// while writing is not allowed, sends no setting; every command fits the library's buffer; every
// answer is a well-formed PDU for its function (an exception of a code the server uses, or a
// read's byte count that matches what follows), within 253 bytes.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "modbus_frame.h"
#include "modbus_requests.h"

namespace {

constexpr int32_t kStatuses[] = {MAVOZARP_STATUS_SUCCESS, MAVOZARP_STATUS_INVALID_COMMAND,
                                 MAVOZARP_STATUS_INVALID_DATA, MAVOZARP_STATUS_I2C_ERROR,
                                 MAVOZARP_STATUS_OTHER_ERROR};
// Replies of every form the language gives, and some it does not.
const char *const kReplies[] = {"1.500", "-1.000", "nan", "F00F", "00A8", "5a", "1", "0", "",
                                "ERR", "-2147483648", "1e300", "FFFFFFFFF", "Kora BLUE"};
constexpr ModbusOutcome kOutcomes[] = {ModbusOutcome::Ran, ModbusOutcome::Busy, ModbusOutcome::Gone,
                                       ModbusOutcome::WriteRefused};
constexpr uint8_t kExceptionCodes[] = {0x01, 0x02, 0x03, 0x04, 0x06, 0x0B};

bool IsRead(uint8_t function) { return function <= 0x04 || function == 0x2B; }

std::vector<Exchange> Results(FuzzInput &input, size_t commands) {
    std::vector<Exchange> results;
    const size_t count = commands - std::min<size_t>(commands, input.Byte() % 3);  // some not run
    for (size_t i = 0; i < count; ++i) {
        Exchange result{.status = kStatuses[input.Byte() % std::size(kStatuses)], .reply = {}};
        const uint8_t reply = input.Byte();
        if (reply < 16 * std::size(kReplies)) {
            result.reply = kReplies[reply % std::size(kReplies)];
        } else {
            const std::vector<uint8_t> bytes = input.Bytes(input.Byte() % MAVOZARP_BUFFER_SIZE);
            result.reply.assign(bytes.begin(), bytes.end());
        }
        results.push_back(std::move(result));
    }
    return results;
}

void CheckAnswer(const ModbusFrame &frame, const std::vector<uint8_t> &pdu) {
    const uint8_t function = frame.pdu[0];
    FUZZ_CHECK(pdu.size() >= 2 && pdu.size() <= kLongestPdu);
    if (pdu[0] == (function | 0x80)) {
        FUZZ_CHECK(pdu.size() == 2);
        FUZZ_CHECK(std::find(std::begin(kExceptionCodes), std::end(kExceptionCodes), pdu[1]) !=
                   std::end(kExceptionCodes));
        return;
    }
    FUZZ_CHECK(pdu[0] == function);
    if (function <= 0x04) FUZZ_CHECK(pdu[1] == pdu.size() - 2);
}

void Serve(const ModbusFrame &frame, bool writesAllowed, FuzzInput &input) {
    FUZZ_CHECK(!frame.pdu.empty() && frame.pdu.size() <= kLongestPdu);
    const ModbusPlan plan = PlanModbusRequest(
        frame.pdu, {.writesAllowed = writesAllowed, .libraryStatus = -5, .libraryVersion = "2.1.0"});
    FUZZ_CHECK(!IsRead(frame.pdu[0]) || !plan.ChangesSettings());
    for (const std::string &command : plan.Commands()) {
        FUZZ_CHECK(!command.empty() && command.size() < MAVOZARP_BUFFER_SIZE);
        FUZZ_CHECK(plan.ChangesSettings() == (command[0] != '?'));
    }
    const ModbusOutcome outcome = kOutcomes[input.Byte() % std::size(kOutcomes)];
    const ModbusAnswer answer = plan.Answer(outcome, Results(input, plan.Commands().size()));
    CheckAnswer(frame, answer.pdu);
    FUZZ_CHECK(answer.libraryStatus.has_value() == (outcome == ModbusOutcome::Ran && !plan.Commands().empty()));
    const std::vector<uint8_t> framed = EncodeModbusFrame(frame.transaction, frame.unit, answer.pdu);
    FUZZ_CHECK(ReadBigEndian16(framed, 4) == answer.pdu.size() + 1);
}

}  // namespace

// The input: a byte of flags (bit 0: writing allowed), then pieces of the stream, each its length
// and its bytes; after each piece, the frames it completed are served.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput input(data, size);
    const bool writesAllowed = (input.Byte() & 1) != 0;
    ModbusFrameReader reader;
    while (!input.Empty()) {
        const std::vector<uint8_t> piece = input.Bytes(input.Byte());
        reader.Take(piece);
        while (std::optional<ModbusFrame> frame = reader.Next()) Serve(*frame, writesAllowed, input);
        if (reader.Broken()) break;
    }
    return 0;
}
