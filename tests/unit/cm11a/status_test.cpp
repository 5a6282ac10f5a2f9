// The interface's own reports: macro reports, the status request and its fourteen bytes,
// and the clock kept right from them.
#include "cm11a/status.h"
#include "engine_fixture.h"

namespace quorvel::cm11a::test {
namespace {

// 15:51:07 on day 340 (index 339, a Saturday), battery timer 42, house A, firmware 1,
// A1 and A2 addressed, A1 on, A2 dimmed.
const std::string kStatusBytes = B({0x00, 0x2A, 7, 51 + 60, 7, 339 & 0xFF, 0x80 | 0x40, 0x61, 0x00, 0x03, 0x00, 0x01,
                                    0x00, 0x02});

TEST(InterfaceStatusBytes, DecodeEveryFieldAndRefuseWhatIsOutOfRange) {
    // Battery timer, clock, house and firmware are read back in the status report below.
    const auto s = DecodeStatus(kStatusBytes);
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(s->DayMask, 0x40);
    EXPECT_EQ(InterfaceStatus::Units(s->Addressed), "1,2");
    EXPECT_EQ(InterfaceStatus::Units(s->On), "1");
    EXPECT_EQ(InterfaceStatus::Units(s->Dim), "2");
    EXPECT_EQ(EncodeStatus(*s), kStatusBytes);
    EXPECT_EQ(ClockOffsetSeconds(*s, "2026-12-06 15:50:07"), 60);
    EXPECT_EQ(ClockOffsetSeconds(*s, "2027-01-01 00:00:10"), -(26 * 86400L - (15 * 3600 + 51 * 60 + 7 - 10)));

    for (const auto& [at, value] : {std::pair{2, 60}, std::pair{3, 120}}) {  // second 60, minute 120
        std::string bad = kStatusBytes;
        bad[at] = static_cast<char>(value);
        EXPECT_FALSE(DecodeStatus(bad)) << at;
    }
    EXPECT_FALSE(DecodeStatus(kStatusBytes.substr(1)));
}

class StatusTest : public Cm11aEngineTest {
protected:
    // The status bytes with the clock at hh:mm:ss on day 340.
    static std::string StatusAt(int h, int m, int s, int battery = 42) {
        auto st = *DecodeStatus(kStatusBytes);
        st.Hour = h, st.Minute = m, st.Second = s, st.BatteryTimer = battery;
        return EncodeStatus(st);
    }
    std::vector<std::string> Macros() const {
        std::vector<std::string> out;
        for (const auto& m : node.sent) {
            if (m.cls == "xAP-x10.Macro") out.push_back(m.section + ":" + Readable(m.data));
        }
        return out;
    }
};

TEST_F(StatusTest, AMacroReportIsAnnouncedAndTheStatusAskedForAndKept) {
    Restart();
    link.writes.clear();
    std::vector<InterfaceStatus> told;
    engine->SetStatusObserver([&](const InterfaceStatus& s) { told.push_back(s); });
    Feed(B({0x5B, 0x01, 0x5A}));
    EXPECT_EQ(Macros(), std::vector<std::string>{"xAP-x10.Macro:Event=macro;Address=015A"});
    EXPECT_EQ(link.writes, std::vector<std::string>{B({0x8B})});
    sim.SetLocalDateTime("2026-12-06 15:51:00");
    Feed(kStatusBytes.substr(0, 5));
    Feed(kStatusBytes.substr(5));
    ASSERT_EQ(told.size(), 1u);
    ASSERT_TRUE(engine->Status().has_value());
    EXPECT_EQ(*engine->Status(), told[0]);
    EXPECT_EQ(engine->Receiving(), RxState::Idle);
    // The first status of a connection is announced.
    EXPECT_EQ(Reports(), std::vector<std::string>{"CM11A status: battery timer 42 minutes, firmware revision 1, clock "
                                                  "15:51:07, day 340, monitored house A"});
    // The status bytes are not taken for polls or replies: nothing else was written.
    EXPECT_EQ(link.writes.size(), 1u);
}

TEST_F(StatusTest, TheInterfacesOwnRequestsInPlaceOfTheStatusAreServedAndAnyFirstByteCanOpenTheStatus) {
    Restart();
    sim.Advance(Cm11aEngine::kClockAnswerMs + Cm11aEngine::kStatusAnswerMs);
    std::vector<InterfaceStatus> told;
    engine->SetStatusObserver([&](const InterfaceStatus& s) { told.push_back(s); });
    auto status = *DecodeStatus(kStatusBytes);
    // A macro report, a poll or a power-fail request crosses the request: served once the
    // line is quiet, and the status asked for again.
    const std::string crossing[] = {B({0x5B, 0x00, 0x5C}), B({0x5A}), B({0xA5})};
    const std::string served[] = {B({0x8B}), B({0xC3}), Cm11aEngine::ClockMessage(sim.LocalDateTime(), 'A')};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        engine->RequestStatus();
        link.writes.clear();
        Feed(crossing[i]);
        EXPECT_TRUE(link.writes.empty());
        sim.Advance(Cm11aEngine::kStatusByteGapMs);
        ASSERT_FALSE(link.writes.empty());
        EXPECT_EQ(link.writes.back(), served[i]);
        if (i == 1) Feed(B({0x02, 0x00, 0x66}));  // the upload the poll announced
        sim.Advance(Cm11aEngine::kClockAnswerMs + Cm11aEngine::kStatusAnswerMs);
    }
    EXPECT_EQ(Macros(), std::vector<std::string>{"xAP-x10.Macro:Event=macro;Address=005C"});
    // Battery timers whose high byte is 0x5A or 0x5B: the status, not a poll or a macro
    // report; and a macro report followed at once by the status: both.
    for (const int battery : {0x5A10, 0x5B00, 7}) {
        status.BatteryTimer = battery;
        engine->RequestStatus();
        Feed((battery == 7 ? B({0x5B, 0x01, 0x02}) : "") + EncodeStatus(status));
        sim.Advance(Cm11aEngine::kStatusByteGapMs + Cm11aEngine::kClockAnswerMs);  // clock off: set, unanswered
    }
    std::vector<int> batteries;
    for (const auto& t : told) batteries.push_back(t.BatteryTimer);
    EXPECT_EQ(batteries, (std::vector<int>{0x5A10, 0x5B00, 7}));
    EXPECT_EQ(Macros().back(), "xAP-x10.Macro:Event=macro;Address=0102");
}

// (The hourly request is counted in the clock test below.)
TEST_F(StatusTest, TheStatusRequestWaitsForTheCommandInProgress) {
    Restart();
    engine->SendCM11A("A1", 2);
    Feed(B({0x6A}));  // the address's checksum: A1 is in its handshake
    link.writes.clear();
    engine->RequestStatus();
    Feed(B({0x55}));
    Feed(B({0x68}));
    EXPECT_TRUE(std::find(link.writes.begin(), link.writes.end(), B({0x8B})) == link.writes.end());
    Feed(B({0x55}));  // A1 done: now the request goes out
    EXPECT_EQ(link.writes.back(), B({0x8B}));
    EXPECT_TRUE(engine->TransmitQueue().empty());
}

TEST_F(StatusTest, AClockOffIsSetAgainAndReportedOnceABatteryTimerOnce) {
    sim.SetLocalDateTime("2026-12-06 15:51:00");
    Restart();
    const std::string clock = Cm11aEngine::ClockMessage(sim.LocalDateTime(), 'A');
    struct Step { const char* name; std::string status; bool clockSet; std::size_t reports; };
    const Step steps[] = {
        // (The first status of the connection is announced: one report.)
        {"10 s off: left alone", StatusAt(15, 51, 10), false, 1},
        {"45 s off: set, not reported", StatusAt(15, 51, 45), true, 1},
        {"2 min behind: set and reported", StatusAt(15, 49, 0), true, 2},
        {"still off: set, not reported again", StatusAt(15, 49, 0), true, 2},
        {"right again", StatusAt(15, 51, 0), false, 2},
        {"summer time ended, an hour ahead: reported again", StatusAt(16, 51, 0), true, 3},
        {"battery long in use: reported once", StatusAt(15, 51, 0, Cm11aEngine::kBatteryLowMinutes), false, 4},
        {"and not again", StatusAt(15, 51, 0, Cm11aEngine::kBatteryLowMinutes + 1), false, 4},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.name);
        engine->RequestStatus();
        link.writes.clear();
        Feed(s.status);
        EXPECT_EQ(!link.writes.empty() && link.writes.back() == clock, s.clockSet);
        EXPECT_EQ(Reports().size(), s.reports);
        sim.Advance(Cm11aEngine::kClockAnswerMs);
    }
    EXPECT_NE(Reports()[1].find("CM11A clock 120 s behind"), std::string::npos);
    EXPECT_NE(Reports()[2].find("CM11A clock 3600 s ahead"), std::string::npos);
    EXPECT_NE(Reports()[3].find("battery timer"), std::string::npos);
    // A clock that stays right is still set once a day.
    link.writes.clear();
    sim.Advance(Cm11aEngine::kClockRenewMs);
    EXPECT_EQ(Written(B({0x8B})), 24);  // hourly, unanswered
    EXPECT_EQ(Written(clock), 0);
    engine->RequestStatus();
    Feed(StatusAt(15, 51, 0));
    EXPECT_EQ(link.writes.back(), clock);
}

}  // namespace
}  // namespace quorvel::cm11a::test
