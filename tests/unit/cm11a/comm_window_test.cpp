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
        comm.SetSendCommand([this](const std::string& dc, int c, int b) { sent.emplace_back(dc, c, b); });
    }
    quorvel::platform::SimPlatform sim;
    quorvel::core::Reporter reporter;
    CommWindowModel comm;
    std::vector<std::tuple<std::string, int, int>> sent;
    std::vector<std::string> reports;
};

}  // namespace

TEST_F(Cm11aCommWindow, PanesKeepTheirLast10000Characters) {
    for (int i = 0; i < 3000; ++i) comm.AppendStatus("\r\n" + std::to_string(i));
    EXPECT_EQ(comm.CommStatus().size(), CommWindowModel::kPaneLimit);
    EXPECT_EQ(comm.CommStatus().substr(comm.CommStatus().size() - 6), "\r\n2999");
}

TEST_F(Cm11aCommWindow, TypedCommandsSendTheirX10CommandAndAnythingElseSendsNothing) {
    struct Case { const char* typed; std::vector<std::tuple<std::string, int, int>> sent; bool notRecognized; };
    const Case cases[] = {
        {"a1 on", {{"A1", 2, 0}}, false},
        {"B2 DIM 32", {{"B2", 4, 32}}, false},
        {"A1,OFF", {{"A1", 3, 0}}, false},
        {"c3 allunitsoff", {{"C3", 0, 0}}, false},
        {"c3 status 5", {{"C3", 15, 5}}, false},
        {"A1", {}, true},
        {"A1 BLINK", {}, false},
        {"  A1  ON", {}, false},
        {"A1 DIM 99999", {}, false},  // does not fit: reported, nothing sent
    };
    for (const Case& c : cases) {
        sent.clear();
        comm.Form_Load();
        comm.SendToRain8_Click(c.typed);
        EXPECT_EQ(sent, c.sent) << c.typed;
        EXPECT_EQ(comm.CommData().find("Command not recognized") != std::string::npos, c.notRecognized) << c.typed;
    }
    EXPECT_EQ(reports.size(), 1u);  // the amount that does not fit
}
