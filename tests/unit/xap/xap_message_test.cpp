#include "core/reporting.h"
#include "platform/sim/sim_platform.h"
#include "test_support/temp_dir.h"
#include "xap/xap_message.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using quorvel::xap::XapMessage;

namespace {

const std::string kOpening = "xap-header\n{\nv=12\nhop=1\nuid=";

const std::string kRequest =
    "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=xAP-X10.request\nsource=acme.ctl.den\n"
    "target=zeb.CM11A.MYPC\n}\nxAP-X10.request\n{\nDevice= A1 \ncommand=on\nCount=\nCmd=on=off\n}\n";

struct XapMessageLog : ::testing::Test {
    XapMessageLog() : reporter(sim) { reporter.SetLogPath(dir.path() / "log.txt"); }
    std::vector<std::string> LogLines() {
        std::ifstream in(dir.path() / "log.txt", std::ios::binary);
        std::vector<std::string> lines;
        std::string line;
        while (std::getline(in, line)) lines.push_back(line);
        return lines;
    }
    quorvel::test::TempDir dir;
    quorvel::platform::SimPlatform sim;
    quorvel::core::Reporter reporter;
};

}  // namespace

TEST(XapMessageBuild, TextIsExactByteForByte) {
    struct Case {
        const char* name;
        std::string opening;
        std::string target;  // "\x7f" leaves the field at its initial value
        std::vector<std::vector<std::pair<std::string, std::string>>> blocks;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"one block, no target", kOpening, "", {{{"Event", "on"}, {"Device", "A1"}}},
         "xap-header\n{\nv=12\nhop=1\nuid=FF008700\nclass=xAP-x10.Event\nsource=zeb.CM11A.MYPC\n}\n"
         "xAP-x10.Event\n{\nEvent=on\nDevice=A1\n}\n"},
        {"target and two blocks", kOpening, "acme.x.y", {{{"a", "1"}}, {{"b", "=2"}}},
         "xap-header\n{\nv=12\nhop=1\nuid=FF008700\nclass=xAP-x10.Event\nsource=zeb.CM11A.MYPC\n"
         "target=acme.x.y\n}\nxAP-x10.Event\n{\na=1\n}\nxAP-x10.Event\n{\nb==2\n}\n"},
        {"target never set", kOpening, "\x7f", {{}},
         "xap-header\n{\nv=12\nhop=1\nuid=FF008700\nclass=xAP-x10.Event\nsource=zeb.CM11A.MYPC\n"
         "target=Unknown\n}\nxAP-x10.Event\n{\n}\n"},
        {"no header opening yet", "", "", {{{"k", "v"}}},
         "FF008700\nclass=xAP-x10.Event\nsource=zeb.CM11A.MYPC\n}\nxAP-x10.Event\n{\nk=v\n}\n"},
        {"no block at all", kOpening, "", {},
         "xap-header\n{\nv=12\nhop=1\nuid=FF008700\nclass=xAP-x10.Event\nsource=zeb.CM11A.MYPC\n}\n}\n"},
    };
    for (const Case& c : cases) {
        XapMessage m(c.opening);
        m.SetMsgClass("xAP-x10.Event");
        m.SetMsgSource("zeb.CM11A.MYPC");
        if (c.target != "\x7f") m.SetMsgTarget(c.target);
        m.SetMsgUID("FF008700");
        EXPECT_EQ(m.AddHeader(), 0);
        for (const auto& block : c.blocks) {
            m.AddSection("xAP-x10.Event");
            for (const auto& [k, v] : block) m.AddItem("ignored", k, v);
        }
        EXPECT_EQ(m.ToXap(), c.expected) << c.name;
        EXPECT_EQ(m.ToXap(), c.expected) << c.name << " (second call)";
        EXPECT_EQ(m.ToXap().find('\r'), std::string::npos);
        m.Init("ignored");
        EXPECT_EQ(m.ToXap(), "}\n") << c.name;
    }
}

