// Every command on the power line exactly once, at the real device's speed (4800 baud, 50 Hz
// mains), against the simulated interface taught the faults of the field: replies lost,
// garbled, late or replaced by a poll, a checksum of 0x5B, and an interface that stops answering.
#include "rig.h"

#include <gtest/gtest.h>

using namespace quorvel::itest;
using namespace std::chrono_literals;

namespace {

const std::vector<std::string> kRealSpeed = {"--speed", "1", "--mains", "50"};

void Request(Rig& rig, const std::string& device, const std::string& command) {
    rig.client().SendMessage("xAP-X10.request", "zeb.CM11A.*", "xAP-X10.request",
                             "device=" + device + "\ncommand=" + command + "\n");
}

// A level through BSC: from a lamp at 100 %, a dim.
void Level(Rig& rig, const std::string& device, const std::string& level) {
    const std::string source =
        XapField(rig.client().WaitForClass("Homeseer.Event", 0ms, "Using xAP port ").value_or(""), "source");
    rig.client().SendMessage("xAPBSC.cmd", source + ":" + device, "output.state.1", "ID=*\nState=on\nLevel=" + level + "\n");
}

// The connector ended the command (confirmed or not) in its debug log.
bool Ended(Rig& rig, const std::string& dcAndCode, std::chrono::milliseconds timeout) {
    return WaitFor([&] {
        const std::string log = rig.Log();
        return log.find("SendCM11A " + dcAndCode + " done") != std::string::npos ||
               log.find("SendCM11A " + dcAndCode + " not confirmed") != std::string::npos;
    }, timeout);
}

}  // namespace

TEST(ExactlyOnce, AFunctionWhoseReplyGoesWrongIsNeverSentAgain) {
    Rig rig({}, kRealSpeed);
    REQUIRE_READY(rig);
    // Each fault hits the next function; the device's on or dim must reach the line once.
    // The lamps to be dimmed are switched on first (their level is then known).
    for (const char* lamp : {"B2", "D4"}) {
        Request(rig, lamp, "on");
        ASSERT_TRUE(Ended(rig, std::string(lamp) + "=2", 20s)) << rig.Diagnostics();
    }
    rig.control().Command("clear-log");
    struct Case { const char* fault; const char* device; const char* level; const char* code; const char* line; };
    const Case cases[] = {
        {"fault ready lost 1", "A1", "", "A1=2", "sent A on -> A1"},
        {"fault ready garbled 1", "B2", "50%", "B2=4", "sent B dim 50% -> B2"},
        {"fault ready poll 1", "C3", "", "C3=2", "sent C on -> C3"},
        {"fault ready late 1 6000", "D4", "50%", "D4=4", "sent D dim 50% -> D4"},
        {"fault checksum 1 5B", "G1", "", "G1=2", "sent G on -> G1"},  // 0x5A expected
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        ASSERT_EQ(rig.control().Command(c.fault), "ok\n");
        if (*c.level) Level(rig, c.device, c.level);
        else Request(rig, c.device, "on");
        ASSERT_TRUE(Ended(rig, c.code, 30s)) << rig.control().Command("powerline") << rig.Diagnostics();
    }
    // Whatever is still on its way (a late 0x55) has arrived by now.
    std::this_thread::sleep_for(6s);
    const std::string line = rig.control().Command("powerline");
    for (const Case& c : cases) EXPECT_EQ(Count(line, c.line), 1) << c.fault << "\n" << line;
    EXPECT_EQ(Count(line, "sent "), 2 * 5) << line;  // one address and one function each
    const std::string log = rig.Log();
    EXPECT_EQ(Count(log, " not confirmed"), 4) << log;
}

TEST(ExactlyOnce, RequestsWhileASilentInterfaceIsReopenedAreQueuedAndEachGoesOnce) {
    Rig rig({}, kRealSpeed);
    REQUIRE_READY(rig);
    // Five replies lost in a row: two silent time-outs, the link is reopened, two more, the
    // link is reopened again, and one more: more time-outs than one connection allows.
    ASSERT_EQ(rig.control().Command("fault mute 5"), "ok\n");
    Request(rig, "A1", "on");
    ASSERT_TRUE(WaitFor([&] { return rig.Log().find("sent nothing for 2 replies") != std::string::npos; }, 30s))
        << rig.Diagnostics();
    Request(rig, "B2", "off");  // while the link comes back
    Request(rig, "C3", "off");
    ASSERT_TRUE(Ended(rig, "C3=3", 90s)) << rig.control().Command("powerline") << rig.Diagnostics();
    const std::string line = rig.control().Command("powerline");
    EXPECT_EQ(Count(line, "sent A on -> A1"), 1) << line;
    EXPECT_EQ(Count(line, "sent B off -> B2"), 1) << line;
    EXPECT_EQ(Count(line, "sent C off -> C3"), 1) << line;
    EXPECT_EQ(rig.client().Matching("Homeseer.Event", "dropped").size(), 0u);
    EXPECT_EQ(rig.client().Matching("Homeseer.Event", "refused").size(), 0u);
}
