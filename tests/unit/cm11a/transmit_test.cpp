#include "cm11a/codes.h"
#include "cm11a/engine_fixture.h"

#include <functional>

using namespace quorvel::cm11a;
using namespace quorvel::cm11a::test;

TEST_F(Cm11aEngineTest, Cm11aTransmitHandshakeWritesEachStepAndAnnouncesOnce) {
    // Header and address, header and function, and what is announced.
    struct Case { const char* dc; int command, level; std::string address, function; std::vector<std::string> events; };
    const Case cases[] = {
        {"A1", 2, 0, B({0x04, 0x66}), B({0x06, 0x62}), {"Event=on;Device=A1"}},
        {"B2", 4, 8, B({0x44, 0xEE}), B({0x46, 0xE4}), {"Event=dim;Device=B2;Brightness=8"}},
        {"P16", 15, 0, B({0x04, 0xCC}), B({0x06, 0xCF}), {}},  // a status request is not announced
        {"m13", 3, 22, B({0xB4, 0x00}), B({0xB6, 0x03}), {"Event=off;Device=m13"}},
        // Checksums that look like a poll (5A), a macro report (5B) or a power failure (A5) are checksums.
        {"G1", 5, 0, B({0x04, 0x56}), B({0x06, 0x55}), {"Event=bright;Device=G1;Brightness=0"}},
        {"D5", 2, 0, B({0x04, 0xA1}), B({0x06, 0xA2}), {"Event=on;Device=D5"}},
    };
    // Each reply comes 1 ms after the write: each step goes out as soon as its reply is in.
    AnswerLikeInterface(sim, link, *engine, 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dc);
        Forget();
        engine->SendCM11A(c.dc, c.command, c.level);
        sim.Advance(4);
        EXPECT_EQ(link.writes, (std::vector<std::string>{c.address, B({0}), c.function, B({0})}));
        EXPECT_TRUE(engine->TransmitQueue().empty());
        EXPECT_EQ(Events(), c.events);
        EXPECT_TRUE(Reports().empty());
    }
}

TEST_F(Cm11aEngineTest, Cm11aAnnouncementsOfSentAndHeardCommandsFollowHouseAndIgnore) {
    struct Case { const char* house; const char* ignore; const char* dc; bool sent; std::vector<std::string> heard; };
    const Case cases[] = {
        {"ABC", ",,", "D3", false, {"Event=on;Device=A1", "Event=on;Device=B1"}},
        {"abc", ",,", "c3", true, {"Event=on;Device=A1", "Event=on;Device=B1"}},
        {"ABCDEFGHIJKLMNOP", ",A1,B2,", "a1", false, {"Event=on;Device=B1", "Event=on;Device=D3"}},
        {"", ",,", "A1", false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.house) + " " + c.ignore + " " + c.dc);
        settings.House = c.house;
        settings.Ignore = c.ignore;
        Restart();
        Forget();
        engine->SendCM11A(c.dc, 2);
        EXPECT_EQ(link.writes.size(), 1u) << "transmitted either way";
        EXPECT_EQ(Events().size(), c.sent ? 1u : 0u);
        Restart();
        node.sent.clear();
        Feed(B({0x5A, 0x07, 0x2A, 0x66, 0x62, 0xE6, 0xE2, 0xA2, 0xA2}));  // A1, B1 and D3 "on"
        EXPECT_EQ(Events(), c.heard);
    }
}

