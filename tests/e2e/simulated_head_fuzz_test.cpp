// Random and mutated commands for the simulated head, through the exported functions only: every
// call must end in a known status with a reply that fits the caller's buffer and ends in "\r\n",
// and a failure must answer exactly "\r\n". The seed is fixed and printed so that a failure
// reproduces.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "MavoZARP.h"

namespace {

constexpr uint32_t kSeed = 20261208;

// The thread sanitizer makes every call many times slower; its build gets fewer commands.
#if defined(__SANITIZE_THREAD__)
constexpr int kCommands = 20000;
#else
constexpr int kCommands = 50000;
#endif

constexpr size_t kGuard = 32;       // bytes behind the reply buffer that must stay untouched
constexpr char kSentinel = '\xA5';  // what the buffer holds before each call

// Every command the simulated head knows, set commands with an argument.
const char *const kValidCommands[] = {
    "?TMAIN",     "?TBRF",       "?TSHG",       "?TTHG",       "?TETA",   "?TMAINCMD", "?TBRFCMD",
    "?TSHGCMD",   "?TTHGCMD",    "?TETACMD",    "?MAIND",      "?BRFD",   "?SHGD",     "?THGD",
    "?ETAD",      "?P",          "?PCMD",       "PCMD=1.5",    "?PMEM",   "PMEM=0.25", "?PLIM",
    "?C",         "?CCMD",       "CCMD=2",      "?CLIM",       "?FF",     "?HID",      "?HBDREV",
    "?HTYPE",     "?L",          "?SH",         "?SHCMD",      "SHCMD=1", "?KSW",      "?KSWCMD",
    "KSWCMD=0",   "?FAN",        "?INT",        "?HH",         "?EEH",    "?CMODE",    "?CMODECMD",
    "CMODECMD=1", "?ANA",        "?ANACMD",     "ANACMD=1",    "?PSDIO",  "?PSGLUEIN", "?PSGLUEOUT",
    "?HEADDIO",   "?REM",        "REM=0",       "?CFG0",       "?CFG1",   "?CFG2",     "?CFG3",
    "MATCH=1",    "?WAVELENGTH", "?LASERMODEL", "?POWERUNITS",
};

// Characters that steer a parser: signs, digits, separators, exponent letters, high bytes.
const char kInteresting[] = "=?.-+eE0123456789 \t\r\nxXnNaAiI,;\x7f\x80\xff";

const char *const kSuffixes[] = {
    "1E400",    "NAN",   "-0",  " 2",  "=1", "==1", "1e-400", "inf",  "-inf",
    "0x10",     "1.",    ".5",  "\t1", "+1", "1 ",  "-1",     "2",    "1e308",
    "4.9e-324", "00001", "1,5", "1e",  "e1", "--1", "+-1",    "1..2",
};

class Fuzzer {
public:
    explicit Fuzzer(uint32_t seed) : random_(seed) {}

    std::string Next() { return Below(4) == 0 ? RandomBytes() : Mutated(); }

private:
    size_t Below(size_t bound) {
        return std::uniform_int_distribution<size_t>(0, bound - 1)(random_);
    }

    char AnyByte() { return static_cast<char>(Below(256)); }
    char SomeByte() {
        return Below(2) == 0 ? kInteresting[Below(sizeof kInteresting - 1)] : AnyByte();
    }

    // 1 to 150 bytes; a zero among them ends the command early.
    std::string RandomBytes() {
        std::string bytes(1 + Below(150), '\0');
        for (char &byte : bytes) byte = SomeByte();
        return bytes;
    }

    std::string Digits() {
        std::string digits(1 + Below(Below(8) == 0 ? 400 : 20), '0');
        for (char &digit : digits) digit = static_cast<char>('0' + Below(10));
        return digits;
    }

    void Mutate(std::string &command) {
        const size_t at = command.empty() ? 0 : Below(command.size() + 1);
        switch (Below(8)) {
            case 0:
                command.insert(command.begin() + static_cast<ptrdiff_t>(at), SomeByte());
                break;
            case 1:
                if (at < command.size()) command.erase(at, 1);
                break;
            case 2:
                if (at < command.size()) command[at] = SomeByte();
                break;
            case 3:
                command += kSuffixes[Below(std::size(kSuffixes))];
                break;
            case 4:
                command += Digits();
                break;
            case 5: {
                const size_t equals = command.find('=');
                // One character, not a string: GCC 12 at -O3 warns falsely (-Wrestrict) about
                // inserting a literal.
                command.insert(equals == std::string::npos ? command.size() : equals, 1, '=');
                break;
            }
            case 6:
                if (at < command.size()) command[at] = static_cast<char>(command[at] ^ 0x20);
                break;
            case 7:
                if (at < command.size()) command[at] = '\0';
                break;
        }
    }

