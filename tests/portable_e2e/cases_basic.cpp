// What needs no hardware: the version texts, unknown handles, the simulated head, and numbers
// that read and print alike on every system and in every locale.
#include <clocale>
#include <string>

#include "cases.h"

namespace e2e {

namespace {

constexpr MavoZARP_Handle kUnknownHandle = 0x3A5C;

void CheckReply(MavoZARP_Handle device, const std::string &command, int32_t status,
                const std::string &reply) {
    const Context context(command);
    const Answer answer = Send(device, command);
    E2E_CHECK_EQ(answer.status, status);
    E2E_CHECK_EQ(answer.reply, reply);
}

void VersionTexts() {
    for (const char *request : {"", "?", "?* ", "*?", "version"}) {
        const Context context(Quoted(request));
        const Answer version = Version(request);
        E2E_CHECK_EQ(version.status, MAVOZARP_STATUS_SUCCESS);
        E2E_CHECK_EQ(version.reply, "MavoZARP 2.1.0");
    }
}

void UnknownHandles() {
    for (const MavoZARP_Handle device : {kUnknownHandle, MavoZARP_Handle{0}}) {
        const Context context("handle " + std::to_string(device));
        CheckReply(device, "?HTYPE", MAVOZARP_STATUS_UNKNOWN_HANDLE, "\r\n");
        const Answer identified = Initialize(device);
        E2E_CHECK_EQ(identified.status, MAVOZARP_STATUS_UNKNOWN_HANDLE);
        E2E_CHECK_EQ(identified.reply, "");
        E2E_CHECK_EQ(Library().close(device), MAVOZARP_STATUS_UNKNOWN_HANDLE);
    }
    // The simulated head is never closed.
    E2E_CHECK_EQ(Library().close(MAVOZARP_SIMULATED_HANDLE), MAVOZARP_STATUS_UNKNOWN_HANDLE);
}

void SimulatedHead() {
    const MavoZARP_Handle head = MAVOZARP_SIMULATED_HANDLE;
    const Answer identified = Initialize(head);
    E2E_CHECK_EQ(identified.status, MAVOZARP_STATUS_SUCCESS);
    E2E_CHECK_EQ(identified.reply, "Dummy");

    const struct {
        const char *command;
        const char *reply;
    } fresh[] = {
        {"?htype", "Dummy"},        {"?HID", "123456"},     {"?HBDREV", "AA"},
        {"?LASERMODEL", "Dummy"},   {"?WAVELENGTH", "399.000"}, {"?HH", "3.142"},
        {"?PSDIO", "F000"},         {"?PSGLUEIN", "0F00"},  {"?FF", "F00F"},
        {"?P", "0.100"},            {"?PCMD", "0.000"},     {"?C", "15.100"},
        {"?CLIM", "30.000"},        {"?PLIM", "99.900"},    {"?POWERUNITS", "mW"},
        {"?TBRF", "25.100"},        {"?TSHGCMD", "26.000"}, {"?MAIND", "6.000"},
        {"?INT", "1"},              {"MATCH=1", "0008"},
    };
    for (const auto &query : fresh) {
        CheckReply(head, query.command, MAVOZARP_STATUS_SUCCESS, std::string(query.reply) + "\r\n");
    }

    CheckReply(head, "PCMD=2.5", MAVOZARP_STATUS_SUCCESS, "\r\n");
    CheckReply(head, "?P", MAVOZARP_STATUS_SUCCESS, "2.600\r\n");
    CheckReply(head, "CCMD=4", MAVOZARP_STATUS_SUCCESS, "\r\n");
    CheckReply(head, "CMODECMD=1", MAVOZARP_STATUS_SUCCESS, "\r\n");
    CheckReply(head, "?CCMD", MAVOZARP_STATUS_SUCCESS, "0.000\r\n");
    CheckReply(head, "?CMODE", MAVOZARP_STATUS_SUCCESS, "1\r\n");
    CheckReply(head, "KSWCMD=1", MAVOZARP_STATUS_SUCCESS, "\r\n");
    CheckReply(head, "CMODECMD=0", MAVOZARP_STATUS_INVALID_DATA, "\r\n");
    CheckReply(head, "KSWCMD=0", MAVOZARP_STATUS_SUCCESS, "\r\n");

    const struct {
        const char *command;
        int32_t status;
    } refused[] = {
        {"?TTHG", MAVOZARP_STATUS_INVALID_COMMAND}, {"?P ", MAVOZARP_STATUS_INVALID_COMMAND},
        {"?P\r\n", MAVOZARP_STATUS_INVALID_COMMAND}, {"MATCH=0", MAVOZARP_STATUS_INVALID_COMMAND},
        {"PCMD=", MAVOZARP_STATUS_INVALID_DATA},     {"PCMD=NAN", MAVOZARP_STATUS_INVALID_DATA},
        {"PCMD=1E400", MAVOZARP_STATUS_INVALID_DATA}, {"SHCMD=2", MAVOZARP_STATUS_INVALID_DATA},
    };
    for (const auto &command : refused) CheckReply(head, command.command, command.status, "\r\n");
    CheckReply(head, "?P" + std::string(98, 'X'), MAVOZARP_STATUS_INVALID_COMMAND, "\r\n");
}

// The host's locale must not change how the language's numbers read or print: a comma locale on
// the host still sets 1.5 with "PCMD=1.5" and reads back "1.500".
void NumbersInEveryLocale() {
    const struct {
        const char *argument;
        const char *reading;
    } numbers[] = {
        {"1.5", "1.500"},      {"+7", "7.000"},      {" 2.5E1", "25.000"}, {"2.5e-1", "0.250"},
        {"-0.0004", "-0.000"}, {"0.0015", "0.002"},  {"2.0625", "2.062"},  {"2.0635", "2.063"},
        {"1E20", "100000000000000000000.000"},       {"0X1P3", "0.000"},
    };
    // Names of a comma locale on Linux and on Windows.
    const char *commaLocale = nullptr;
    for (const char *name : {"de_DE.UTF-8", "de_DE.utf8", "German_Germany.1252", "de-DE"}) {
        if (std::setlocale(LC_ALL, name) != nullptr &&
            std::string(std::localeconv()->decimal_point) == ",") {
            commaLocale = name;
            break;
        }
    }
    std::setlocale(LC_ALL, "C");
    for (const char *locale : {"C", commaLocale}) {
        if (locale == nullptr) continue;
        const Context context(std::string("locale ") + locale);
        std::setlocale(LC_ALL, locale);
        for (const auto &number : numbers) {
            CheckReply(MAVOZARP_SIMULATED_HANDLE, std::string("PCMD=") + number.argument,
                       MAVOZARP_STATUS_SUCCESS, "\r\n");
            CheckReply(MAVOZARP_SIMULATED_HANDLE, "?PCMD", MAVOZARP_STATUS_SUCCESS,
                       std::string(number.reading) + "\r\n");
        }
        std::setlocale(LC_ALL, "C");
    }
    if (commaLocale == nullptr) Skip("no comma locale on this system; numbers checked in C only");
}

constexpr TestCase kCases[] = {
    {"VersionTexts", VersionTexts},
    {"UnknownHandles", UnknownHandles},
    {"SimulatedHead", SimulatedHead},
    {"NumbersInEveryLocale", NumbersInEveryLocale},
};

}  // namespace

std::span<const TestCase> BasicCases() { return kCases; }

}  // namespace e2e