TEST_F(Cm11aEngineTest, Cm11aTransmitRefusesWhatCannotBeEncoded) {
    struct Case { const char* dc; int command, brightness; std::vector<std::string> reports; };  // none: silent
    const Case cases[] = {
        {"A1", -1, 0, {"SendCM11A refused A1: command -1 is not an X10 function"}},
        {"A1", 16, 0, {"SendCM11A refused A1: command 16 is not an X10 function"}},
        {"B2", 4, 23, {"SendCM11A refused B2: brightness 23 is outside 0..22"}},
        {"B2", 5, -1, {"SendCM11A refused B2: brightness -1 is outside 0..22"}},
        {"1A", 2, 0, {}}, {"A99999999999999999999", 2, 0, {}},
    };
    for (const Case& c : cases) {
        node.sent.clear();
        engine->SendCM11A(c.dc, c.command, c.brightness);
        EXPECT_TRUE(engine->TransmitQueue().empty()) << c.dc;
        EXPECT_TRUE(link.writes.empty()) << c.dc;
        EXPECT_EQ(Reports(), c.reports) << c.dc;
    }
    // A refused command does not hold the next one back.
    engine->SendCM11A("B2", 4, 32);
    engine->SendCM11A("a1", 2);
    ASSERT_EQ(link.writes.size(), 1u);
    EXPECT_EQ(link.writes[0], B({0x04, 0x66}));
    EXPECT_EQ(Head().DC, "a1");
}

TEST_F(Cm11aEngineTest, Cm11aTransmitFourTimeoutsDropTheHeadAndASilentInterfaceIsReopenedOnce) {
    engine->SendCM11A("A1", 2);
    engine->SendCM11A("B2", 3);
    sim.Advance(Cm11aEngine::kReplyTimeoutMs);
    EXPECT_TRUE(link.reopens.empty());
    sim.Advance(Cm11aEngine::kReplyTimeoutMs);  // the second time-out without a byte
    EXPECT_EQ(link.reopens, std::vector<std::string>{"the CM11A sent nothing for 2 replies in a row"});
    sim.Advance(2 * Cm11aEngine::kReplyTimeoutMs - 1);  // the pair every 5 s, four times
    EXPECT_EQ(link.writes, std::vector<std::string>(4, B({0x04, 0x66})));
    sim.Advance(1);
    EXPECT_EQ(Reports(), std::vector<std::string>{"CM11A Transmit Retry exceeded from state 0 on command 66"});
    EXPECT_EQ(link.writes.back(), B({0x04, 0xEE}));
    EXPECT_EQ(link.reopens.size(), 1u);  // reopened once while still deaf
    // A byte heard ends the episode; time-outs with a byte before them do not count.
    for (int i = 0; i < 3; ++i) {
        Feed(B({0x13}));
        sim.Advance(Cm11aEngine::kReplyTimeoutMs + Cm11aEngine::kResyncQuietMs);
    }
    EXPECT_EQ(link.reopens.size(), 1u);
}

