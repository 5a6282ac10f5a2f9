#include "platform/sim/sim_platform.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using quorvel::platform::SimPlatform;

TEST(SimPlatform, TimersFireInDueOrderAndHonourIntervalAndEnabled) {
    SimPlatform sim;
    std::vector<std::string> fired;
    auto a = sim.CreateTimer();
    auto b = sim.CreateTimer();
    auto idle = sim.CreateTimer();
    a->SetHandler([&] { fired.push_back("a@" + std::to_string(sim.NowMs())); });
    b->SetHandler([&] { fired.push_back("b@" + std::to_string(sim.NowMs())); });
    idle->SetHandler([&] { fired.push_back("idle"); });
    a->Arm(30);
    b->Arm(20);
    idle->SetEnabled(true);  // interval 0: never fires
    sim.Advance(65);
    EXPECT_EQ(fired, (std::vector<std::string>{"b@20", "a@30", "b@40", "a@60", "b@60"}));
    EXPECT_EQ(sim.NowMs(), 65u);

    // Re-setting the interval restarts the countdown; enabling an enabled timer does not.
    fired.clear();
    b->SetEnabled(false);
    a->SetInterval(30);  // restarted at 65: next at 95
    sim.Advance(20);
    a->SetEnabled(true);
    sim.Advance(10);
    EXPECT_EQ(fired, (std::vector<std::string>{"a@95"}));
}

TEST(SimPlatform, OneShotUseDestroyedTimersAndReentrantPumping) {
    SimPlatform sim;
    auto oneShot = sim.CreateTimer();
    int shots = 0;
    oneShot->SetHandler([&] { oneShot->SetEnabled(++shots == 0); });
    oneShot->Arm(50);
    {
        auto gone = sim.CreateTimer();
        gone->SetHandler([&] { shots += 100; });
        gone->Arm(10);
    }
    sim.Advance(500);
    EXPECT_EQ(shots, 1);
    EXPECT_FALSE(oneShot->Enabled());

    // A task that pumps events runs the tasks already due inside itself, each once.
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
