#include "cm11a/engine_fixture.h"

using namespace quorvel::cm11a;
using namespace quorvel::cm11a::test;

TEST_F(Cm11aEngineTest, Cm11aReceivePollInTheMiddleOfATransmissionOrItsWaitForQuietIsServedFirst) {
    engine->SendCM11A("A1", 2);
    FeedEach({0x6A, 0x5A});
    EXPECT_EQ(link.writes.back(), B({0xC3}));
    EXPECT_EQ(Head().State, TxState::SendAddress);
    EXPECT_TRUE(engine->CM11ATimer().Enabled());
    link.writes.clear();
    Feed(B({0x02, 0x00, 0x66}));  // length 2, mask 0, address A1
    EXPECT_EQ(link.writes, std::vector<std::string>{B({0x04, 0x66})});
    EXPECT_EQ(Head().Retry, 1);
    EXPECT_EQ(Head().State, TxState::AwaitAddressChecksum);
    Feed(B({0x6A, 0x55, 0x68, 0x55}));
    EXPECT_TRUE(engine->TransmitQueue().empty());
    EXPECT_EQ(Events(), std::vector<std::string>{"Event=on;Device=A1"});  // not again after the upload
    // A poll while a repeated pair waits for a quiet line is served; the pair goes out once.
    engine->SendCM11A("A3", 2);
    link.writes.clear();
    Feed(B({0x13}));
    Feed(B({0x5A, 0x03, 0x02, 0x6E, 0x63}));
    EXPECT_EQ(link.writes, (std::vector<std::string>{B({0xC3}), B({0x04, 0x62})}));
    EXPECT_EQ(Events().back(), "Event=off;Device=A2");
}

TEST_F(Cm11aEngineTest, Cm11aReceiveRepeatedPollsAreAnsweredOnceUnlessLostAndAnUploadCutShortHoldsNothing) {
    Feed(B({0x5A, 0x5A, 0x5A}));  // in one chunk
    Feed(B({0x5A}));              // crossed our answer on the line: not a length
    EXPECT_EQ(link.writes, std::vector<std::string>{B({0xC3})});
    Feed(B({0x03, 0x02, 0x66, 0x62}));
    EXPECT_EQ(Events(), std::vector<std::string>{"Event=on;Device=A1"});
    // Polls that keep coming mean the answer was lost: it is sent again. Polls followed by
    // the upload in the same chunk: only the polls are dropped.
    link.writes.clear();
    for (int i = 0; i < 3; ++i) Feed(B({0x5A}));
    EXPECT_EQ(link.writes, (std::vector<std::string>{B({0xC3}), B({0xC3})}));
    Feed(B({0x5A, 0x03, 0x02, 0x6E, 0x63}));
    EXPECT_EQ(Events().back(), "Event=off;Device=A2");
    engine->SendCM11A("A1", 2);
    // Silence after a poll that crossed our answer, and after two of five upload bytes.
    for (const std::string& cut : {B({0x5A}), B({0x05, 0x00, 0x66})}) {
        Feed(B({0x5A}));
        Feed(cut);
        link.writes.clear();
        sim.Advance(Cm11aEngine::kReplyTimeoutMs);
        EXPECT_EQ(link.writes, std::vector<std::string>{B({0x04, 0x66})});
    }
    Feed(B({0x6A, 0x55, 0x68, 0x55}));  // the replies are not taken as upload bytes
    EXPECT_TRUE(engine->TransmitQueue().empty());
    EXPECT_TRUE(engine->HeardAddresses().empty());
}

TEST(Cm11aClockMessage, CarriesTheLocalTimeInTheInterfaceLayout) {
    struct Case { const char* name; const char* time; char house; std::string bytes; };
    const Case cases[] = {
        // Sunday 6 December 2026: day 339 (0-based) puts its ninth bit into the week-day byte.
        {"even hour, late in the year", "2026-12-06 14:51:07", 'A', B({0x9B, 7, 51, 7, 339 & 0xFF, 0x80 | 0x01, 0x60})},
        // Friday 1 March 2024 (leap year): an odd hour adds 60 to the minutes.
        {"odd hour, leap year", "2024-03-01 13:05:09", 'b', B({0x9B, 9, 65, 6, 60, 0x20, 0xE0})},
        {"unreadable time", "garbage", 'Z', B({0x9B, 0, 0, 0, 0, 0x40, 0x60})},  // 2000-01-01, a Saturday
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Cm11aEngine::ClockMessage(c.time, c.house), c.bytes);
    }
}