TEST(XapMessageParse, HeaderFieldsTable) {
    struct Case { const char* name; std::string raw; std::string cls, source, target, uid; std::size_t blocks; };
    const std::string U = "Unknown";
    const std::vector<Case> cases = {
        {"empty", "", U, U, U, U, 0},
        {"not a message", "hello\n{\nclass=a\n}\n", U, U, U, U, 0},
        {"heartbeat is not parsed", "xap-hbeat\n{\nclass=xap-hbeat.alive\n}\n", U, U, U, U, 0},
        {"upper case, words around", "  XAP-HEADER here\n{\nclass=c\n}\n", "c", U, U, U, 1},
        {"blanks trimmed, names any case", "xap-header\n{\n Source = a.b.c \nCLASS=K\nuid=1\n}\nb\n{\n}\n",
         "K", "a.b.c", U, "1", 2},
        {"later line overwrites", "xap-header\n{\nclass=a\nclass=b\n}\n", "b", U, U, U, 1},
        {"carriage returns stay", "xap-header\r\n{\r\nclass=c\r\nsource=s\r\n}\r\nb\r\n{\r\nx=1\r\n}\r\n",
         "c\r", "s\r", U, U, 0},
        {"lines without = ignored", "xap-header\n{\nnothing here\nv=12\n=\nclass=c\n}\n", "c", U, U, U, 1},
        {"missing header lines", "xap-header", U, U, U, U, 0},
    };
    for (const Case& c : cases) {
        XapMessage m;
        EXPECT_EQ(m.FromXap(c.raw), 0);
        EXPECT_EQ(m.MsgClass(), c.cls) << c.name;
        EXPECT_EQ(m.MsgSource(), c.source) << c.name;
        EXPECT_EQ(m.MsgTarget(), c.target) << c.name;
        EXPECT_EQ(m.MsgUID(), c.uid) << c.name;
        EXPECT_EQ(m.BlockCount(), c.blocks) << c.name;
    }
}

TEST(XapMessageParse, GetItemAndBlocks) {
    XapMessage m;
    m.FromXap(kRequest);
    EXPECT_EQ(m.MsgTarget(), "zeb.CM11A.MYPC");
    // The closing "}" of the last block opens one more, empty-named block.
    EXPECT_EQ(m.BlockCount(), 2u);
    EXPECT_EQ(m.MsgSection(), std::vector<std::string>{"xap-x10.request"});
    struct Case { const char* section; const char* item; const char* expected; };
    for (const Case& c : std::vector<Case>{{"xAP-X10.request", "device", " A1 "},
                                           {"XAP-X10.REQUEST", "COMMAND", "on"},
                                           {"xap-x10.request", "Count", ""},
                                           {"xap-x10.request", "Cmd", "on=off"},
                                           {"xap-x10.request", "missing", ""},
                                           {"other.block", "device", "Unknown"},
                                           {"", "anything", ""}}) {
        EXPECT_EQ(m.GetItem(c.section, c.item), c.expected) << c.section << "/" << c.item;
    }
    EXPECT_EQ(m.msgCollection(2), nullptr);

    XapMessage none;
    EXPECT_EQ(none.MsgSection(), std::vector<std::string>{""});
    EXPECT_EQ(none.GetItem("a", "b"), "Unknown");
}

TEST_F(XapMessageLog, XapMessageFirstRegistrationWins) {
    XapMessage m("", &reporter);
    m.FromXap("xap-header\n{\nclass=c\n}\nblk\n{\nk=first\nK =second\n}\nBLK\n{\nk=third\n}\nnext\n{\nn=1\n}\n");
    EXPECT_EQ(m.GetItem("blk", "k"), "first");
    EXPECT_EQ(m.GetItem("next", "n"), "1");
    EXPECT_EQ(m.BlockCount(), 4u);  // blk, BLK (unreachable), next, the empty one
    EXPECT_EQ(m.msgCollection(1)->Count(), 1u);
    const auto lines = LogLines();
    ASSERT_EQ(lines.size(), 1u);  // one line per message: the first repeated name and the count
    EXPECT_EQ(lines[0].rfind("From XAP k=second and 1 more names already present  0 name already present", 0), 0u)
        << lines[0];
}