TEST_F(Cm11aEngineTest, Cm11aTransmitWrongRepliesResendThePairOnceQuietStraysDoNotAndFourDropTheHead) {
    struct Case { const char* name; std::vector<std::string> chunks; int gapMs, addressPairs, functionPairs;
                  const char* report; };
    // Each chunk arrives gapMs after the one before; then the interface answers correctly.
    const Case cases[] = {
        {"wrong checksum, then strays on the line", {B({0x13}), B({0x6A}), B({0x6A}), B({0x00})}, 10, 2, 1, ""},
        {"stray instead of the last 55", {B({0x6A}), B({0x55}), B({0x68}), B({0x77})}, 10, 1, 1, ""},
        {"wrong checksum of the function pair", {B({0x6A}), B({0x55}), B({0x69, 0x68})}, 10, 1, 2, ""},
        // Four wrong checksums drop A1; it was announced once, B2 once when it starts.
        {"four wrong checksums", std::vector<std::string>(4, B({0x6B})), Cm11aEngine::kResyncQuietMs, 4, 0,
         "CM11A Transmit wrong replies exceeded from state 1 on command 66"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Restart();
        Forget();
        engine->SendCM11A("A1", 2);
        engine->SendCM11A("B2", 3);
        for (const std::string& chunk : c.chunks) {
            const std::size_t before = link.writes.size();
            Feed(chunk);
            const bool waitsForQuiet = engine->Receiving() == RxState::AwaitQuiet;
            sim.Advance(static_cast<std::uint64_t>(c.gapMs) - 1);
            if (waitsForQuiet) {
                EXPECT_EQ(link.writes.size(), before) << "nothing is sent before the line is quiet";
            }
            sim.Advance(1);
        }
        EXPECT_EQ(Head().Retry, 0);
        AnswerLikeInterface(sim, link, *engine, 1);
        // What the interface still owes for the step we are in.
        if (Head().State == TxState::AwaitAddressReady || Head().State == TxState::AwaitFunctionReady) {
            Feed(B({0x55}));
        }
        sim.Advance(2 * Cm11aEngine::kReplyTimeoutMs);
        link.onWrite = nullptr;
        EXPECT_TRUE(engine->TransmitQueue().empty());
        EXPECT_EQ(Written(B({0x04, 0x66})), c.addressPairs);
        EXPECT_EQ(Written(B({0x06, 0x62})), c.functionPairs);
        EXPECT_EQ(Events(), (std::vector<std::string>{"Event=on;Device=A1", "Event=off;Device=B2"}));
        EXPECT_EQ(Reports(), std::string(c.report).empty() ? std::vector<std::string>{}
                                                           : std::vector<std::string>{c.report});
    }
}

TEST_F(Cm11aEngineTest, Cm11aTransmitCommandsWaitForALinkBeingOpenedAndAreDroppedForAClosedOne) {
    link.open = false;
    link.connecting = true;
    engine->SendCM11A("A1", 2);
    engine->SendCM11A("A2", 3);
    EXPECT_EQ(engine->TransmitQueue().size(), 2u);
    EXPECT_TRUE(Reports().empty());
    link.open = true;
    link.connecting = false;
    engine->LinkOpened();  // the clock message first, the status request, then the head
    EXPECT_EQ(link.writes, std::vector<std::string>{Cm11aEngine::ClockMessage(sim.LocalDateTime(), 'A')});
    sim.Advance(Cm11aEngine::kClockAnswerMs);
    EXPECT_EQ(link.writes.back(), B({0x8B}));
    sim.Advance(Cm11aEngine::kStatusAnswerMs);
    EXPECT_EQ(link.writes.back(), B({0x04, 0x66}));
    // Commands for a closed link are dropped, and said so: once per outage on the network.
    link.open = false;
    EXPECT_FALSE(engine->InitCM11A("1"));
    engine->SendCM11A("A1", 2);
    engine->SendCM11A("A2", 2);
    EXPECT_TRUE(engine->TransmitQueue().empty());
    EXPECT_EQ(link.lastPort, settings.ComPort);
    EXPECT_EQ(Reports(), std::vector<std::string>{"SendCM11A dropped A1: the CM11A link is not open"});
    // A head waiting while the link is down starts afresh when the link comes back by
    // itself, also from a half-done handshake.
    link.open = true;
    engine->SendCM11A("A1", 2);
    sim.Advance(Cm11aEngine::kStatusAnswerMs);  // the status wanted since start-up goes first
    Feed(B({0x6A}));  // checksum right; the link dies before the confirmation goes out
    link.open = false;
    sim.Advance(5000);
    EXPECT_EQ(Head().Retry, 1);
    // A byte while the head waits to be sent removes nothing.
    Feed(B({0x42}));
    EXPECT_EQ(engine->TransmitQueue().size(), 1u);
    link.open = true;
    engine->LinkOpened();
    sim.Advance(Cm11aEngine::kClockAnswerMs + Cm11aEngine::kStatusAnswerMs);
    EXPECT_EQ(Head().State, TxState::AwaitAddressChecksum);
    EXPECT_EQ(link.writes.back(), B({0x04, 0x66}));
    // The next outage is reported again.
    link.open = false;
    engine->SendCM11A("A3", 2);
    EXPECT_EQ(Reports().back(), "SendCM11A dropped A3: the CM11A link is not open");
}

TEST_F(Cm11aEngineTest, Cm11aTransmitAFunctionConfirmedWithZeroIsNeverSentAgain) {
    // A1 on has had its function checksum confirmed with 0x00; in place of its 0x55 comes:
    struct Case { const char* name; std::function<void()> fault; };
    const Case cases[] = {
        {"nothing", [&] { sim.Advance(Cm11aEngine::kReplyTimeoutMs); }},
        {"a garbled 55", [&] { Feed(B({0x54})); sim.Advance(Cm11aEngine::kReplyTimeoutMs); }},
        {"a 55 after the time-out", [&] { sim.Advance(Cm11aEngine::kReplyTimeoutMs); Feed(B({0x55})); }},
        {"a poll and an upload", [&] { Feed(B({0x5A})); Feed(B({0x02, 0x00, 0x6E})); }},
        {"a link opened again", [&] { engine->LinkOpened(); }},
    };
    CaptureDebug();
    std::vector<std::string> told;
    engine->SetActivityObserver([&](const X10Activity& a) { told.push_back(a.Devices.at(0) + (a.Completed ? " done" : " dropped")); });
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Restart();
        link.onWrite = nullptr;
        link.writes.clear();
        debugLines.clear();
        told.clear();
        engine->SendCM11A("A1", 2);
        engine->SendCM11A("B2", 3);
        FeedEach({0x6A, 0x55, 0x68});
        ASSERT_EQ(link.writes.back(), B({0x00}));
        AnswerLikeInterface(sim, link, *engine, 1);
        c.fault();
        sim.Advance(2 * Cm11aEngine::kReplyTimeoutMs);
        EXPECT_TRUE(engine->TransmitQueue().empty());
        EXPECT_EQ(Written(B({0x06, 0x62})), 1) << "A1 on went out once";
        EXPECT_EQ(Written(B({0x06, 0xE3})), 1) << "B2 off went out once";
        EXPECT_EQ(told, (std::vector<std::string>{"A1 done", "B2 done"}));
        EXPECT_EQ(DebugLinesWith("SendCM11A A1=2 not confirmed"), 1);
    }
}

