#include "app/reporting.h"
#include "cm11a/codes.h"
#include "platform/sim/sim_platform.h"

#include <gtest/gtest.h>

using namespace quorvel::cm11a;

TEST(Cm11aCodes, AddressBytesOfDeviceCodes) {
    struct Case {
        const char* dc;
        int byte;  // -1: not a device code
    } cases[] = {{"A1", 0x66}, {"a1", 0x66}, {"B2", 0xEE}, {"M13", 0x00}, {"P16", 0xCC}, {"G1", 0x56},
                 {"c3", 0x22}, {"A01", 0x66}, {"A1x", 0x66}, {"Q1", -1}, {"A0", -1}, {"A17", -1},
                 {"A", -1},    {"", -1},     {"@1", -1},   {"A-1", -1}};
    for (const Case& c : cases) {
        const auto b = AddressByte(c.dc);
        if (c.byte < 0) {
            EXPECT_FALSE(b.has_value()) << c.dc;
        } else {
            ASSERT_TRUE(b.has_value()) << c.dc;
            EXPECT_EQ(*b, c.byte) << c.dc;
        }
    }
}

TEST(Cm11aCodes, DecodingIsTotalAndInvertsEncoding) {
    for (int b = 0; b < 256; ++b) {
        const std::string dc = DeviceCode(static_cast<std::uint8_t>(b));
        const auto back = AddressByte(dc);
        ASSERT_TRUE(back.has_value()) << b;
        EXPECT_EQ(*back, b) << dc;
    }
    EXPECT_EQ(DeviceCode(0x00), "M13");
    EXPECT_EQ(DeviceCode(0xCC), "P16");
    EXPECT_EQ(FunctionByte(0x66, 4), 0x64);
}

TEST(Cm11aCodes, FunctionNamesAndKeywords) {
    EXPECT_EQ(FunctionCode("all_units_off"), 0);
    EXPECT_EQ(FunctionCode("DIM"), 4);
    EXPECT_EQ(FunctionCode("status_request"), 15);
    EXPECT_EQ(FunctionCode("blink"), -1);
    EXPECT_EQ(KeywordFunction("ALLLIGHTSON"), 1);
    EXPECT_EQ(KeywordFunction("STATUS"), 15);
    EXPECT_EQ(KeywordFunction("EXTENDED"), -1);
}

TEST(Cm11aCodes, HexRenderings) {
    quorvel::platform::SimPlatform sim;
    quorvel::app::Reporter reporter(sim);
    std::vector<std::string> lines;
    reporter.SetConsole([&](const std::string& l) { lines.push_back(l); });
    EXPECT_EQ(ToHex(0, reporter), "00");
    EXPECT_EQ(ToHex(10, reporter), "0A");
    EXPECT_EQ(ToHex(255, reporter), "FF");
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(ToHex(300, reporter), "00");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("Attempting to send 300 to Rain8, which is too large"), std::string::npos);
    EXPECT_EQ(HexJoin(std::string("\x5A\xC3", 2)), "5A, C3");
    EXPECT_EQ(HexJoin(""), "");
    EXPECT_EQ(HexSpaced(std::string("\x04\x66\x00", 3)), "04 66 00");
}