TEST_F(Cm11aEngineTest, Cm11aReceivePowerFailIsAnsweredWithOneWholeClockExchange) {
    sim.SetLocalDateTime("2026-12-06 14:51:07");
    const std::string clock = Cm11aEngine::ClockMessage("2026-12-06 14:51:07", 'A');
    const int sum = Checksum(clock, 1);
    // At start-up, to an interface that keeps polling 0xA5: one clock message; the requests
    // that crossed it on the line are not answered again.
    ASSERT_TRUE(engine->InitCM11A("1"));
    FeedEach({0xA5, sum, 0xA5, 0x55});
    EXPECT_EQ(link.writes, (std::vector<std::string>{clock, B({0x00}), B({0x8B})}));
    sim.Advance(Cm11aEngine::kStatusAnswerMs);
    // In the middle of a command: the command starts again from its address only after the
    // exchange has ended. An interface that then takes the clock without answering: the
    // command goes on after a quiet time, not at once.
    engine->SendCM11A("A1", 2);
    Feed(B({0x6A}));
    link.writes.clear();
    Feed(B({0xA5}));
    sim.Advance(100);
    FeedEach({0xA5, sum});  // the first crossed the clock on the line
    sim.Advance(100);
    EXPECT_EQ(link.writes, (std::vector<std::string>{clock, B({0x00})}));
    Feed(B({0x55}));
    EXPECT_EQ(link.writes.back(), B({0x04, 0x66}));
    Feed(B({0xA5}));
    sim.Advance(Cm11aEngine::kClockAnswerMs - 1);
    EXPECT_EQ(link.writes.back(), clock);
    sim.Advance(1);
    EXPECT_EQ(link.writes.back(), B({0x04, 0x66}));
    EXPECT_TRUE(Reports().empty());

    // At 14:24:07 the clock's checksum is 0x5A: confirmed as the checksum, not served as a
    // poll; a poll that then comes is.
    Feed(B({0x6A, 0x55, 0x68, 0x55}));
    sim.SetLocalDateTime("2026-12-06 14:24:07");
    link.writes.clear();
    FeedEach({0xA5, 0x5A, 0x5A});
    EXPECT_EQ(link.writes, (std::vector<std::string>{Cm11aEngine::ClockMessage("2026-12-06 14:24:07", 'A'), B({0x00}),
                                                     B({0xC3})}));
}

TEST_F(Cm11aEngineTest, Cm11aReceiveRunawayInputIsBoundedAndShownAsATail) {
    // One chunk far beyond the bound: the excess is discarded and reported once.
    std::string big(1 << 20, '\x13');
    Feed(big);
    ASSERT_EQ(Reports().size(), 1u);
    EXPECT_NE(Reports()[0].find("CM11A input overflow"), std::string::npos);
    EXPECT_NE(comm.CommData().find("[1048320 bytes left out] 13, 13"), std::string::npos);
    // Within the episode further overflows are counted, not reported; later ones are.
    sim.Advance(1000);
    Feed(big);
    EXPECT_EQ(Reports().size(), 1u);
    sim.Advance(Cm11aEngine::kOverflowEpisodeMs);
    Feed(big);
    EXPECT_EQ(Reports().size(), 2u);

    // While the input overflows, "uploads" found in it are not announced (the interface
    // cannot send that much at 4800 baud); once the episode is over they are again.
    Feed(B({0x5A, 0x03, 0x02, 0x66, 0x62}));
    EXPECT_TRUE(Events().empty());
    sim.Advance(Cm11aEngine::kOverflowEpisodeMs);
    Feed(B({0x5A, 0x03, 0x02, 0x66, 0x62}));
    EXPECT_EQ(Events(), std::vector<std::string>{"Event=on;Device=A1"});
}