// The interface sends 0xA5 only after it lost power: the function it had on the power line
// was cut short, so it goes out again, whole, once the clock is set.
TEST_F(Cm11aEngineTest, Cm11aTransmitAFunctionCutShortByAPowerFailureGoesOutAgainAfterTheClock) {
    engine->SendCM11A("A1", 2);
    FeedEach({0x6A, 0x55, 0x68});
    ASSERT_EQ(Head().State, TxState::AwaitFunctionReady);
    link.writes.clear();
    AnswerLikeInterface(sim, link, *engine, 1);
    Feed(B({0xA5}));
    ASSERT_FALSE(link.writes.empty());
    const std::string clock = link.writes.front();
    ASSERT_EQ(clock.size(), 7u);
    Feed(B({Checksum(clock, 1)}));
    sim.Advance(10);
    Feed(B({0x55}));  // the clock is set
    sim.Advance(100);
    EXPECT_TRUE(engine->TransmitQueue().empty());
    EXPECT_EQ(Written(B({0x04, 0x66})), 1);
    EXPECT_EQ(Written(B({0x06, 0x62})), 1);
}

TEST_F(Cm11aEngineTest, Cm11aTransmitAFullDimHasTimeForAllItsStepsAt50Hz) {
    // 22 steps at 50 Hz: 0.48 s for the frame and 9.6 mains cycles a step, about 4.7 s.
    CaptureDebug();
    engine->SendCM11A("A1", 4, 22);
    FeedEach({(0xB4 + 0x66) & 0xFF, 0x55, (0xB6 + 0x64) & 0xFF});
    ASSERT_EQ(Head().State, TxState::AwaitFunctionReady);
    sim.Advance(480 + 22 * 192 + Cm11aEngine::kReplyTimeoutMs / 2);  // a slow serial server on top
    Feed(B({0x55}));
    EXPECT_TRUE(engine->TransmitQueue().empty());
    EXPECT_EQ(DebugLinesWith("SendCM11A A1=4 done"), 1);
}

