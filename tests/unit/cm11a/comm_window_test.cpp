#include "cm11a/comm_window_model.h"
#include "platform/sim/sim_platform.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

using quorvel::cm11a::CommWindowModel;

namespace {

class Cm11aCommWindow : public ::testing::Test {
protected:
    Cm11aCommWindow() : reporter(sim), comm(sim, reporter) {
        reporter.SetConsole([this](const std::string& l) { reports.push_back(l); });
        comm.SetSendCommand([this](const std::string& dc, int c, int b) {
            sent.emplace_back(dc, c, b);
            return refusal;
        });
    }
    quorvel::platform::SimPlatform sim;
    quorvel::core::Reporter reporter;
    CommWindowModel comm;
    std::vector<std::tuple<std::string, int, int>> sent;
    std::vector<std::string> reports;
    std::string refusal;  // what the engine answers
};

}  // namespace

TEST_F(Cm11aCommWindow, PanesKeepTheirLast10000Characters) {
    for (int i = 0; i < 3000; ++i) comm.AppendStatus("\r\n" + std::to_string(i));
    EXPECT_EQ(comm.CommStatus().size(), CommWindowModel::kPaneLimit);
    EXPECT_EQ(comm.CommStatus().substr(comm.CommStatus().size() - 6), "\r\n2999");
}

// Every typed line gets its answer in the traffic pane: the bytes a queued command sends,
// or why it was refused.
TEST_F(Cm11aCommWindow, EveryTypedLineIsAnsweredWithItsBytesOrWhyItWasRefused) {
    struct Case { const char* typed; std::vector<std::tuple<std::string, int, int>> sent; const char* answer; };
    const Case cases[] = {
        {"a1 on", {{"A1", 2, 0}}, "Queued A1 ON: sends 04 66, then 06 62"},
        {"B2 DIM 11", {{"B2", 4, 11}}, "Queued B2 DIM 11: sends 5C EE, then 5E E4"},
        {"A1,OFF", {{"A1", 3, 0}}, "Queued A1 OFF: sends 04 66, then 06 63"},
        {"  A1  ON ", {{"A1", 2, 0}}, "Queued A1 ON"},
        {"c3 allunitsoff", {{"C3", 0, 0}}, "Queued C3 ALLUNITSOFF"},
        {"A1", {}, "Command not recognized: type a device and a function"},
        {"A1 BLINK", {}, "Refused A1 BLINK: BLINK is not a function (ON, OFF,"},
        {"B2 DIM 32", {}, "Refused B2 DIM 32: 32 is not an amount from 0 to 22"},
        {"A1 DIM 99999", {}, "Refused A1 DIM 99999: 99999 is not an amount"},
        {"A1 DIM -3", {}, "is not an amount"},
        {"Q1 ON", {}, "Refused Q1 ON: Q1 is not a device code (A1 to P16)"},
        {"A1X ON", {}, "A1X is not a device code"},
        {"A1 Ã©", {}, "Refused: only letters, digits, blanks and commas"},
    };
    for (const Case& c : cases) {
        sent.clear();
        comm.Form_Load();
        comm.SendToRain8_Click(c.typed);
        EXPECT_EQ(sent, c.sent) << c.typed;
        EXPECT_NE(comm.CommData().find(c.answer), std::string::npos) << c.typed << "\n" << comm.CommData();
    }
    // What the engine says of a command it could not take is the answer.
    refusal = "the CM11A link is down: no link: cannot connect to 127.0.0.1:4001";
    comm.Form_Load();
    comm.SendToRain8_Click("A1 ON");
    EXPECT_NE(comm.CommData().find("Refused A1 ON: the CM11A link is down: no link: cannot connect"), std::string::npos);
    EXPECT_TRUE(reports.empty());
}
