#include "core/reporting.h"
#include "platform/sim/sim_platform.h"
#include "test_support/recording_node.h"
#include "test_support/temp_dir.h"

#include <gtest/gtest.h>

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
    std::string Log() const { return quorvel::test::ReadBytes(reporter.LogPath()); }
    static std::string DataOf(const quorvel::test::SentXap& s) { return s.data.substr(s.data.find("Data\1") + 5); }
    quorvel::test::TempDir dir;
    quorvel::platform::SimPlatform sim;
    quorvel::test::RecordingNode node;
    Reporter reporter;
};

}  // namespace

TEST_F(ReporterTest, ReportsQueuedBeforeTheNodeRunsLeaveInOrderBeforeTheNextMessage) {
    reporter.ReportEvent("Quorvel", "first");
    reporter.ReportEvent("IniTool", "second");
    reporter.SetXapRunning(true);
    EXPECT_TRUE(node.sent.empty());  // nothing leaves until the next message
    reporter.ReportEvent("Quorvel", "Using xAP port 32768");
    ASSERT_EQ(node.sent.size(), 3u);
    EXPECT_TRUE(reporter.PendingXap().empty());
    using quorvel::xap::ItemList;
    EXPECT_EQ(node.sent[0].data, ItemList({{"Time", "2026-12-06 10:00:00"}, {"Type", "Quorvel"}, {"Data", "first"}}));
    EXPECT_EQ(node.sent[1].data, ItemList({{"Time", "2026-12-06 10:00:00"}, {"Type", "IniTool"}, {"Data", "second"}}));
    EXPECT_EQ(DataOf(node.sent[2]), "Using xAP port 32768");
    EXPECT_EQ(node.sent[2].target + node.sent[2].cls + "/" + node.sent[2].section, "Homeseer.Event/Event.Log");
}

// A failing send is logged, not reported (a report would go through the same failing node).
TEST_F(ReporterTest, DebugLinesOnlyWhenAskedFailuresAreAppendedOnceAndAFailingSendIsOnlyLogged) {
    reporter.SetXapRunning(true);
    reporter.Fail("Overflow", 6);
    reporter.ReportEvent("Quorvel", "SetIniValue");
    reporter.ReportEvent("Quorvel", "again");
    ASSERT_EQ(node.sent.size(), 2u);
    EXPECT_EQ(DataOf(node.sent[0]), "SetIniValue Line 0 Overflow");
    EXPECT_EQ(DataOf(node.sent[1]), "again");

    reporter.DebugLog("quiet");
    EXPECT_FALSE(std::filesystem::exists(reporter.LogPath()));
    reporter.SetDebug(true);
    reporter.DebugLog("SendX10 A1=2");
    EXPECT_EQ(Log(), "2026-12-06 10:00:00 | SendX10 A1=2  0 \r\n");

    reporter.Fail("disk full");
    reporter.LogToFile("Quorvel", "xAP Init Error -1 occurred");
    reporter.LogToFile("Quorvel", "plain");
    EXPECT_NE(Log().find("Quorvel xAP Init Error -1 occurred 0 disk full\r\nQuorvel plain 0 \r\n"), std::string::npos);

    node.fail = true;
    reporter.SendXap("", "x.y", "s", quorvel::xap::ItemList({{"A", "1"}, {"B", "2"}}));
    EXPECT_TRUE(Log().ends_with("Quorvel plain 0 \r\nQuorvel SendXap  A=1|B=2 0 socket gone\r\n"));
    reporter.SetLogPath(dir.path() / "missing-folder" / "Quorvel.txt");
    reporter.LogToFile("Quorvel", "lost");  // must not throw
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "missing-folder"));
}

TEST(BoundedLine, LongLinesAreCutWithTheCountLeftOutAndControlBytesEscaped) {
    struct Case { const char* name; std::string in; std::size_t max; std::string expected; };
    const std::vector<Case> cases = {
        {"cut with the count", std::string(30, 'a'), 10, std::string(10, 'a') + " ... [20 bytes left out]"},
        {"control bytes escaped", std::string("a\x1b[2J\r\nb\0c\x7f", 11), 100, "a\\x1B[2J\\x0D\\x0Ab\\x00c\\x7F"},
        {"escape not split at the bound", "abc\n", 5, "abc ... [1 bytes left out]"},
        {"no half UTF-8 character", "ab\xc3\xa9\xc3\xa9", 5, "ab\xc3\xa9 ... [2 bytes left out]"},
    };
    for (const auto& c : cases) EXPECT_EQ(quorvel::core::BoundedLine(c.in, c.max), c.expected) << c.name;
}

