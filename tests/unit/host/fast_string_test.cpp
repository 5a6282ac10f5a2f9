#include "host/fast_string.h"

#include <gtest/gtest.h>

#include <string>

using quorvel::host::FastString;

TEST(FastString, GrowsAtTheHundredAndFirstPieceAndKeepsOrder) {
    FastString s;
    EXPECT_EQ(s.Value(), "");
    EXPECT_EQ(s.HighestSlot(), 100u);
    std::string expected;
    for (int i = 1; i <= 100; ++i) {
        s.Add(std::to_string(i) + ",");
        expected += std::to_string(i) + ",";
    }
    EXPECT_EQ(s.HighestSlot(), 100u);
    s.Add("last");
    expected += "last";
    EXPECT_EQ(s.HighestSlot(), 200u);
    EXPECT_EQ(s.Value(), expected);

    s.Add("");
    EXPECT_EQ(s.Value(), expected);

    s.Reset();
    EXPECT_EQ(s.Value(), "");
    EXPECT_EQ(s.NextSlot(), 1u);
    EXPECT_EQ(s.HighestSlot(), 100u);
    s.Add(std::string("a\0b", 3));
    EXPECT_EQ(s.Value(), std::string("a\0b", 3));
}
