// tools/cm11a-sim over TCP, byte for byte: the command handshake, an upload of heard
// traffic, the power-failure poll and an injected checksum fault. The end-to-end tests drive
// it with the real connector (TCP and pseudo-terminal).
#include "rig.h"

#include <gtest/gtest.h>

using namespace quorvel::itest;
using namespace std::chrono_literals;

namespace {

std::string B(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s.push_back(static_cast<char>(v));
    return s;
}

}  // namespace

TEST(Cm11aSimTool, HandshakeUploadPowerFailAndFaultsByteForByte) {
    TempDir dir;
    SimProcess sim(dir.path());
    ASSERT_TRUE(sim.Connected()) << sim.proc().Stderr();
    Socket line = Socket::Tcp(sim.tcpPort);
    ASSERT_TRUE(line.ok());
    const auto exchange = [&](const std::string& send) {
        line.Write(send);
        return line.Read(3s, 1);
    };
    // Pairs answered with their checksum, the confirmation with 0x55 once on the power line.
    // B2 dim 8 lights a lamp that was off and dims it 8 of 22 steps (64 %).
    struct Step { std::string send, reply; };
    const std::vector<Step> steps = {
        {B({0x04, 0x66}), B({0x6A})}, {B({0x00}), B({0x55})}, {B({0x06, 0x62}), B({0x68})}, {B({0x00}), B({0x55})},
        {B({0x44, 0xEE}), B({0x32})}, {B({0x00}), B({0x55})}, {B({0x46, 0xE4}), B({0x2A})}, {B({0x00}), B({0x55})},
    };
    for (const Step& s : steps) EXPECT_EQ(exchange(s.send), s.reply);
    EXPECT_EQ(sim.Command("state"), "A1 on 100\nB2 on 64\n.\n");

    // Heard traffic: polls (a command meanwhile gets no checksum) until 0xC3, then the upload;
    // 50 % is 105 on the 0..210 scale and the brightness byte is not marked as a function.
    ASSERT_EQ(sim.Command("hear A1 A2 dim 50"), "ok\n");
    line.Write(B({0x04, 0x66}));
    const auto readFor = [&](std::chrono::milliseconds period) { return line.Read(period, 1 << 16); };
    const std::string polls = readFor(300ms);
    EXPECT_GE(polls.size(), 2u);
    EXPECT_EQ(polls, std::string(polls.size(), '\x5A'));
    line.Write(B({0xC3}));
    std::string got = line.Read(3s, 1);
    for (int i = 0; i < 5 && got == B({0x5A}); ++i) got = line.Read(3s, 1);  // polls already in flight
    EXPECT_EQ(got + line.Read(3s, 5), B({0x05, 0x04, 0x66, 0x6E, 0x64, 0x69}));
    EXPECT_EQ(readFor(200ms), "") << "polling goes on after the upload";
    EXPECT_EQ(sim.Command("hear Q1 on").rfind("error", 0), 0u);

    // Power failure: 0xA5 polls, commands unanswered, until the clock byte 0x9B.
    ASSERT_EQ(sim.Command("powerfail"), "ok\n");
    line.Write(B({0x04, 0x66}));
    const std::string fails = readFor(300ms);
    EXPECT_GE(fails.size(), 2u);
    EXPECT_EQ(fails, std::string(fails.size(), '\xA5'));
    line.Write(B({0x9B}));
    const std::string late = readFor(200ms);  // only ones already in flight
    EXPECT_EQ(late, std::string(late.size(), '\xA5'));
    EXPECT_EQ(readFor(300ms), "");

    // A wrong checksum once; the pair sent again starts a new exchange.
    ASSERT_EQ(sim.Command("fault checksum 1"), "ok\n");
    EXPECT_EQ(exchange(B({0x04, 0x66})), B({0x6B}));
    EXPECT_EQ(exchange(B({0x04, 0x66})), B({0x6A}));
    EXPECT_EQ(exchange(B({0x00})), B({0x55}));
    ASSERT_EQ(sim.Command("garbage 01 ff 5a"), "ok\n");
    EXPECT_EQ(line.Read(3s, 3), B({0x01, 0xFF, 0x5A}));

    ASSERT_EQ(sim.Command("quit"), "ok\n");
    ASSERT_TRUE(sim.proc().Wait(3000ms));
    EXPECT_EQ(sim.proc().ExitCode(), 0);
}