TEST_F(Cm11aEngineTest, Cm11aTransmitAChecksumOf5BIsAWrongChecksumNotAMacroReport) {
    // G1's address checksum is 0x5A; the interface answers 0x5B.
    engine->SendCM11A("G1", 2);
    Feed(B({0x5B}));
    sim.Advance(Cm11aEngine::kResyncQuietMs);
    EXPECT_EQ(link.writes, (std::vector<std::string>{B({0x04, 0x56}), B({0x04, 0x56})}));
    AnswerLikeInterface(sim, link, *engine, 1);
    Feed(B({0x5A}));  // the right checksum now: no macro offset byte swallowed it
    sim.Advance(10);
    EXPECT_TRUE(engine->TransmitQueue().empty());
    EXPECT_EQ(Written(B({0x06, 0x52})), 1);
}

TEST_F(Cm11aEngineTest, Cm11aTransmitANewPortIsTakenUpBetweenCommands) {
    engine->SendCM11A("A1", 2);
    engine->SendCM11A("B2", 3);
    Feed(B({0x6A}));
    settings.ComPort = "127.0.0.1:10002";
    engine->PortChanged();  // A1 is in its handshake: it ends on the old port
    EXPECT_TRUE(link.usedPorts.empty());
    Feed(B({0x55, 0x68}));
    EXPECT_TRUE(link.usedPorts.empty());
    Feed(B({0x55}));
    EXPECT_EQ(link.usedPorts, std::vector<std::string>{"127.0.0.1:10002"});
    EXPECT_EQ(link.writes.back(), B({0x04, 0xEE}));  // B2 starts after the move
    engine->PortChanged();  // B2 awaits its checksum: the move waits for its end
    EXPECT_EQ(link.usedPorts.size(), 1u);
    Feed(B({0xF2, 0x55, 0xE9, 0x55}));
    EXPECT_EQ(link.usedPorts.size(), 2u);
    engine->PortChanged();  // an idle engine moves at once
    EXPECT_EQ(link.usedPorts.size(), 3u);
}

// An extended code goes out as one five-byte frame (header 07, no address step), answered
// with the sum of the five bytes; without its bytes it is refused and nothing goes out.
TEST_F(Cm11aEngineTest, Cm11aTransmitExtendedCodesAreWholeFramesOrRefused) {
    Restart();
    std::vector<std::string> told;
    engine->SetActivityObserver([&](const X10Activity& a) {
        told.push_back((a.Completed ? "done " : "dropped ") + std::to_string(a.ExtData) + " " + std::to_string(a.ExtCommand));
    });
    link.writes.clear();
    engine->SendCM11A("B3", kFunctionExtended);
    EXPECT_TRUE(link.writes.empty());
    EXPECT_EQ(Reports(), std::vector<std::string>{"SendCM11A refused B3: an extended command needs its data and "
                                                  "command bytes (0..255)"});
    const std::string frame = B({0x07, 0xE7, 0x02, 0x1F, 0x31});
    engine->SendCM11A("B3", kFunctionExtended, 0, X10Origin::XapRequest, 0x1F, 0x31);
    EXPECT_EQ(link.writes, std::vector<std::string>{frame});
    Feed(B({Checksum(frame)}));
    EXPECT_EQ(link.writes.back(), B({0x00}));
    Feed(B({0x55}));
    EXPECT_TRUE(engine->TransmitQueue().empty());
    EXPECT_EQ(Events(), std::vector<std::string>{"Event=extended;Device=B3;Data=31;ExtCommand=49"});
    ASSERT_EQ(told.size(), 2u);  // the refused one, then the one sent
    EXPECT_EQ(told[0].substr(0, 8), "dropped ");
    EXPECT_EQ(told[1], "done 31 49");
    // A wrong checksum: the whole frame again once the line is quiet.
    engine->SendCM11A("B3", kFunctionExtended, 0, X10Origin::XapRequest, 0x1F, 0x31);
    Feed(B({0x41}));
    sim.Advance(Cm11aEngine::kResyncQuietMs);
    EXPECT_EQ(Written(frame), 3);
}
