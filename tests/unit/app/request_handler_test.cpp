#include "app/request_handler.h"
#include "host/ini_tool.h"
#include "platform/sim/sim_platform.h"
#include "test_support/recording_node.h"
#include "test_support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <set>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include <unistd.h>

namespace {

using Q = std::vector<std::tuple<std::string, int, int>>;

std::string Message(const std::string& cls, const std::string& target, const std::string& body,
                    const std::string& source = "acme.host.box") {
    std::string m = "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=" + cls + "\nsource=" + source + "\n";
    if (!target.empty()) m += "target=" + target + "\n";
    return m + "}\n" + body;
}

std::string Request(const std::string& target, const std::string& items) {
    return Message("xAP-X10.request", target, "xAP-X10.request\n{\n" + items + "}\n");
}

// Switches to a system locale (generated with localedef into a private folder when missing);
// false when it cannot be had.
bool UseLocale(const std::string& name) {
    if (std::setlocale(LC_ALL, name.c_str()) != nullptr) return true;
    const auto folder = std::filesystem::temp_directory_path() / ("quorvel-test-locales-" + std::to_string(::getuid()));
    const std::string cmd = "mkdir -p " + folder.string() + " && localedef -i " + name.substr(0, name.find('.')) +
                            " -f UTF-8 " + (folder / name).string() + " >/dev/null 2>&1";
    if (!std::filesystem::exists(folder / name) && std::system(cmd.c_str()) != 0) return false;
    ::setenv("LOCPATH", folder.c_str(), 1);
    return std::setlocale(LC_ALL, name.c_str()) != nullptr;
}

struct HandlerFixture : ::testing::Test {
    HandlerFixture() : reporter(sim), handler(reporter, settings, Actions()) {
        reporter.SetNode(&node);
        reporter.SetXapRunning(true);
        settings.ExePath = "/opt/quorvel/bin/quorvel";
    }
    quorvel::app::RequestActions Actions() {
        quorvel::app::RequestActions a;
        a.CM11AReady = [this] { return ready; };
        a.XapSource = [] { return std::string("zeb.CM11A.mybox"); };
        a.SwapIcons = [this] { ++flashes; };
        a.SendCM11A = [this](const std::string& d, int c, int n, const std::string& sender) {
            queued.emplace_back(d, c, n);
            senders.insert(sender);
        };
        a.SendExtended = [this](const std::string& d, int data, int c, const std::string&) { extended.emplace_back(d, data, c); };
        a.ShowSetupForm = [this] { ++setupShown; };
        a.QueueRoom = [this](const std::string&) { return room - std::min(room, queued.size()); };
        return a;
    }
    std::string LastData() const { return node.sent.empty() ? "" : node.sent.back().data; }
    quorvel::platform::SimPlatform sim;
    quorvel::core::Reporter reporter;
    quorvel::core::Settings settings;
    quorvel::test::RecordingNode node;
    quorvel::app::RequestHandler handler;
    bool ready = true;
    std::size_t room = 1000;
    int flashes = 0, setupShown = 0;
    Q queued;
    std::set<std::string> senders;
    Q extended;  // device, data byte, command byte
};

}  // namespace

