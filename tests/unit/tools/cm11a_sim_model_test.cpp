// The simulated CM11A's model in hand-stepped time: power-line timing and device semantics.
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
    struct Case { const char* name; std::string pair; Millis late; Millis lineTime; };
    const std::vector<Case> cases = {
        {"address", B({0x04, 0x66}), 0, 400},
        {"dim 22 steps", B({22 * 8 + 6, 0x64}), 0, 400 + 22 * 160},
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

TEST(Cm11aSimModel, FunctionsActOnTheAddressesOfTheirHouse) {
    struct Case { const char* name; std::vector<std::pair<int, int>> pairs; const char* state; };
    const std::vector<Case> cases = {
        // B's function leaves A1 selected; A's function then finds it.
        {"houses kept apart", {{0x04, 0x66}, {0x04, 0xEE}, {0x06, 0xE2}, {0x06, 0x62}}, "A1 on 100\nB2 on 100\n"},
        // After a function the selection is empty: the second off has nobody to act on.
        {"selection cleared", {{0x04, 0x66}, {0x06, 0x62}, {0x06, 0x63}}, "A1 on 100\n"},
        {"all lights on: known devices of the house only",
         {{0x04, 0x66}, {0x06, 0x63}, {0x04, 0xEE}, {0x06, 0xE3}, {0x06, 0x61}}, "A1 on 100\nB2 off 0\n"},
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
        for (auto [h, code] : c.pairs) {
            sim.Receive(B({h, code}), now);
            sim.Receive(B({0x00}), now);
            now += 5000;
            sim.Tick(now);
            sim.TakeOutput();
        }
        EXPECT_EQ(sim.Devices().Describe(), c.state);
    }
}

}  // namespace
