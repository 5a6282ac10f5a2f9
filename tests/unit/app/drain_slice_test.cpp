// A hand-over of received xAP messages gives way to other events after a slice of time, and
// stops at shutdown, whatever backlog waits.
#include "app/quorvel_form.h"
#include "platform/sim/sim_platform.h"
#include "test_support/temp_dir.h"

#include <gtest/gtest.h>

#include <deque>

namespace {
struct Backlog : quorvel::xap::MessageSource {
    std::string GetMessage() override {
        if (queue.empty()) return "";
        std::string m = queue.front();
        queue.pop_front();
        return m;
    }
    std::deque<std::string> queue;
};
}  // namespace

TEST(Drain, ABacklogIsHandedOverInSlicesInOrderAndNoSliceRunsAfterShutdown) {
    quorvel::test::TempDir dir;
    quorvel::platform::SimPlatform sim;
    quorvel::app::QuorvelForm form(sim, {dir.path(), (dir.path() / "quorvel").string(), true});
    Backlog source;
    for (int i = 0; i < 100; ++i) source.queue.push_back("m" + std::to_string(i));
    form.SetMessageSource(&source);
    std::vector<std::string> handled;
    form.SetMessageHandler([&](const std::string& m) {
        handled.push_back(m);
        sim.SetNow(sim.NowMs() + 10);  // every message takes 10 ms
    });

    form.onMessage();
    EXPECT_GE(handled.size(), 4u);
    EXPECT_LE(handled.size(), 6u);  // about 50 ms of work, then other events get their turn
    for (int i = 0; i < 100 && !source.queue.empty(); ++i) sim.Advance(1);
    ASSERT_EQ(handled.size(), 100u);
    for (std::size_t i = 0; i < handled.size(); ++i) EXPECT_EQ(handled[i], "m" + std::to_string(i));

    source.queue = {"x1", "x2", "x3", "x4", "x5", "x6", "x7", "x8", "x9"};
    form.onMessage();
    form.Exit();
    sim.Advance(1000);
    EXPECT_EQ(handled.size(), 105u);
    EXPECT_TRUE(sim.QuitRequested());
}
