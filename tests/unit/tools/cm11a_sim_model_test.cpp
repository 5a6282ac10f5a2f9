// The simulated CM11A's model in hand-stepped time: power-line timing, device semantics,
// uploads that interrupt an exchange, and clock bytes after a power failure.
#include "../../../tools/cm11a-sim/cm11a_model.h"

#include <gtest/gtest.h>

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

TEST(Cm11aSimModel, ReadyByteWaitsForThePowerLine) {
    struct Case {
        const char* name;
        std::string pair;
        Millis late;
        Millis lineTime;
    };
    const std::vector<Case> cases = {
        {"address", B({0x04, 0x66}), 0, 400},
        {"on", B({0x06, 0x62}), 0, 400},
        {"dim 22 steps", B({22 * 8 + 6, 0x64}), 0, 400 + 22 * 160},
        {"bright 5 steps", B({5 * 8 + 6, 0x65}), 0, 400 + 5 * 160},
        {"address, late ready", B({0x04, 0x66}), 250, 650},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Interface sim(Timing{1.0, 1000});
        sim.FaultLate(c.late);
        sim.Receive(c.pair, 0);
        const std::uint8_t sum = static_cast<std::uint8_t>(c.pair[0] + c.pair[1]);
        EXPECT_EQ(sim.TakeOutput(), B({sum}));
        sim.Receive(B({0x00}), 10);
        EXPECT_EQ(RunUntil(sim, 10, 10 + c.lineTime - 1), "");
        EXPECT_EQ(RunUntil(sim, 10 + c.lineTime, 10 + c.lineTime), B({0x55}));
    }
}

TEST(Cm11aSimModel, SpeedShortensLineTime) {
    Interface sim(Timing{20.0, 1000});
    sim.Receive(B({0x04, 0x66}), 0);
    sim.Receive(B({0x00}), 0);
    EXPECT_EQ(sim.NextDeadline(), 20);
}

// Transmits each (header, code) pair at speed 1 and lets the power line finish.
void Transmit(Interface& sim, Millis& now, std::initializer_list<std::pair<int, int>> pairs) {
    for (auto [h, c] : pairs) {
        sim.Receive(B({h, c}), now);
        sim.Receive(B({0x00}), now);
        now += 5000;
        sim.Tick(now);
        sim.TakeOutput();
    }
}

