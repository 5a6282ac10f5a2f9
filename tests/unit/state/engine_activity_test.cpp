// What the CM11A engine tells its activity observer: a command once the interface has
// confirmed it (not before), a command given up or never queued, and the functions heard
// in an upload.
#include "cm11a/engine_fixture.h"

using namespace quorvel::cm11a;
using namespace quorvel::cm11a::test;

namespace {

std::string Text(const X10Activity& a) {
    std::string out = std::to_string(static_cast<int>(a.Origin)) + (a.Completed ? " done " : " dropped ") + a.House +
                      " f" + std::to_string(a.Function) + " " + std::to_string(a.AmountPercent) + "%";
    for (const auto& d : a.Devices) out += " " + d;
    return out;
}

}  // namespace

TEST_F(Cm11aEngineTest, ActivityIsToldWhenTheInterfaceConfirmsGivesUpOrUploads) {
    std::vector<std::string> told;
    engine->SetActivityObserver([&](const X10Activity& a) { told.push_back(Text(a)); });
    AnswerLikeInterface(sim, link, *engine, 10);
    engine->SendCM11A("b2", 4, 11, X10Origin::BscCommand);
    sim.Advance(25);
    EXPECT_TRUE(told.empty()) << "nothing before the final 0x55";
    sim.Advance(100);
    EXPECT_EQ(told, std::vector<std::string>{"1 done B f4 50% B2"});

    told.clear();
    link.onWrite = nullptr;  // a silent interface: four time-outs give the command up
    engine->SendCM11A("C3", 2, 0, X10Origin::Typed);
    sim.Advance(5 * Cm11aEngine::kReplyTimeoutMs);
    EXPECT_EQ(told, std::vector<std::string>{"2 dropped C f2 0% C3"});

    told.clear();  // not even queued: the link is closed
    link.open = false;
    engine->SendCM11A("D4", 3, 0, X10Origin::BscCommand);
    EXPECT_EQ(told, std::vector<std::string>{"1 dropped D f3 0% D4"});
    link.open = true;

    told.clear();  // heard: A1 then "on" for house A, then house A all_units_off alone (C3,
                   // the last device sent to, is of another house and is not named)
    Feed(B({0x5A}));
    Feed(B({0x03, 0x02, 0x66, 0x62}));
    Feed(B({0x5A}));
    Feed(B({0x02, 0x01, 0x60}));
    EXPECT_EQ(told, (std::vector<std::string>{"3 done A f2 0% A1", "3 done A f0 0%"}));
}

// One sender's thousand commands fill the queue; another sender still gets in, and its
// command is the next but one on the power line. Each sender keeps its own order.
TEST_F(Cm11aEngineTest, SendersAreServedInTurnAndAFullQueueMakesRoomForAnotherSender) {
    std::vector<std::string> done;
    engine->SetActivityObserver([&](const X10Activity& a) {
        if (a.Completed) done.push_back(a.Devices.at(0));
    });
    AnswerLikeInterface(sim, link, *engine, 1);  // no time passes while the commands are queued
    for (std::size_t i = 0; i < Cm11aEngine::kQueueLimit; ++i) {
        engine->SendCM11A(std::string(1, static_cast<char>('A' + i % 16)) + std::to_string(1 + i / 16 % 16), 2, 0,
                          X10Origin::XapRequest, -1, 0, "xAP flood");
    }
    EXPECT_EQ(engine->QueueRoom("xAP flood"), 0u);
    EXPECT_GT(engine->QueueRoom("xAP other"), 0u);
    for (int i = 0; i < 2; ++i) engine->SendCM11A("A1", 2, 0, X10Origin::XapRequest, -1, 0, "xAP flood");
    EXPECT_EQ(Reports(), std::vector<std::string>(2, "SendCM11A refused A1: 1000 commands are already waiting"));
    engine->SendCM11A("P16", 3, 0, X10Origin::XapRequest, -1, 0, "xAP other");
    engine->SendCM11A("P15", 3, 0, X10Origin::XapRequest, -1, 0, "xAP other");
    EXPECT_EQ(engine->TransmitQueue().size(), Cm11aEngine::kQueueLimit);
    for (int i = 0; i < 100 && done.size() < 4; ++i) sim.Advance(10);
    ASSERT_GE(done.size(), 4u);
    EXPECT_EQ(done[1], "P16");
    EXPECT_EQ(done[3], "P15");
    EXPECT_EQ(done[2], "B1");  // the flood's own order is kept
}
