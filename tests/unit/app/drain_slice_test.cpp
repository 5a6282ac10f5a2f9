// A hand-over of received xAP messages gives way to other events after a slice of time, and
// stops at shutdown, whatever backlog waits.
#include "app/quorvel_form.h"
#include "platform/sim/sim_platform.h"
#include "test_support/temp_dir.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

namespace {

class Backlog : public quorvel::xap::MessageSource {
public:
    std::string GetMessage() override {
        if (queue.empty()) return "";
        std::string m = queue.front();
        queue.pop_front();
        return m;
    }
    std::deque<std::string> queue;
};

struct DrainFixture : ::testing::Test {
    DrainFixture() : form(sim, {dir.path(), (dir.path() / "quorvel").string(), true}) {
        for (int i = 0; i < 100; ++i) source.queue.push_back("m" + std::to_string(i));
        form.SetMessageSource(&source);
        // Every message takes 10 ms to handle.
        form.SetMessageHandler([this](const std::string& m) {
            handled.push_back(m);
            sim.SetNow(sim.NowMs() + 10);
        });
    }
    quorvel::test::TempDir dir;
    quorvel::platform::SimPlatform sim;
    quorvel::app::QuorvelForm form;
    Backlog source;
    std::vector<std::string> handled;
};

}  // namespace

TEST_F(DrainFixture, ABacklogIsHandedOverInSlicesInOrderWithoutLoss) {
    form.onMessage();
    EXPECT_GE(handled.size(), 4u);
    EXPECT_LE(handled.size(), 6u);  // about 50 ms of work, then other events get their turn
    for (int i = 0; i < 100 && !source.queue.empty(); ++i) sim.Advance(1);
    ASSERT_EQ(handled.size(), 100u);
    for (std::size_t i = 0; i < handled.size(); ++i) EXPECT_EQ(handled[i], "m" + std::to_string(i));
}

TEST_F(DrainFixture, ShutdownBetweenSlicesEndsTheHandOver) {
    form.onMessage();
    const std::size_t before = handled.size();
    form.Exit();
    sim.Advance(1000);
    EXPECT_EQ(handled.size(), before);
    EXPECT_TRUE(sim.QuitRequested());
}
