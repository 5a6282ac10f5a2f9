// The simulated CM11A's model in hand-stepped time: power-line timing and device semantics.
#include "../../../tools/cm11a-sim/cm11a_model.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using cm11asim::Interface;
using cm11asim::Millis;
using cm11asim::Timing;

std::string B(std::initializer_list<int> v) {
    std::string s;
    for (int c : v) s += static_cast<char>(c);
    return s;
}

// Runs the clock from `from` to `to` in 1 ms steps and returns everything sent.
std::string RunUntil(Interface& sim, Millis from, Millis to) {
    std::string out;
    for (Millis t = from; t <= to; ++t) {
        sim.Tick(t);
        out += sim.TakeOutput();
    }
    return out;
}

TEST(Cm11aSimModel, ChecksumComesAtOnceAndTheReadyByteWaitsForThePowerLine) {
    struct Case { const char* name; Timing timing; std::string bytes; int sum; Millis late, lineTime; };
    const Case cases[] = {
        {"dim 22 steps", Timing{1.0, 1000}, B({22 * 8 + 6, 0x64}), (22 * 8 + 6 + 0x64) & 0xFF, 0, 400 + 22 * 160},
        {"address, late ready", Timing{1.0, 1000}, B({0x04, 0x66}), 0x6A, 250, 650},
        {"clock message after a power failure", Timing{1.0, 1000}, B({0x9B, 7, 51, 7, 83, 0x81, 0x60}), 0x75, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Interface sim(c.timing);
        sim.FaultLate(c.late);
        if (c.bytes[0] == '\x9B') sim.PowerFail(0);
        sim.Receive(c.bytes, 0);
        std::string out = RunUntil(sim, 0, 9);
        if (!out.empty() && out[0] == '\xA5') out.erase(0, 1);  // the poll sent when the power came back
        EXPECT_EQ(out, B({c.sum}));
        sim.Receive(B({0x00}), 10);
        EXPECT_EQ(RunUntil(sim, 10, 10 + c.lineTime - 1), "");
        EXPECT_EQ(RunUntil(sim, 10 + c.lineTime, 10 + c.lineTime), B({0x55}));
    }
}

TEST(Cm11aSimModel, FunctionsActOnTheAddressesOfTheirHouse) {
    struct Case { const char* name; std::vector<std::pair<int, int>> pairs; const char* state; };
    const std::vector<Case> cases = {
        {"B's function leaves A1 selected for A's", {{4, 0x66}, {4, 0xEE}, {6, 0xE2}, {6, 0x62}}, "A1 on 100\nB2 on 100\n"},
        {"a function clears the selection", {{0x04, 0x66}, {0x06, 0x62}, {0x06, 0x63}}, "A1 on 100\n"},
        {"all lights on: known devices of the house only",
         {{0x04, 0x66}, {0x06, 0x63}, {0x04, 0xEE}, {0x06, 0xE3}, {0x06, 0x61}}, "A1 on 100\nB2 off 0\n"},
        {"dim 11 of 22 steps twice to off", {{0x04, 0x66}, {11 * 8 + 6, 0x64}, {0x04, 0x66}, {11 * 8 + 6, 0x64}}, "A1 off 0\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Interface sim(Timing{1.0, 1000});
        Millis now = 0;
        for (auto [h, code] : c.pairs) {
            sim.Receive(B({h, code, 0x00}), now);
            sim.Tick(now += 5000);
        }
        EXPECT_EQ(sim.Devices().Describe(), c.state);
    }
}

TEST(Cm11aSimModel, OneUploadBufferHoldsWhatFitsAndLosesTheRest) {
    Interface sim(Timing{1.0, 1000});
    EXPECT_EQ(sim.Hear({"A1", "on"}, 0), "");
    EXPECT_EQ(sim.Hear({"A2", "off"}, 0), "");  // joins the held upload
    EXPECT_EQ(sim.Hear({"A3", "A4", "A5", "dim", "50"}, 0), "");  // no room: lost
    sim.Tick(0);
    EXPECT_EQ(sim.TakeOutput(), B({0x5A}));
    sim.Receive(B({0xC3}), 1);
    EXPECT_EQ(sim.TakeOutput(), B({0x05, 0x0A, 0x66, 0x62, 0x6E, 0x63}));
}

TEST(Cm11aSimModel, FaultsTakeTheRepliesOfACommandThatStillGoesOverThePowerLine) {
    // A1 on: address and function, each confirmed; what the computer receives.
    struct Case { const char* fault; std::string received; const char* line; };
    const Case cases[] = {
        {"fault ready lost 1", B({0x6A, 0x55, 0x68}), "55 lost"},
        {"fault ready garbled 1", B({0x6A, 0x55, 0x68, 0x45}), "55 garbled"},
        {"fault ready poll 1", B({0x6A, 0x55, 0x68, 0x5A}), "poll in place of the 55"},
        {"fault mute 2", B({0x68, 0x55}), "reply lost"},
        {"fault checksum 1 5B", B({0x5B}), nullptr},  // the pair is not confirmed: nothing goes
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        Interface sim(Timing{1.0, 1000});
        cm11asim::Action action;
        ASSERT_EQ(cm11asim::RunCommand(sim, c.fault, 0, action), "ok\n");
        std::string received;
        Millis now = 0;
        for (const std::string& pair : {B({0x04, 0x66}), B({0x06, 0x62})}) {
            sim.Receive(pair, now);
            received += RunUntil(sim, now, now + 5);
            if (!received.empty() && static_cast<unsigned char>(received.back()) == 0x5B) break;
            sim.Receive(B({0x00}), now + 6);
            received += RunUntil(sim, now + 6, now + 1000);
            now += 1001;
        }
        EXPECT_EQ(received, c.received);
        EXPECT_EQ(sim.Devices().Describe().rfind("A1 on 100\n", 0) == 0, c.line != nullptr);
        if (c.line) {
            EXPECT_NE(std::find(sim.LineLog().begin(), sim.LineLog().end(), c.line), sim.LineLog().end());
        }
    }
}

TEST(Cm11aSimModel, RawUploadsCarryAddressesOfSeveralHouses) {
    Interface sim(Timing{1.0, 1000});
    cm11asim::Action action;
    // A1 and B2 addressed, then "B on": only B2 switches.
    ASSERT_EQ(cm11asim::RunCommand(sim, "hear-raw 04 66 EE E2", 0, action), "ok\n");
    EXPECT_EQ(sim.Devices().Describe(), "A1 off 0\nB2 on 100\n");
    sim.Tick(0);
    EXPECT_EQ(sim.TakeOutput(), B({0x5A}));
    sim.Receive(B({0xC3}), 1);
    EXPECT_EQ(sim.TakeOutput(), B({0x04, 0x04, 0x66, 0xEE, 0xE2}));
    EXPECT_NE(cm11asim::RunCommand(sim, "hear-raw 00", 2, action).find("error"), std::string::npos);
}

}  // namespace