    // A command name kept whole with an odd argument, or one mutated anywhere.
    std::string Mutated() {
        std::string command = kValidCommands[Below(std::size(kValidCommands))];
        const size_t equals = command.find('=');
        if (equals != std::string::npos && Below(2) == 0) {
            command.resize(equals + 1);
            command +=
                Below(2) == 0 ? std::string(kSuffixes[Below(std::size(kSuffixes))]) : Digits();
            if (Below(2) == 0) Mutate(command);
            return command;
        }
        for (size_t mutations = 1 + Below(3); mutations > 0; --mutations) Mutate(command);
        return command;
    }

    std::mt19937 random_;
};

// The bytes as C escapes, for the failure messages.
std::string Escaped(const std::string &bytes) {
    std::string text;
    for (unsigned char byte : bytes) {
        if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
            text += static_cast<char>(byte);
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02X", byte);
            text += escape;
        }
    }
    return text;
}

// What went wrong with one call's reply, or "" when nothing did.
std::string ReplyProblem(int32_t status, const std::vector<char> &buffer) {
    const auto end = buffer.begin() + MAVOZARP_BUFFER_SIZE;
    if (std::any_of(end, buffer.end(), [](char c) { return c != kSentinel; })) {
        return "written beyond the reply buffer";
    }
    const auto terminator = std::find(buffer.begin(), end, '\0');
    if (terminator == end) return "no terminator within the reply buffer";
    if (std::any_of(terminator + 1, end, [](char c) { return c != kSentinel; })) {
        return "written beyond the terminator";
    }
    const std::string reply(buffer.begin(), terminator);
    if (reply.size() < 2 || reply.compare(reply.size() - 2, 2, "\r\n") != 0) {
        return "reply \"" + Escaped(reply) + "\" does not end in \\r\\n";
    }
    if (status != MAVOZARP_STATUS_SUCCESS && reply != "\r\n") {
        return "failure with reply \"" + Escaped(reply) + "\"";
    }
    return "";
}

TEST(SimulatedHeadFuzz, RandomAndMutatedCommandsGetKnownStatusesAndBoundedReplies) {
    std::printf("seed %u, %d commands\n", kSeed, kCommands);
    Fuzzer fuzzer(kSeed);
    int statusCounts[4] = {};  // success, invalid command, invalid data, reply that would not fit
    int problems = 0;
    std::vector<char> buffer(MAVOZARP_BUFFER_SIZE + kGuard);
    for (int call = 0; call < kCommands && problems < 10; ++call) {
        const std::string command = fuzzer.Next();
        // Exactly as long as the text up to its first zero, so reading past it is caught too.
        const size_t length = std::strlen(command.c_str());
        const std::unique_ptr<char[]> text(new char[length + 1]);
        std::memcpy(text.get(), command.c_str(), length + 1);

        std::fill(buffer.begin(), buffer.end(), kSentinel);
        const int32_t status =
            MavoZARP_SendCommand(MAVOZARP_SIMULATED_HANDLE, text.get(), buffer.data());

        std::string problem;
        switch (status) {
            case MAVOZARP_STATUS_SUCCESS:
                ++statusCounts[0];
                break;
            case MAVOZARP_STATUS_INVALID_COMMAND:
                ++statusCounts[1];
                break;
            case MAVOZARP_STATUS_INVALID_DATA:
                ++statusCounts[2];
                break;
            case MAVOZARP_STATUS_OTHER_ERROR:
                if (++statusCounts[3] <= 3)
                    std::printf("too long for the reply: \"%s\"\n", Escaped(text.get()).c_str());
                break;
            default:
                problem = "status " + std::to_string(status);
        }
        if (problem.empty()) problem = ReplyProblem(status, buffer);
        if (!problem.empty()) {
            ++problems;
            ADD_FAILURE() << "call " << call << " \"" << Escaped(text.get()) << "\": " << problem;
        }
    }
    std::printf("success %d, invalid command %d, invalid data %d, too long for the reply %d\n",
                statusCounts[0], statusCounts[1], statusCounts[2], statusCounts[3]);
    // The mix must reach past the parser's first refusal.
    EXPECT_GT(statusCounts[0], kCommands / 50);
    EXPECT_GT(statusCounts[1], 0);
    EXPECT_GT(statusCounts[2], 0);
}

}  // namespace