TEST(Cm11aSimModel, FunctionsActOnTheAddressesOfTheirHouse) {
    struct Case {
        const char* name;
        std::vector<std::pair<int, int>> pairs;
        const char* state;
    };
    const std::vector<Case> cases = {
        // B's function leaves A1 selected; A's function then finds it.
        {"houses kept apart", {{0x04, 0x66}, {0x04, 0xEE}, {0x06, 0xE2}, {0x06, 0x62}}, "A1 on 100\nB2 on 100\n"},
        // After a function the selection is empty: the second off has nobody to act on.
        {"selection cleared", {{0x04, 0x66}, {0x06, 0x62}, {0x06, 0x63}}, "A1 on 100\n"},
        {"all lights on: known devices of the house only",
         {{0x04, 0x66}, {0x06, 0x63}, {0x04, 0xEE}, {0x06, 0xE3}, {0x06, 0x61}}, "A1 on 100\nB2 off 0\n"},
        {"all units off", {{0x04, 0x66}, {0x04, 0x6E}, {0x06, 0x62}, {0x06, 0x60}}, "A1 off 0\nA2 off 0\n"},
        // 11 of 22 steps is 50 %, twice reaches 0 and switches off.
        {"dim to off", {{0x04, 0x66}, {11 * 8 + 6, 0x64}, {0x04, 0x66}, {11 * 8 + 6, 0x64}}, "A1 off 0\n"},
        {"bright stops at full", {{0x04, 0x66}, {11 * 8 + 6, 0x64}, {0x04, 0x66}, {22 * 8 + 6, 0x65}},
         "A1 on 100\n"},
        {"extended frames change nothing", {{0x05, 0x66}}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Interface sim(Timing{1.0, 1000});
        Millis now = 0;
        for (auto [h, code] : c.pairs) Transmit(sim, now, {{h, code}});
        EXPECT_EQ(sim.Devices().Describe(), c.state);
    }
}

TEST(Cm11aSimModel, UploadBytes) {
    struct Case {
        std::vector<std::string> args;
        std::string bytes;
        const char* state;
    };
    const std::vector<Case> cases = {
        {{"A1", "on"}, B({0x03, 0x02, 0x66, 0x62}), "A1 on 100\n"},
        {{"a1", "B2", "on"}, B({0x05, 0x0A, 0x66, 0x62, 0xEE, 0xE2}), "A1 on 100\nB2 on 100\n"},
        {{"A", "all_lights_off"}, B({0x02, 0x01, 0x66}), ""},
        {{"C3", "bright", "100"}, B({0x04, 0x02, 0x22, 0x25, 210}), "C3 on 100\n"},
        {{"C3", "dim", "30"}, B({0x04, 0x02, 0x22, 0x24, 63}), "C3 on 70\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        Interface sim(Timing{1.0, 1000});
        ASSERT_EQ(sim.Hear(c.args, 0), "");
        // The devices change with the traffic itself, before the computer collects it.
        EXPECT_EQ(sim.Devices().Describe(), c.state);
        sim.Tick(0);
        EXPECT_EQ(sim.TakeOutput(), B({0x5A}));
        sim.Receive(B({0xC3}), 1);
        EXPECT_EQ(sim.TakeOutput(), c.bytes);
        EXPECT_EQ(sim.NextDeadline(), -1);
    }
}

TEST(Cm11aSimModel, UploadInterruptsAnExchangeButNotATransmission) {
    Interface sim(Timing{1.0, 1000});
    sim.Receive(B({0x04}), 0);
    ASSERT_EQ(sim.Hear({"A1", "on"}, 0), "");
    sim.Receive(B({0x66}), 1);  // the code byte: no checksum while an upload waits
    EXPECT_EQ(RunUntil(sim, 1, 1), B({0x5A}));
    EXPECT_EQ(RunUntil(sim, 2, 1001), B({0x5A}));  // repeated after the poll interval
    sim.Receive(B({0xC3}), 1002);
    EXPECT_EQ(sim.TakeOutput(), B({0x03, 0x02, 0x66, 0x62}));

    // During the power-line time the poll waits until the ready byte is out.
    sim.Receive(B({0x04, 0x6E}), 2000);
    sim.Receive(B({0x00}), 2000);
    sim.TakeOutput();
    ASSERT_EQ(sim.Hear({"A2", "off"}, 2100), "");
    EXPECT_EQ(RunUntil(sim, 2100, 2399), "");
    EXPECT_EQ(RunUntil(sim, 2400, 2400), B({0x55, 0x5A}));
}

TEST(Cm11aSimModel, ClockBytesAfterPowerFailAreSwallowed) {
    Interface sim(Timing{1.0, 1000});
    sim.PowerFail(0);
    EXPECT_EQ(RunUntil(sim, 0, 1000), B({0xA5, 0xA5}));
    sim.Receive(B({0x04, 0x66}), 1001);  // ignored
    EXPECT_EQ(sim.TakeOutput(), "");
    // A full clock message: 9B and six bytes, then the interface listens again.
    sim.Receive(B({0x9B, 0x04, 0x66, 0x01, 0x02, 0x03, 0x60}), 1002);
    EXPECT_EQ(sim.TakeOutput(), "");
    sim.Receive(B({0x04, 0x66}), 1003);
    EXPECT_EQ(sim.TakeOutput(), B({0x6A}));
    EXPECT_EQ(RunUntil(sim, 1003, 3000).find(static_cast<char>(0xA5)), std::string::npos);

    // A lone 9B: after a pause the next pair is a command again.
    Interface lone(Timing{1.0, 1000});
    lone.PowerFail(0);
    lone.Tick(0);
    lone.TakeOutput();
    lone.Receive(B({0x9B}), 10);
    lone.Tick(100);
    lone.Receive(B({0x04, 0x66}), 100);
    EXPECT_EQ(lone.TakeOutput(), B({0x6A}));
}

TEST(Cm11aSimModel, SilenceSwallowsEverything) {
    Interface sim(Timing{1.0, 1000});
    sim.FaultSilent(true);
    sim.Receive(B({0x04, 0x66}), 0);
    ASSERT_EQ(sim.Hear({"A1", "on"}, 0), "");
    EXPECT_EQ(RunUntil(sim, 0, 2000), "");
    sim.FaultSilent(false);
    EXPECT_EQ(RunUntil(sim, 2001, 3001), B({0x5A}));
}

}  // namespace
