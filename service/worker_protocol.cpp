#include "worker_protocol.h"

#include <type_traits>

namespace worker_protocol {
namespace {

enum class Kind : uint8_t { Submit = 1, Arrived = 2, Departed = 3, Settled = 4, Answer = 5 };

// Builds a frame: its length is filled in once the body is complete.
class Writer {
public:
    explicit Writer(Kind kind) : bytes_(kLengthBytes, '\0') { Byte(static_cast<uint8_t>(kind)); }

    void Byte(uint8_t value) { bytes_.push_back(static_cast<char>(value)); }
    template <typename Integer>
    void Number(Integer value) {
        using Unsigned = std::make_unsigned_t<Integer>;
        const auto bits = static_cast<Unsigned>(value);
        for (size_t i = 0; i < sizeof(Integer); ++i) Byte(static_cast<uint8_t>(bits >> (8 * i)));
    }
    void Text(std::string_view text) {
        Number(static_cast<uint32_t>(text.size()));
        bytes_.append(text);
    }

    std::string Frame() && {
        const auto length = static_cast<uint32_t>(bytes_.size() - kLengthBytes);
        for (size_t i = 0; i < kLengthBytes; ++i) bytes_[i] = static_cast<char>(length >> (8 * i));
        return std::move(bytes_);
    }

private:
    std::string bytes_;
};

// Reads a body; once anything is missing or out of range, every later read fails too.
class Reader {
public:
    explicit Reader(std::string_view body) : rest_(body) {}

    bool Good() const { return good_; }
    bool AtEnd() const { return good_ && rest_.empty(); }

    uint8_t Byte() {
        if (!good_ || rest_.empty()) return Fail<uint8_t>();
        const auto value = static_cast<uint8_t>(rest_.front());
        rest_.remove_prefix(1);
        return value;
    }
    template <typename Integer>
    Integer Number() {
        using Unsigned = std::make_unsigned_t<Integer>;
        Unsigned bits = 0;
        for (size_t i = 0; i < sizeof(Integer); ++i) bits |= static_cast<Unsigned>(Byte()) << (8 * i);
        return static_cast<Integer>(bits);
    }
    std::string Text() {
        const auto size = Number<uint32_t>();
        if (!good_ || size > rest_.size()) return Fail<std::string>();
        std::string text(rest_.substr(0, size));
        rest_.remove_prefix(size);
        return text;
    }
    // A count of items each at least `smallest` bytes long: never more than the body could hold.
    uint32_t Count(size_t smallest) {
        const auto count = Number<uint32_t>();
        if (!good_ || count > rest_.size() / smallest) return Fail<uint32_t>();
        return count;
    }
    template <typename Enum>
    Enum Choice(Enum last) {
        const uint8_t value = Byte();
        if (value > static_cast<uint8_t>(last)) return Fail<Enum>();
        return static_cast<Enum>(value);
    }

private:
    template <typename Value>
    Value Fail() {
        good_ = false;
        return Value{};
    }

    std::string_view rest_;
    bool good_ = true;
};

template <typename Message>
std::optional<FromWorker> Whole(Reader &reader, Message message) {
    if (!reader.AtEnd()) return std::nullopt;
    return FromWorker(std::move(message));
}

}  // namespace

std::string Encode(const Submit &message) {
    Writer out(Kind::Submit);
    out.Number(message.request);
    out.Number(message.device);
    out.Byte(static_cast<uint8_t>(message.batch.mode));
    out.Number(static_cast<uint32_t>(message.batch.commands.size()));
    for (const std::string &command : message.batch.commands) out.Text(command);
    return std::move(out).Frame();
}

std::string Encode(const FromWorker &message) {
    struct Encoder {
        std::string operator()(const Arrived &arrived) const {
            Writer out(Kind::Arrived);
            out.Number(arrived.device);
            out.Text(arrived.id);
            out.Text(arrived.identity.selector);
            out.Text(arrived.identity.transport);
            out.Text(arrived.identity.headType);
            return std::move(out).Frame();
        }
        std::string operator()(const Departed &departed) const {
            Writer out(Kind::Departed);
            out.Number(departed.device);
            return std::move(out).Frame();
        }
        std::string operator()(const Settled &) const { return Writer(Kind::Settled).Frame(); }
        std::string operator()(const Answer &answer) const {
            Writer out(Kind::Answer);
            out.Number(answer.request);
            out.Byte(static_cast<uint8_t>(answer.result.outcome));
            out.Text(answer.result.why);
            out.Number(static_cast<uint32_t>(answer.result.exchanges.size()));
            for (const Exchange &exchange : answer.result.exchanges) {
                out.Number(exchange.status);
                out.Text(exchange.reply);
            }
            return std::move(out).Frame();
        }
    };
    return std::visit(Encoder{}, message);
}

uint32_t FrameLength(const unsigned char (&bytes)[kLengthBytes]) {
    uint32_t length = 0;
    for (size_t i = 0; i < kLengthBytes; ++i) length |= static_cast<uint32_t>(bytes[i]) << (8 * i);
    return length;
}

std::optional<Submit> DecodeSubmit(std::string_view body) {
    Reader in(body);
    if (in.Byte() != static_cast<uint8_t>(Kind::Submit)) return std::nullopt;
    Submit message;
    message.request = in.Number<uint64_t>();
    message.device = in.Number<uint32_t>();
    message.batch.mode = in.Choice(BatchMode::UntilFailure);
    const uint32_t count = in.Count(sizeof(uint32_t));
    for (uint32_t i = 0; i < count && in.Good(); ++i) message.batch.commands.push_back(in.Text());
    if (!in.AtEnd()) return std::nullopt;
    return message;
}

std::optional<FromWorker> DecodeFromWorker(std::string_view body) {
    Reader in(body);
    switch (static_cast<Kind>(in.Byte())) {
    case Kind::Arrived: {
        Arrived arrived;
        arrived.device = in.Number<uint32_t>();
        arrived.id = in.Text();
        arrived.identity.selector = in.Text();
        arrived.identity.transport = in.Text();
        arrived.identity.headType = in.Text();
        return Whole(in, std::move(arrived));
    }
    case Kind::Departed: return Whole(in, Departed{in.Number<uint32_t>()});
    case Kind::Settled: return Whole(in, Settled{});
    case Kind::Answer: {
        Answer answer;
        answer.request = in.Number<uint64_t>();
        answer.result.outcome = in.Choice(BatchOutcome::Gone);
        answer.result.why = in.Text();
        const uint32_t count = in.Count(sizeof(int32_t) + sizeof(uint32_t));
        for (uint32_t i = 0; i < count && in.Good(); ++i) {
            Exchange exchange;
            exchange.status = in.Number<int32_t>();
            exchange.reply = in.Text();
            answer.result.exchanges.push_back(std::move(exchange));
        }
        return Whole(in, std::move(answer));
    }
    case Kind::Submit: break;
    }
    return std::nullopt;
}

}  // namespace worker_protocol
