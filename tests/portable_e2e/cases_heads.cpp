// One session with a head, the same on every route to it.
#include <map>
#include <string>
#include <vector>

#include "cases.h"

namespace e2e {

namespace {

// Every query of the language, then settings each read back.
constexpr const char *kSession[] = {
    "?HTYPE", "?HID", "?HBDREV", "?LASERMODEL", "?WAVELENGTH", "?POWERUNITS",
    "?TMAIN", "?TBRF", "?TSHG", "?TTHG", "?TETA",
    "?TMAINCMD", "?TBRFCMD", "?TSHGCMD", "?TTHGCMD", "?TETACMD",
    "?MAIND", "?BRFD", "?SHGD", "?THGD", "?ETAD",
    "?P", "?PCMD", "?PMEM", "?PLIM", "?C", "?CCMD", "?CLIM", "?FF",
    "?L", "?SH", "?SHCMD", "?KSW", "?KSWCMD", "?FAN", "?INT", "?HH", "?EEH",
    "?CMODE", "?CMODECMD", "?ANA", "?ANACMD",
    "?PSDIO", "?PSGLUEIN", "?PSGLUEOUT", "?HEADDIO", "?REM",
    "?CFG0", "?CFG1", "?CFG2", "?CFG3", "MATCH=1",
    "PCMD=1.5", "?PCMD", "PMEM=1.2", "?PMEM", "CCMD=1.5", "?CCMD",
    "SHCMD=1", "?SHCMD", "ANACMD=1", "?ANACMD", "REM=1", "?REM", "KSWCMD=1", "?KSWCMD",
    "?psdio", "pcmd=0.8", "?pcmd",
};

// The replies of the first route each head was commanded through, by preset.
struct FirstRoute {
    std::string route;
    std::vector<Answer> answers;
};
std::map<std::string, FirstRoute> firstRoutes;

// A query replies with a value; a setting replies with nothing.
bool IsQuery(const std::string &command) { return command[0] == '?' || command == "MATCH=1"; }

}  // namespace

std::string DiagnosticLines(const std::string &headType, int32_t status) {
    return "Exit headType=" + headType + "\nExit status=" + std::to_string(status) + "\n";
}

void CommandHead(const char *route, const HeadModel &model, MavoZARP_Handle device) {
    const Context context(std::string(route) + " " + model.preset);
    const Answer early = Send(device, "?HTYPE");
    E2E_CHECK_EQ(early.status, MAVOZARP_STATUS_INVALID_HEAD);
    E2E_CHECK_EQ(early.reply, "\r\n");

    CapturedOutput output;
    const Answer identified = Initialize(device);
    E2E_CHECK_EQ(output.Finish(), DiagnosticLines(model.headType, 0));
    E2E_CHECK_EQ(identified.status, MAVOZARP_STATUS_SUCCESS);
    E2E_CHECK_EQ(identified.reply, model.headType);
    if (identified.status != MAVOZARP_STATUS_SUCCESS) return;

    std::vector<Answer> answers;
    for (const char *command : kSession) {
        const Context step(command);
        const Answer answer = Send(device, command);
        answers.push_back(answer);
        Observe(std::string(route) + " " + model.preset + " " + std::to_string(answers.size()) +
                    " " + command,
                std::to_string(answer.status) + " " + answer.reply);
        // A head answers or refuses what it does not have; a transport failure is a fault.
        if (answer.status == MAVOZARP_STATUS_SUCCESS) {
            E2E_CHECK(answer.reply.ends_with("\r\n"));
            E2E_CHECK(IsQuery(command) == (answer.reply != "\r\n"));
        } else {
            E2E_CHECK(answer.status == MAVOZARP_STATUS_INVALID_COMMAND ||
                      answer.status == MAVOZARP_STATUS_INVALID_DATA);
            E2E_CHECK_EQ(answer.reply, "\r\n");
        }
    }
    E2E_CHECK_EQ(answers.front().reply, std::string(model.headType) + "\r\n");

    // Identifying the head again keeps the same head, settings and all.
    CapturedOutput outputAgain;
    const Answer again = Initialize(device);
    E2E_CHECK_EQ(outputAgain.Finish(), DiagnosticLines(model.headType, 0));
    E2E_CHECK_EQ(again.status, MAVOZARP_STATUS_SUCCESS);
    E2E_CHECK_EQ(again.reply, model.headType);
    E2E_CHECK_EQ(Send(device, "?PCMD").reply, answers.back().reply);

    const auto [first, isFirst] = firstRoutes.try_emplace(model.preset, FirstRoute{route, answers});
    if (isFirst) return;
    for (size_t i = 0; i < answers.size(); ++i) {
        const Context step(std::string(kSession[i]) + ", as through the " + first->second.route);
        E2E_CHECK_EQ(answers[i].status, first->second.answers[i].status);
        E2E_CHECK_EQ(answers[i].reply, first->second.answers[i].reply);
    }
}

}  // namespace e2e
