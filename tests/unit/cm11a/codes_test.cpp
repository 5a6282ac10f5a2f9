#include "cm11a/codes.h"

#include <gtest/gtest.h>

using namespace quorvel::cm11a;

TEST(Cm11aCodes, DeviceCodesEncodeToAddressBytesAndEveryByteDecodesBack) {
    const std::pair<const char*, int> cases[] = {  // -1: not a device code
        {"a1", 0x66}, {"B2", 0xEE}, {"M13", 0x00}, {"P16", 0xCC}, {"c3", 0x22}, {"A01", 0x66},
        {"A1x", 0x66}, {"Q1", -1},  {"A0", -1},    {"A17", -1},   {"", -1},     {"@1", -1}, {"A-1", -1}};
    for (const auto& [dc, byte] : cases) {
        const auto b = AddressByte(dc);
        EXPECT_EQ(b.has_value() ? int{*b} : -1, byte) << dc;
    }
    for (int b = 0; b < 256; ++b) {
        EXPECT_EQ(AddressByte(DeviceCode(static_cast<std::uint8_t>(b))), std::optional<std::uint8_t>(b)) << b;
    }
}
