#include "core/reporting.h"
#include "platform/sim/sim_platform.h"
#include "test_support/recording_node.h"
#include "test_support/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using quorvel::core::Reporter;

namespace {

class ReporterTest : public ::testing::Test {
protected:
    ReporterTest() : reporter(sim) {
        std::filesystem::create_directories(dir.path() / "Data");
        reporter.SetLogPath(dir.path() / "Data" / "Quorvel.txt");
        reporter.SetNode(&node);
        sim.SetLocalDateTime("2026-12-06 10:00:00");
    }
    quorvel::test::TempDir dir;
    quorvel::platform::SimPlatform sim;
    quorvel::test::RecordingNode node;
    Reporter reporter;
};

}  // namespace

TEST_F(ReporterTest, ReportsQueuedBeforeTheNodeRunsLeaveInOrderBeforeTheNextMessage) {
    reporter.ReportEvent("Quorvel", "first");
    reporter.ReportEvent("IniTool", "second");
    EXPECT_TRUE(node.sent.empty());
    ASSERT_EQ(reporter.PendingXap().size(), 2u);

    reporter.SetXapRunning(true);
    EXPECT_TRUE(node.sent.empty());  // nothing leaves until the next message
    reporter.ReportEvent("Quorvel", "Using xAP port 32768");
    ASSERT_EQ(node.sent.size(), 3u);
    EXPECT_TRUE(reporter.PendingXap().empty());
    using quorvel::xap::ItemList;
    EXPECT_EQ(node.sent[0].data,
              ItemList({{"Time", "2026-12-06 10:00:00"}, {"Type", "Quorvel"}, {"Data", "first"}}));
    EXPECT_EQ(node.sent[1].data,
              ItemList({{"Time", "2026-12-06 10:00:00"}, {"Type", "IniTool"}, {"Data", "second"}}));
    EXPECT_NE(node.sent[2].data.find("Data\1Using xAP port 32768"), std::string::npos);
    for (const auto& s : node.sent) {
        EXPECT_EQ(s.sub + s.uid, "");
        EXPECT_EQ(s.target, "");
        EXPECT_EQ(s.cls, "Homeseer.Event");
        EXPECT_EQ(s.section, "Event.Log");
    }
}

TEST_F(ReporterTest, DebugOffWritesNothingAndDebugOnWritesStampedLines) {
    reporter.SetXapRunning(true);
    reporter.ReportEvent("Quorvel", "InitIniKeys");
    reporter.DebugLog("quiet");
    EXPECT_FALSE(std::filesystem::exists(reporter.LogPath()));
    EXPECT_EQ(node.sent.size(), 1u);

    reporter.SetDebug(true);
    reporter.DebugLog("SendX10 A1=2");
    EXPECT_EQ(quorvel::test::ReadBytes(reporter.LogPath()), "2026-12-06 10:00:00 | SendX10 A1=2  0 \r\n");
}

TEST_F(ReporterTest, FailureRecordIsAppendedOnceAndCleared) {
    reporter.SetXapRunning(true);
    reporter.Failure().Number = 6;
    reporter.Failure().Line = 12;
    reporter.Failure().Description = "Overflow";
    reporter.ReportEvent("Quorvel", "SetIniValue");
    EXPECT_FALSE(reporter.Failure().Active());
    ASSERT_EQ(node.sent.size(), 1u);
    EXPECT_NE(node.sent[0].data.find(std::string("Data\1SetIniValue Line 12 Overflow")), std::string::npos);

    reporter.ReportEvent("Quorvel", "again");
    EXPECT_EQ(node.sent[1].data.find("Line"), std::string::npos);

    reporter.Fail("disk full");
    reporter.LogToFile("Quorvel", "xAP Init Error -1 occurred");
    reporter.LogToFile("Quorvel", "plain");
    EXPECT_EQ(quorvel::test::ReadBytes(reporter.LogPath()),
              "Quorvel xAP Init Error -1 occurred 0 disk full\r\nQuorvel plain 0 \r\n");
}

TEST_F(ReporterTest, FailingSendIsLoggedNotReportedAndUnwritableLogIsSilent) {
    reporter.SetXapRunning(true);
    node.fail = true;
    reporter.SendXap("", "x.y", "s", quorvel::xap::ItemList({{"A", "1"}, {"B", "2"}}));
    EXPECT_EQ(quorvel::test::ReadBytes(reporter.LogPath()), "Quorvel SendXap  A=1|B=2 0 socket gone\r\n");

    reporter.SetLogPath(dir.path() / "missing-folder" / "Quorvel.txt");
    reporter.LogToFile("Quorvel", "lost");  // must not throw
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "missing-folder"));
}
