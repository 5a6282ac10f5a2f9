#include "app/quorvel_form.h"
#include "platform/sim/sim_platform.h"
#include "test_support/temp_dir.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

using quorvel::app::QuorvelForm;

namespace {

class QueueSource : public quorvel::xap::MessageSource {
public:
    std::string GetMessage() override {
        if (queue.empty()) return "";
        std::string m = queue.front();
        queue.pop_front();
        return m;
    }
    std::deque<std::string> queue;
};

struct FormFixture : ::testing::Test {
    FormFixture() : form(sim, {dir.path(), (dir.path() / "quorvel").string(), true}) {}
    quorvel::test::TempDir dir;
    quorvel::platform::SimPlatform sim;
    QuorvelForm form;
};

}  // namespace

TEST_F(FormFixture, NestedDrainReadsNothingAndNoMessageIsLostOrHandledTwice) {
    QueueSource source;
    source.queue = {"m1", "m2", "m3"};
    std::vector<std::string> handled;
    form.SetMessageSource(&source);
    form.SetMessageHandler([&](const std::string& m) {
        handled.push_back(m);
        if (m == "m1") {
            // A handler that lets events run: more messages arrive and the node calls back.
            source.queue.push_back("m4");
            form.onMessage();
            handled.push_back("after-nested");
        }
    });
    form.onMessage();
    EXPECT_EQ(handled, (std::vector<std::string>{"m1", "after-nested", "m2", "m3", "m4"}));

    // A failing handler ends the drain with a log line; the next call drains again.
    form.reporter().SetLogPath(dir.path() / "log.txt");
    source.queue = {"bad", "good"};
    handled.clear();
    form.SetMessageHandler([&](const std::string& m) {
        if (m == "bad") throw std::runtime_error("boom");
        handled.push_back(m);
    });
    form.onMessage();
    EXPECT_TRUE(handled.empty());
    form.onMessage();
    EXPECT_EQ(handled, std::vector<std::string>{"good"});
}
