#include "core/reporting.h"
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