TEST_F(ReporterTest, LinesAreBoundedAndRepeatedReportsCollapseIntoOneSummaryAMinute) {
    reporter.SetXapRunning(true);
    reporter.SetDebug(true);
    reporter.ReportEvent("Quorvel", "Readmessage " + std::string(64000, 'x'));
    ASSERT_EQ(node.sent.size(), 1u);
    EXPECT_LE(DataOf(node.sent[0]).size(), Reporter::kMaxLineBytes + 40);
    EXPECT_LE(quorvel::test::ReadLines(reporter.LogPath()).at(0).size(), Reporter::kMaxLineBytes + 40);

    // A flood: the first few go out, the rest wait for the summary; another kind still goes.
    node.sent.clear();
    const auto refused = [&](int i) {
        reporter.ReportEvent("Quorvel", "SendCM11A refused " + std::string(1, static_cast<char>('A' + i % 16)) + "1: full");
    };
    for (int i = 0; i < 1000; ++i) refused(i);
    reporter.ReportEvent("Quorvel", "InitIniKeys");
    EXPECT_EQ(node.sent.size(), Reporter::kRepeatBurst + 1u);
    sim.Advance(Reporter::kRepeatWindowMs);
    ASSERT_EQ(node.sent.size(), Reporter::kRepeatBurst + 2u);
    EXPECT_EQ(DataOf(node.sent.back()), "995 more like this in the last 60 s: SendCM11A refused H1: full");
    // A quiet minute after it ends, it starts afresh.
    sim.Advance(Reporter::kRepeatWindowMs);
    refused(0);
    EXPECT_EQ(node.sent.size(), Reporter::kRepeatBurst + 3u);

    // Log lines alike; a line left out still clears the failure; summaries flush on request.
    const std::size_t before = quorvel::test::ReadLines(reporter.LogPath()).size();
    for (int i = 0; i < 500; ++i) {
        reporter.Fail("name already present", 457);
        reporter.LogToFile("From XAP k=" + std::to_string(i), "");
    }
    EXPECT_FALSE(reporter.Failure().Active());
    reporter.FlushRepeats();
    const auto lines = quorvel::test::ReadLines(reporter.LogPath());
    ASSERT_EQ(lines.size(), before + Reporter::kRepeatBurst + 1u);
    EXPECT_EQ(lines.back(), "Quorvel 495 more like this in the last 0 s: From XAP k=499  0 name already present");
}

TEST_F(ReporterTest, LogFileIsRotatedAtItsSizeAndHeldMessagesAreBounded) {
    reporter.SetLogRotateBytes(1000);
    reporter.SetDebug(true);
    for (int i = 0; i < 100; ++i) reporter.DebugLog("line " + std::to_string(i) + std::string(40, '.'));
    EXPECT_LE(std::filesystem::file_size(reporter.LogPath()), 1000u);
    EXPECT_GT(quorvel::test::ReadLines(std::filesystem::path(reporter.LogPath()).concat(".1")).size(), 5u);

    for (std::size_t i = 0; i < Reporter::kPendingLimit + 250; ++i) reporter.SendXap("", "c.d", "s", "i\1v");
    reporter.SetXapRunning(true);
    reporter.SendXap("", "c.d", "s", "last\1v");
    ASSERT_EQ(node.sent.size(), Reporter::kPendingLimit + 2);
    EXPECT_NE(node.sent[Reporter::kPendingLimit].data.find("250 more messages were left out"), std::string::npos);
}

TEST_F(ReporterTest, DebugLinesOnStandardErrorStayWithinTheirBudgetAndALogThatCannotBeWrittenIsReportedOnce) {
    std::vector<std::string> console;
    std::size_t debugBytes = 0;
    reporter.SetConsole([&](const std::string& line) {
        console.push_back(line);
        if (line.find(" | line ") != std::string::npos) debugBytes += line.size();
    });
    reporter.SetXapRunning(true);
    reporter.SetDebug(true);
    for (int i = 0; i < 20000; ++i) reporter.DebugLog("line " + std::to_string(i) + std::string(200, '.'));
    reporter.ReportEvent("Quorvel", "CM11A TCP Port Connect Closed");  // a report is never held back
    EXPECT_LE(debugBytes, Reporter::kConsoleDebugBytes);
    EXPECT_GT(debugBytes, Reporter::kConsoleDebugBytes / 2);
    EXPECT_EQ(console.back(), "Quorvel | CM11A TCP Port Connect Closed");
    EXPECT_EQ(quorvel::test::ReadLines(reporter.LogPath()).size(), 20001u);  // the log has every line
    sim.Advance(Reporter::kRepeatWindowMs);
    reporter.DebugLog("line after");
    EXPECT_NE(console.at(console.size() - 2).find("debug lines left out here"), std::string::npos);

    // The log file's folder goes: one report on standard error and the network, another
    // once lines can be written again.
    reporter.SetDebug(false);
    node.sent.clear();
    console.clear();
    std::filesystem::remove_all(dir.path() / "Data");
    for (int i = 0; i < 3; ++i) reporter.LogToFile("Quorvel", "SendCM11A dropped A" + std::to_string(i + 1));
    ASSERT_EQ(node.sent.size(), 1u);
    EXPECT_NE(DataOf(node.sent[0]).find("cannot be written"), std::string::npos);
    std::filesystem::create_directories(dir.path() / "Data");
    reporter.LogToFile("Quorvel", "back");
    ASSERT_EQ(node.sent.size(), 2u);
    EXPECT_NE(DataOf(node.sent[1]).find("is written again; 3 lines were lost"), std::string::npos);
    EXPECT_EQ(console.size(), 6u);  // four lines and the two reports

    // A service's journal is standard error too: the same budget for its debug lines.
    std::size_t journalDebugBytes = 0;
    reporter.SetJournal([&](quorvel::core::Priority p, const std::string& line) {
        if (p == quorvel::core::Priority::Debug) journalDebugBytes += line.size();
    });
    reporter.SetDebug(true);
    sim.Advance(Reporter::kRepeatWindowMs);
    for (int i = 0; i < 20000; ++i) reporter.DebugLog("line " + std::to_string(i) + std::string(200, '.'));
    EXPECT_LE(journalDebugBytes, Reporter::kConsoleDebugBytes);
    EXPECT_GT(journalDebugBytes, Reporter::kConsoleDebugBytes / 2);
}
