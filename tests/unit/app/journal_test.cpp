// What a service's journal gets: each report and log line once, ranked as it matters
// (journalctl -p warning shows the failures), without the program's name repeated; and the
// line systemctl status shows, kept from the CM11A link's reports.
#include "app/service_status.h"
#include "core/reporting.h"
#include "platform/sim/sim_platform.h"
#include "test_support/temp_dir.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

using quorvel::core::Priority;

TEST(Journal, EachLineComesOnceWithItsPriorityAndWithoutTheApplicationName) {
    quorvel::platform::SimPlatform sim;
    quorvel::test::TempDir dir;
    quorvel::core::Reporter reporter(sim);
    reporter.SetLogPath(dir.path() / "Quorvel.txt");
    std::vector<std::pair<Priority, std::string>> lines;
    reporter.SetJournal([&](Priority p, const std::string& line) { lines.emplace_back(p, line); });

    reporter.LogToFile("Quorvel", "Settings: version 0.2.0, folder /var/lib/quorvel");
    reporter.Fail("Permission denied (/dev/ttyUSB0)", 13);
    reporter.ReportEvent("Quorvel", "CM11A OpenPort ");
    reporter.ReportEvent("Quorvel", "CM11A serial port /dev/ttyUSB0 closed after error 9");
    reporter.ReportEvent("Quorvel", "CM11A link up on /dev/ttyUSB0");
    reporter.ReportEvent("IniTool", " Equal sign not found on line 3");
    reporter.Fail("no route");
    reporter.LogToFile("Quorvel", "SendXap to 127.255.255.255:3639 ");
    reporter.DebugLog("not on: no line");
    reporter.SetDebug(true);
    reporter.DebugLog("queue empty");
    reporter.ReportEvent("Quorvel", "Stopping: signal SIGTERM");
    EXPECT_EQ(lines, (std::vector<std::pair<Priority, std::string>>{
                         {Priority::Notice, "Settings: version 0.2.0, folder /var/lib/quorvel"},
                         {Priority::Err, "CM11A OpenPort  Line 0 Permission denied (/dev/ttyUSB0)"},
                         {Priority::Warning, "CM11A serial port /dev/ttyUSB0 closed after error 9"},
                         {Priority::Notice, "CM11A link up on /dev/ttyUSB0"},
                         {Priority::Info, "IniTool |  Equal sign not found on line 3"},
                         {Priority::Err, "SendXap to 127.255.255.255:3639: no route"},
                         {Priority::Debug, "queue empty"},
                         {Priority::Notice, "Stopping: signal SIGTERM"},
                     }));
}

TEST(Journal, TheServiceStatusFollowsTheLinkReports) {
    quorvel::app::LinkStatus status;
    EXPECT_FALSE(status.OnReport("Using xAP port 3639"));
    EXPECT_TRUE(status.OnReport("CM11A OpenPort  Line 0 No such file or directory (/dev/ttyUSB0)"));
    EXPECT_EQ(status.Text(), "CM11A link down: CM11A OpenPort  Line 0 No such file or directory (/dev/ttyUSB0)");
    EXPECT_FALSE(status.StartedUp(true, false, "/dev/ttyUSB0"));
    EXPECT_TRUE(status.OnReport("CM11A link up on /dev/ttyUSB0"));
    EXPECT_EQ(status.Text(), "CM11A link up on /dev/ttyUSB0");
    EXPECT_FALSE(status.OnReport("CM11A link up on /dev/ttyUSB0"));  // no change, nothing to send
    EXPECT_TRUE(status.OnReport("Unable to connect to CM11A via TCP 127.0.0.1:4001"));
    EXPECT_EQ(status.Text(), "CM11A link down: Unable to connect to CM11A via TCP 127.0.0.1:4001");

    EXPECT_FALSE(status.StartedUp(false, false, "127.0.0.1:4001")) << "a report's word stays";

    // A link that opens at once reports nothing: the status comes from the port, also once
    // a serial server still being connected at the end of start-up has answered.
    quorvel::app::LinkStatus quiet;
    EXPECT_TRUE(quiet.StartedUp(false, true, "127.0.0.1:4001"));
    EXPECT_EQ(quiet.Text(), "CM11A link connecting to 127.0.0.1:4001");
    EXPECT_TRUE(quiet.StartedUp(false, false, "127.0.0.1:4001"));
    EXPECT_EQ(quiet.Text(), "CM11A link up on 127.0.0.1:4001");
    quorvel::app::LinkStatus serial;
    EXPECT_TRUE(serial.StartedUp(false, false, "1"));
    EXPECT_EQ(serial.Text(), "CM11A link up on /dev/ttyS0");
}