TEST_F(HandlerFixture, X10RequestsBecomeQueuedCommandsInOrder) {
    struct Case { const char* name; std::string target, items, house, ignore; Q expected; int flashes; };
    const std::vector<Case> cases = {
        {"two devices, no count", "zeb.CM11A.mybox", "device=A1,A2\ncommand=ON\n", "ABCDEFGHIJKLMNOP", ",,",
         {{"A1", 2, 0}, {"A2", 2, 0}}, 1},
        {"wildcard target, count", "zeb.*.mybox", "device=b3\ncommand=off\ncount=3\n", "AB", ",,", {{"b3", 3, 3}}, 1},
        {"no target at all", "", "device=A1\ncommand=all_lights_on\n", "A", ",,", {{"A1", 1, 0}}, 1},
        {"blank after comma fails the house test", "", "device=A1, A2\ncommand=on\n", "A", ",,", {{"A1", 2, 0}}, 1},
        {"house filter", "", "device=C3,b3\ncommand=on\n", "AB", ",,", {{"b3", 2, 0}}, 1},
        {"ignore list, any case", "", "device=a1,A2\ncommand=on\n", "A", ",A1,", {{"A2", 2, 0}}, 1},
        {"dim is not carried out", "", "device=A1\ncommand=dim\ncount=5\n", "A", ",,", {}, 0},
        {"bright is not carried out", "", "device=A1\ncommand=BRIGHT\n", "A", ",,", {}, 0},
        {"unknown command is refused", "", "device=A1\ncommand=blink\n", "A", ",,", {}, 1},
        {"count rounds half to even", "", "device=A1\ncommand=on\ncount= 2.5 steps\n", "A", ",,", {{"A1", 2, 2}}, 1},
        {"count not numeric", "", "device=A1\ncommand=on\ncount=lots\n", "A", ",,", {{"A1", 2, 0}}, 1},
        {"the largest count is carried", "", "device=A1\ncommand=on\ncount=22\n", "A", ",,", {{"A1", 2, 22}}, 1},
        {"addressed to someone else", "zeb.CM11A.otherbox", "device=A1\ncommand=on\n", "A", ",,", {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        queued.clear();
        flashes = 0;
        settings.House = c.house;
        settings.Ignore = c.ignore;
        handler.Readmessage(Request(c.target, c.items));
        EXPECT_EQ(queued, c.expected);
        EXPECT_EQ(flashes, c.flashes);
    }
    EXPECT_EQ(senders, (std::set<std::string>{"xAP acme.host.box"}));  // queued by its source, for the round-robin
    // An X10 request is never answered; the unknown command got its one report.
    ASSERT_EQ(node.sent.size(), 1u);
    EXPECT_EQ(node.sent[0].cls, "Homeseer.Event");

    // Nothing is queued before the interface is ready; an overflowing count still sends with 0.
    ready = false;
    handler.Readmessage(Request("", "device=A1\ncommand=on\n"));
    EXPECT_TRUE(queued.empty());
    ready = true;
    handler.Readmessage(Request("", "device=A1\ncommand=on\ncount=99999\n"));
    EXPECT_EQ(queued, (Q{{"A1", 2, 0}}));
    EXPECT_NE(LastData().find("Readmessage Line 0 Overflow"), std::string::npos);
}

TEST_F(HandlerFixture, ExtendedRequestsCarryTheirDataAndCommandBytes) {
    settings.House = "AB";
    handler.Readmessage(Request("", "device=A1,B3\ncommand=Extended\ndata=0x1F\nextcommand=49\n"));
    EXPECT_EQ(extended, (Q{{"A1", 31, 49}, {"B3", 31, 49}}));
    EXPECT_TRUE(queued.empty());  // never as a plain function
    EXPECT_TRUE(node.sent.empty());
}

TEST_F(HandlerFixture, RefusedDevicesGetOneReportPerRequest) {
    struct Case { const char* name; std::string items; std::size_t room; std::size_t queued; std::string report; };
    const std::vector<Case> cases = {
        {"devices beyond the room in the queue", "device=B1,B2,B3,B4,B5,B6,B7,B8\ncommand=on\n", 2, 2,
         "Readmessage refused 6 of 8 devices: 6 beyond the room left in the transmit queue "
         "(B3, B4, B5, B6, B7 and 1 more)"},
        {"a count the interface cannot carry", "device=A1,A2\ncommand=on\ncount=40\n", 1000, 0,
         "Readmessage refused 2 of 2 devices: 2 with count 40, outside 0..22 (A1, A2)"},
        {"entries that are not device codes", "device=A1,B0,A0," + std::string(100, 'A') + "\ncommand=on\n", 1000,
         1, "Readmessage refused 3 of 4 devices: 3 not device codes (B0, A0, AAAAAAAAAAAAAAAA...)"},
        {"nothing refused, nothing reported", "device=A1,A2\ncommand=off\n", 2, 2, ""},
        {"a device named again, in any spelling", "device=A1,a1,A01,B2,A1\ncommand=on\n", 1000, 2,
         "Readmessage refused 3 of 5 devices: 3 named again (a1, A01, A1)"},
        {"extended without its bytes", "device=A1\ncommand=extended\ndata=31\n", 1000, 0,
         "Readmessage refused 1 of 1 devices: 1 with command \"extended\" but no data (items data and extcommand, "
         "0..255) (A1)"},
        {"extended with a byte out of range", "device=A1\ncommand=extended\ndata=256\nextcommand=0x31\n", 1000, 0,
         "Readmessage refused 1 of 1 devices: 1 with command \"extended\" but no data"},
    };
    settings.House = "ABU";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        queued.clear();
        node.sent.clear();
        room = c.room;
        handler.Readmessage(Request("", c.items));
        EXPECT_EQ(queued.size() + extended.size(), c.queued);
        EXPECT_EQ(node.sent.size(), c.report.empty() ? 0u : 1u);
        if (!c.report.empty()) {
            EXPECT_NE(LastData().find("Data\1" + c.report), std::string::npos) << LastData();
        }
        sim.Advance(quorvel::core::Reporter::kRepeatWindowMs);  // each case's report is the first of its minute
    }
}

TEST_F(HandlerFixture, EchoRoleAndConfigQueriesAreAnsweredOnlyWhenMeantForUs) {
    // The answers to a plain echo and role query themselves are checked end to end.
    // An answer is not answered in turn; a query without the item gets an empty response.
    handler.Readmessage(Message("WDT.Echo", "", "Echo.Response\n{\nResponse=ping\n}\n"));
    handler.Readmessage(Message("wdt.echo", "zeb.cm11a.>", "Echo.Query\n{\n}\n", "x.y.z"));
    ASSERT_EQ(node.sent.size(), 1u);
    EXPECT_EQ(node.sent[0].target + " " + node.sent[0].cls, "x.y.z WDT.Echo");
    EXPECT_EQ(node.sent[0].data, quorvel::xap::ItemList({{"Response", ""}}));

    handler.Readmessage(Message("Homeseer.Role", "", "Role.Query\n{\nRole=ANY\n}\n"));
    handler.Readmessage(Message("Homeseer.Role", "", "Role.Query\n{\nRole=device\n}\n"));
    ASSERT_EQ(node.sent.size(), 2u);
    EXPECT_EQ(node.sent[1].target + " " + node.sent[1].section, " Role.Notification");  // to everyone

    const std::string form = "Config.Form\n{\nForm=SetupForm\nPath=";
    handler.Readmessage(Message("Homeseer.Config", "zeb.CM11A.*", form + "/OPT/Quorvel/bin/QUORVEL\n}\n"));
    EXPECT_EQ(setupShown, 1);
    handler.Readmessage(Message("Homeseer.Config", "zeb.other.mybox", form + "/opt/quorvel/bin/quorvel\n}\n"));
    handler.Readmessage(Message("Homeseer.Config", "", form + "/elsewhere/quorvel\n}\n"));
    EXPECT_EQ(setupShown, 1);
}

// Qt sets the C locale from LANG: a Turkish one folds "i" to a dotted capital, a German one
// reads "2.6" as 2. Requests, settings and numbers must read the same under both.
TEST_F(HandlerFixture, RequestsSettingsAndNumbersReadTheSameUnderTurkishAndGermanLocales) {
    int tested = 0;
    settings.House = "i";
    settings.Ignore = ",I6,";
    const std::string header = "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nsource=acme.host.box\ntarget=ZEB.CM11A.MYBOX\n";
    for (const std::string name : {"tr_TR.UTF-8", "de_DE.UTF-8"}) {
        SCOPED_TRACE(name);
        if (!UseLocale(name)) continue;
        ++tested;
        queued.clear();
        node.sent.clear();
        EXPECT_EQ(quorvel::app::LeadingCount("1,5"), 1);
        handler.Readmessage(header + "class=XAP-X10.REQUEST\n}\nXAP-X10.REQUEST\n{\nDEVICE=i5,i6\nCOMMAND=ALL_LIGHTS_ON\nCOUNT=2.6\n}\n");
        EXPECT_EQ(queued, (Q{{"i5", 1, 3}}));
        handler.Readmessage(header + "class=HOMESEER.ROLE\n}\nROLE.QUERY\n{\nROLE=APPLICATION\n}\n");
        ASSERT_EQ(node.sent.size(), 1u);
        EXPECT_EQ(node.sent[0].cls, "Homeseer.Role");

        quorvel::test::TempDir dir;
        quorvel::test::WriteBytes(dir.path() / "q.ini", "[general]\r\nignore=i5\r\n");
        quorvel::host::IniTool ini(reporter, sim);
        ini.Load((dir.path() / "q.ini").string());
        EXPECT_EQ(ini.Read("GENERAL", "IGNORE", "none"), "i5");
    }
    std::setlocale(LC_ALL, "C");
    ::unsetenv("LOCPATH");
    if (tested == 0) GTEST_SKIP() << "neither tr_TR nor de_DE could be had here (localedef missing or failed)";
}

// Senders on Windows end their lines with CR LF: their requests are carried out as any other,
// and each such sender is noted once in the debug log.
TEST_F(HandlerFixture, RequestsWithCrLfLinesAreCarriedOutAndEachSenderIsNotedOnce) {
    std::vector<std::string> lines;
    reporter.SetDebug(true);
    reporter.SetConsole([&lines](const std::string& l) { lines.push_back(l); });
    const auto crLf = [](std::string text) {
        for (std::size_t i = text.find('\n'); i != std::string::npos; i = text.find('\n', i + 2)) text.insert(i, "\r");
        return text;
    };
    handler.Readmessage(crLf(Request("zeb.CM11A.mybox", "device=A1\ncommand=on\n")));
    handler.Readmessage(crLf(Request("", "device=B2,B3\ncommand=off\ncount=2\n")));
    handler.Readmessage(crLf(Message("xAP-X10.request", "", "xAP-X10.request\n{\ndevice=C1\ncommand=on\n}\n", "x.y.z")));
    handler.Readmessage(Request("", "device=A1\ncommand=off\n"));
    EXPECT_EQ(queued, (Q{{"A1", 2, 0}, {"B2", 3, 2}, {"B3", 3, 2}, {"C1", 2, 0}, {"A1", 3, 0}}));
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.find("end in CR LF") != std::string::npos; }),
              2);
}

// Item names and commands senders make up are kinds of their own, however many there are:
// the connector's own reports and log lines still go out (here, the link closing and the stop).
TEST_F(HandlerFixture, WhatSendersMakeUpCannotHideTheConnectorsOwnReportsAndLogLines) {
    std::vector<std::string> lines;
    reporter.SetConsole([&lines](const std::string& l) { lines.push_back(l); });
    for (int i = 0; i < 200; ++i) {  // names that differ only in letters
        const std::string name{static_cast<char>('a' + i % 26), static_cast<char>('a' + i / 26)};
        handler.Readmessage(Request("", name + "x=1\n" + name + "x=2\ndevice=A1\ncommand=made-up-" + name + "\n"));
    }
    node.sent.clear();
    reporter.ReportEvent("Quorvel", "CM11A TCP Port Connect Closed");
    reporter.LogToFile("Quorvel", "Stopping: SIGTERM");
    ASSERT_EQ(node.sent.size(), 1u);
    EXPECT_EQ(LastData().substr(LastData().find("Data\1") + 5), "CM11A TCP Port Connect Closed");
    EXPECT_EQ(lines.back(), "Quorvel Stopping: SIGTERM 0 ");
}
