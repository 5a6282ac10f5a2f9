#include "xap/xap_message.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using quorvel::xap::XapMessage;

const std::string kRequest =
    "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=xAP-X10.request\nsource=acme.ctl.den\n"
    "target=zeb.CM11A.MYPC\n}\nxAP-X10.request\n{\nDevice= A1 \ncommand=on\nCount=\nCmd=on=off\n}\n";

TEST(XapMessageParse, HeaderFieldsTable) {
    struct Case { const char* name; std::string raw; std::string cls, source, target, uid; std::size_t blocks; };
    const std::string U = "Unknown";
    const std::vector<Case> cases = {
        {"not a message", "hello\n{\nclass=a\n}\n", U, U, U, U, 0},
        {"heartbeat is not parsed", "xap-hbeat\n{\nclass=xap-hbeat.alive\n}\n", U, U, U, U, 0},
        {"upper case, words around", "  XAP-HEADER here\n{\nclass=c\n}\n", "c", U, U, U, 1},
        {"blanks trimmed, names any case, later line wins",
         "xap-header\n{\n Source = a.b.c \nCLASS=J\nCLASS=K\nuid=1\n}\nb\n{\n}\n", "K", "a.b.c", U, "1", 2},
        {"lines without = ignored", "xap-header\n{\nnothing here\nv=12\n=\nclass=c\n}\n", "c", U, U, U, 1},
        {"missing header lines", "xap-header", U, U, U, U, 0},
    };
    for (const Case& c : cases) {
        XapMessage m;
        EXPECT_EQ(m.FromXap(c.raw), 0);
        EXPECT_EQ(m.MsgClass() + "|" + m.MsgSource() + "|" + m.MsgTarget() + "|" + m.MsgUID(),
                  c.cls + "|" + c.source + "|" + c.target + "|" + c.uid) << c.name;
        EXPECT_EQ(m.BlockCount(), c.blocks) << c.name;
    }
}

TEST(XapMessageParse, ItemsAreFoundInAnyCaseAndTheFirstOfARepeatedNameWins) {
    XapMessage r;
    r.FromXap(kRequest);
    EXPECT_EQ(r.MsgSection(), std::vector<std::string>{"xap-x10.request"});
    struct Case { const char* section; const char* item; const char* expected; };
    for (const Case& c : std::vector<Case>{{"xAP-X10.request", "device", " A1 "}, {"XAP-X10.REQUEST", "COMMAND", "on"},
                                           {"xap-x10.request", "Count", ""},     {"xap-x10.request", "Cmd", "on=off"},
                                           {"xap-x10.request", "missing", ""},   {"other.block", "device", "Unknown"}}) {
        EXPECT_EQ(r.GetItem(c.section, c.item), c.expected) << c.section << "/" << c.item;
    }

    XapMessage m;
    m.FromXap("xap-header\n{\nclass=c\n}\nblk\n{\nk=first\nK =second\n}\nBLK\n{\nk=third\n}\nnext\n{\nn=1\n}\n");
    EXPECT_EQ(m.GetItem("blk", "k"), "first");
    EXPECT_EQ(m.GetItem("next", "n"), "1");
    EXPECT_EQ(m.BlockCount(), 4u);  // blk, BLK (unreachable), next, the empty one
}

TEST(XapMessageCompare, AddressesMatchWithWildcardsAndSubaddresses) {
    struct Case { const char* a; const char* b; bool expected; };
    for (const Case& c : std::vector<Case>{{"zeb.cm11a.*", "ZEB.CM11A.MYPC", true}, {"zeb.>", "zeb.cm11a.mypc.extra", true},
                                           {"zeb.cm11a", "zeb.cm11a.mypc", false},  {"zeb.cm11a.mypc:kitchen", "zeb.cm11a.mypc", true},
                                           {"zeb.cm11a.mypc", "zeb.cm11a.mypc:a.b.c", true},
                                           {"a.*", "a.b.c", false}, {"a.>", "a", false}, {"", "a", false}}) {
        EXPECT_EQ(XapMessage::CompareAddress(c.a, c.b), c.expected) << c.a << " vs " << c.b;
    }
    XapMessage m;
    m.FromXap(kRequest);
    EXPECT_TRUE(m.CompareTarget("zeb.cm11a.*"));
    EXPECT_FALSE(m.CompareTarget("zeb.cm11a.other"));
    EXPECT_TRUE(m.CompareClass("XAP-x10.REQUEST"));
    EXPECT_FALSE(m.CompareClass("xap-x10.*"));
}

// Crashes on hostile datagrams are the fuzz target's; here the index must still find every
// one of thousands of names.
TEST(XapMessageParse, TheLargestDatagramOfNamesIsIndexed) {
    std::string many = "xap-header\n{\nclass=c\n}\nb\n{\n";
    for (int i = 0; many.size() < 65000; ++i) many += "K" + std::to_string(i) + "=" + std::to_string(i) + "\n";
    XapMessage m;
    m.FromXap(many);
    EXPECT_EQ(m.GetItem("b", "k4321"), "4321");
    EXPECT_EQ(m.GetItem("B", "k0"), "0");
}

TEST(XapMessageParse, CrLfLinesReadAsLfAndOtherCarriageReturnsStay) {
    std::string crLf = kRequest;
    for (std::size_t i = crLf.find('\n'); i != std::string::npos; i = crLf.find('\n', i + 2)) crLf.insert(i, "\r");
    XapMessage m;
    m.FromXap(crLf);
    EXPECT_TRUE(m.CrLf());
    EXPECT_EQ(m.MsgTarget(), "zeb.CM11A.MYPC");
    EXPECT_EQ(m.MsgSection(), std::vector<std::string>{"xap-x10.request"});
    EXPECT_EQ(m.GetItem("xAP-X10.request", "command"), "on");
    XapMessage lf;
    lf.FromXap("xap-header\n{\nclass=c\n}\nb\n{\nk=a\rb\nend=x\r}\n");  // a CR not before LF is data
    EXPECT_FALSE(lf.CrLf());
    EXPECT_EQ(lf.GetItem("b", "k"), "a\rb");
    EXPECT_EQ(lf.GetItem("b", "end"), "x\r}");
}
