// Hostile and runaway xAP input against the real connector: what goes out, what is logged
// and how fast it stops stay bounded.
#include "rig.h"

#include <gtest/gtest.h>

using namespace quorvel::itest;
using namespace std::chrono_literals;

// Flooding datagrams with one item name repeated, then one giant request and twenty more.
TEST(HostileInput, RepeatedItemNamesGiveShortLogLinesAndAGiantRequestFillsTheQueueSendsOneReportAndStillStopsAtOnce) {
    Rig rig;
    REQUIRE_READY(rig);
    std::string items;  // about 60 kB: one item name again and again, with long values
    while (items.size() < 60000) items += "device=" + std::string(1000, 'A') + "\n";
    const std::string ours = "XapMessage xap-header|{|v=12|hop=1|uid=FF777700|class=Flood";
    for (int i = 1; i <= 30; ++i) {
        rig.client().SendMessage("Flood", "", "xAP-X10.request", items);  // one at a time: no buffer overrun
        ASSERT_TRUE(WaitFor([&] { return Count(rig.Log(), ours) >= i; }, 10s)) << i;
    }
    const std::string log = rig.Log();
    EXPECT_LE(Count(log, "From XAP "), 6);  // a few, then one summary a minute
    std::istringstream lines(log);
    for (std::string l; std::getline(lines, l);) EXPECT_LE(l.size(), 2100u) << l.substr(0, 200);

    // The interface takes the first command and never answers: every other one stays queued.
    ASSERT_EQ(rig.control().Command("fault silent on"), "ok\n");
    std::string devices;  // 17,000 devices, about 60 kB
    for (int i = 0; i < 17000; ++i) devices += (i ? "," : "") + std::string(1, static_cast<char>('A' + i % 16)) + std::to_string(1 + i / 16 % 16);
    const auto send = [&] { rig.client().SendMessage("xAP-X10.request", "", "xAP-X10.request", "device=" + devices + "\ncommand=on\n"); };
    // Beside the announcement of the command that starts, a handful of datagrams at most.
    const auto others = [&] {
        std::size_t n = 0;
        for (const char* cls : {"Homeseer.Event", "WDT.Echo", "Homeseer.Role"}) n += rig.client().Matching(cls).size();
        return n;
    };
    rig.client().WaitForClass("none", 300ms);  // what start-up sent is in
    const std::size_t before = others();
    send();
    rig.client().WaitForClass("none", 4s);
    EXPECT_LE(others() - before, 10u);
    EXPECT_TRUE(rig.client().WaitForClass("Homeseer.Event", 0s, "Readmessage refused 16000 of 17000 devices: 16000 beyond"));
    ASSERT_TRUE(WaitFor([&] { return rig.Log().find("AddToQueue Count=999 ") != std::string::npos; }, 5s));
    EXPECT_EQ(rig.Log().find("AddToQueue Count=1000 "), std::string::npos);

    // 1,000 commands wait and twenty more such requests have just arrived: it stops at once.
    for (int i = 0; i < 20; ++i) {
        send();
        std::this_thread::sleep_for(2ms);  // paced so that the socket buffers keep them all
    }
    std::this_thread::sleep_for(100ms);
    const auto start = std::chrono::steady_clock::now();
    rig.quorvel().Signal(SIGTERM);
    ASSERT_TRUE(rig.quorvel().Wait(10s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_EQ(rig.quorvel().ExitCode(), 0);
}

// A storm of SIGHUPs (1,000 a second for 5 s) while requests flow: the connector lives,
// every request goes over the power line exactly once, and no reload writes to the interface.
TEST(HostileInput, ASighupStormWhileRequestsFlowLosesNothingRepeatsNothingAndWritesNothingUnasked) {
    Rig rig;
    REQUIRE_READY(rig);
    rig.control().Command("clear-log");
    std::vector<std::string> devices;
    for (char house : {'A', 'B', 'C'}) {
        for (int unit = 1; unit <= 16 && devices.size() < 40; ++unit) devices.push_back(house + std::to_string(unit));
    }
    const auto start = std::chrono::steady_clock::now();
    std::size_t requested = 0;
    int signals = 0;
    for (int ms = 0; ms < 5000; ++ms) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(ms));
        rig.quorvel().Signal(SIGHUP);
        ++signals;
        if (ms % 125 == 0 && requested < devices.size()) {
            rig.client().SendMessage("xAP-X10.request", "", "xAP-X10.request", "device=" + devices[requested++] + "\ncommand=on\n");
        }
    }
    ASSERT_TRUE(rig.quorvel().Running()) << rig.Diagnostics();
    std::string line;
    ASSERT_TRUE(WaitFor([&] { return Count(line = rig.control().Command("powerline"), " on -> ") >= 40; }, 60s))
        << line << rig.Diagnostics();
    std::this_thread::sleep_for(1s);  // anything sent twice would show by now
    line = rig.control().Command("powerline");
    for (const std::string& d : devices) EXPECT_EQ(Count(line, "sent " + d + "\n"), 1) << d << "\n" << line;
    EXPECT_EQ(Count(line, " on -> "), 40) << line;
    const std::string bytes = ByteLines(rig.SimLog());
    EXPECT_EQ(Count(bytes, "rx 9B"), 0) << bytes;
    EXPECT_EQ(Count(bytes, "rx 00\n"), 80) << bytes;
    std::printf("SIGHUP storm: %d signals in %.1f s, %d reload lines in the log (repeats collapse)\n", signals,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
                Count(rig.Log(), "Settings reloaded: "));
    ExpectCleanStop(rig.quorvel());
}