TEST_F(Cm11aEngineTest, Cm11aReceiveUploadLengthRules) {
    // 0 keeps expecting a length; the next byte is the length.
    Feed(B({0x5A, 0x00, 0x02, 0x00, 0x66}));
    EXPECT_EQ(engine->HeardAddresses(), std::vector<std::uint8_t>{0x66});
    // 11 abandons the upload; what follows is taken as normal bytes (0xA5 answered).
    Feed(B({0x5A, 0x0B, 0xA5}));
    EXPECT_EQ(link.writes.back(), Cm11aEngine::ClockMessage(sim.LocalDateTime(), 'A'));
    sim.Advance(Cm11aEngine::kClockAnswerMs);
    // 10 is accepted: nine bytes follow (mask 0: all nine are addresses).
    Feed(B({0x5A, 0x0A, 0x00, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(engine->HeardAddresses().size(), 10u);
    // Above ten in the middle of a command: the interrupted head starts again.
    engine->SendCM11A("A1", 2);
    Feed(B({0x6A, 0x55}));
    Feed(B({0x5A, 0x0C}));
    EXPECT_EQ(Head().State, TxState::AwaitAddressChecksum);
    EXPECT_EQ(Head().Retry, 1);
}

TEST_F(Cm11aEngineTest, Cm11aReceiveUploadsAnnounceTheAddressedDevices) {
    // lastTx: the device transmitted before the uploads; each upload: length, mask, data.
    struct Case { const char* name; const char* lastTx; std::vector<std::string> uploads, events; std::size_t heard; };
    const Case cases[] = {
        {"heard across uploads", "", {B({0x03, 0x00, 0x66, 0x6E}), B({0x03, 0x01, 0x63, 0x66})},
         {"Event=off;Device=A1", "Event=off;Device=A2"}, 1},
        // M13 (address 0 before any transmission) is of another house than the function.
        {"lone function before any transmission", "", {B({0x02, 0x00, 0x66}), B({0x02, 0x01, 0x62})},
         {"Event=on;Device=A1"}, 0},
        {"lone function, last sent address", "A1", {B({0x02, 0x00, 0x66}), B({0x02, 0x01, 0x62})},
         {"Event=on;Device=A1", "Event=on;Device=A1"}, 0},
        {"lone function other device", "p16", {B({0x02, 0x01, 0xC3})}, {"Event=off;Device=P16"}, 0},
        {"dim with brightness byte", "", {B({0x04, 0x02, 0x66, 0x64, 0x69})}, {"Event=dim;Device=A1;Brightness=50"}, 0},
        {"bright full scale then address", "", {B({0x05, 0x02, 0xEE, 0xE5, 0xD2, 0x66})},
         {"Event=bright;Device=B2;Brightness=100"}, 1},
        {"address-like brightness skipped", "", {B({0x05, 0x0A, 0x66, 0x64, 0x66, 0x62})},
         {"Event=dim;Device=A1;Brightness=49"}, 0},
        {"dim as the last byte", "", {B({0x03, 0x02, 0x66, 0x64})}, {"Event=dim;Device=A1;Brightness=0"}, 0},
        {"function without address", "", {B({0x03, 0x03, 0x62, 0x63})}, {}, 0},
        // B3 extended, data 17, command 49: the three frame bytes are not addresses.
        {"extended code frame", "", {B({0x05, 0x01, 0xE7, 0x02, 17, 49}), B({0x02, 0x01, 0xE2})},
         {"Event=extended;Device=B3;Data=17;ExtCommand=49"}, 0},
        // A function acts on the addresses of its own house; A1 waits for a function of A.
        {"mixed houses", "", {B({0x04, 0x04, 0x66, 0xEE, 0xE2})}, {"Event=on;Device=B2"}, 1},
        {"house-wide without an address", "", {B({0x02, 0x01, 0x10})}, {"Event=all_units_off;Device=E"}, 0},
        {"byte 8 unexamined", "", {B({0x0A, 0x80, 0x66, 0x6E, 0x62, 0x6A, 0x61, 0x69, 0x65, 0x62, 0xEE})},
         {"Event=on;Device=A1", "Event=on;Device=A2", "Event=on;Device=A3", "Event=on;Device=A4",
          "Event=on;Device=A5", "Event=on;Device=A6", "Event=on;Device=A7"}, 0},
    };
    AnswerLikeInterface(sim, link, *engine, 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Restart();
        if (*c.lastTx != '\0') {
            engine->SendCM11A(c.lastTx, 3);
            sim.Advance(10);
        }
        node.sent.clear();
        for (const std::string& u : c.uploads) Feed(B({0x5A}) + u);
        EXPECT_EQ(Events(), c.events);
        EXPECT_EQ(engine->HeardAddresses().size(), c.heard);
        EXPECT_TRUE(Reports().empty());
    }
}

TEST_F(Cm11aEngineTest, Cm11aReceiveRepliesAndRequestsArrivingBetweenStepsAreHandledInOrder) {
    // The interface answers at once; each answer is an event of its own after the write.
    AnswerLikeInterface(sim, link, *engine, 0);
    engine->SendCM11A("A1", 2);
    engine->SendCM11A("B2", 4, 3);
    sim.Advance(1);
    EXPECT_TRUE(engine->TransmitQueue().empty());
    EXPECT_EQ(link.writes, (std::vector<std::string>{B({0x04, 0x66}), B({0}), B({0x06, 0x62}), B({0}),
                                                     B({0x1C, 0xEE}), B({0}), B({0x1E, 0xE4}), B({0})}));

    // The upload arrives right after the 0xC3.
    link.onWrite = [&](const std::string& bytes) {
        if (bytes == B({0xC3})) sim.Post([&] { Feed(B({0x03, 0x02, 0x6E, 0x63})); });
    };
    Feed(B({0x5A, 0x5A}));
    sim.Advance(1);
    EXPECT_EQ(Events().back(), "Event=off;Device=A2");
    EXPECT_EQ(Written(B({0xC3})), 1);
}
