// The simulated platform's waiting pump: it runs what is due, otherwise moves the clock to
// the next due task but never further than the caller allows.
#include "platform/sim/sim_platform.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

using quorvel::platform::SimPlatform;

TEST(SimPlatformWait, RunsDueTasksOrSleepsToTheNextOneWithinTheLimit) {
    struct Case {
        std::uint64_t taskAt;  // relative to the start
        int maxMs;
        bool ran;
        std::uint64_t clockAfter;
    };
    const std::vector<Case> cases = {
        {0, 100, true, 0},      // already due: runs, no time passes
        {40, 100, true, 40},    // sleeps to the task
        {100, 100, true, 100},  // exactly at the limit
        {250, 100, false, 100}, // beyond the limit: only the limit passes
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.taskAt);
        SimPlatform sim;
        bool ran = false;
        sim.Post([&] { ran = true; }, c.taskAt);
        sim.WaitForEvents(c.maxMs);
        EXPECT_EQ(ran, c.ran);
        EXPECT_EQ(sim.NowMs(), c.clockAfter);
        EXPECT_EQ(sim.WaitForEventsCalls(), 1);
    }
}
