// The simulated platform's own semantics that the rest of the unit tests do not pin down.
#include "platform/sim/sim_platform.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using quorvel::platform::SimPlatform;

TEST(SimPlatform, TimersFireInDueOrderAndEnablingAnEnabledTimerDoesNotRestartIt) {
    SimPlatform sim;
    std::vector<std::string> fired;
    auto a = sim.CreateTimer();
    auto b = sim.CreateTimer();
    a->SetHandler([&] { fired.push_back("a@" + std::to_string(sim.NowMs())); });
    b->SetHandler([&] { fired.push_back("b@" + std::to_string(sim.NowMs())); });
    a->Arm(30);
    b->Arm(20);
    sim.Advance(65);
    a->SetEnabled(true);  // still due at 90
    b->SetEnabled(false);
    sim.Advance(30);
    EXPECT_EQ(fired, (std::vector<std::string>{"b@20", "a@30", "b@40", "a@60", "b@60", "a@90"}));
}

TEST(SimPlatform, ATaskThatPumpsEventsRunsTheTasksAlreadyDueInsideItselfEachOnce) {
    SimPlatform sim;
    std::vector<int> order;
    sim.Post([&] {
        order.push_back(1);
        sim.ProcessEvents();
        order.push_back(3);
    });
    sim.Post([&] { order.push_back(2); });
    sim.Post([&] { order.push_back(4); }, 10);
    sim.ProcessEvents();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    sim.Advance(10);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
}