TEST_F(XapMessageLog, XapMessageTextEndingAfterBrace) {
    XapMessage m("", &reporter);
    m.FromXap("xap-header\n{\nclass=c\n}\nb\n{\nx=1\n}");
    EXPECT_EQ(m.GetItem("b", "x"), "1");
    EXPECT_EQ(m.BlockCount(), 2u);  // the last block exists without a name
    EXPECT_EQ(m.MsgSection(), std::vector<std::string>{});
    EXPECT_EQ(LogLines().size(), 1u);
}

TEST(XapMessageCompare, AddressTable) {
    struct Case { const char* a; const char* b; bool expected; };
    const std::vector<Case> cases = {
        {"zeb.cm11a.*", "ZEB.CM11A.MYPC", true},
        {"zeb.>", "zeb.cm11a.mypc.extra", true},
        {"zeb.cm11a", "zeb.cm11a.mypc", false},
        {"zeb.cm11a.mypc:kitchen", "zeb.cm11a.mypc", true},
        {"zeb.cm11a.mypc", "zeb.cm11a.mypc:a.b.c", true},
        {"a.*", "a.b", true},
        {"a.*", "a.b.c", false},
        {"a.>", "a", false},
        {"a.>", "a.b.c.d", true},
        {">", "anything.at.all", true},
        {"", "a", false},
        {"*", "unknown", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(XapMessage::CompareAddress(c.a, c.b), c.expected) << c.a << " vs " << c.b;
    }

    XapMessage m;
    m.FromXap(kRequest);
    EXPECT_TRUE(m.CompareTarget("zeb.cm11a.*"));
    EXPECT_FALSE(m.CompareTarget("zeb.cm11a.other"));
    EXPECT_TRUE(m.CompareClass("XAP-x10.REQUEST"));
    EXPECT_FALSE(m.CompareClass("xap-x10.*"));
    EXPECT_FALSE(m.CompareClass(">"));

    // Without a target line only ">"-first, "*" or "unknown" match the "Unknown" target.
    XapMessage untargeted;
    untargeted.FromXap("xap-header\n{\nclass=c\n}\nb\n{\n}\n");
    EXPECT_TRUE(untargeted.CompareTarget("*"));
    EXPECT_TRUE(untargeted.CompareTarget("UNKNOWN"));
    EXPECT_FALSE(untargeted.CompareTarget("zeb.cm11a.*"));
}

TEST_F(XapMessageLog, XapMessageHostileInput) {
    std::mt19937 rng(7);
    // Largest datagram, binary with NUL bytes, after a valid first line.
    std::string binary = "xap-header\n{\n";
    while (binary.size() < 65507) binary.push_back(static_cast<char>(rng() & 0xff));
    binary.resize(65507);
    // Thousands of blocks, each repeating the same name.
    std::string blocks = "xap-header\n{\nclass=c\n}\n";
    while (blocks.size() < 65000) blocks += "b\n{\nk=1\n}\n";
    // Thousands of repeated item names in one block.
    std::string dups = "xap-header\n{\nclass=c\n}\nb\n{\n";
    while (dups.size() < 65000) dups += "k=v\n";
    // Thousands of distinct item names.
    std::string many = "xap-header\n{\nclass=c\n}\nb\n{\n";
    for (int i = 0; many.size() < 65000; ++i) many += "k" + std::to_string(i) + "=" + std::to_string(i) + "\n";
    many += "}\n";

    for (const std::string* raw : {&binary, &blocks, &dups, &many}) {
        XapMessage m("", &reporter);
        m.FromXap(*raw);
        (void)m.MsgSection();
        (void)m.GetItem("b", "k");
    }
    XapMessage m("", &reporter);
    m.FromXap(many);
    EXPECT_EQ(m.GetItem("b", "k4321"), "4321");
    EXPECT_EQ(m.GetItem("B", "K0"), "0");
    XapMessage b("", &reporter);
    b.FromXap(blocks);
    EXPECT_GT(b.BlockCount(), 5000u);
    EXPECT_EQ(b.GetItem("b", "k"), "1");
    // Repeated names are reported, but a flood of them costs a few log lines, not thousands.
    EXPECT_LT(LogLines().size(), 40u);
}
