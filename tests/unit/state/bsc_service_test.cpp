// The BSC endpoints in simulated time: which endpoints a command or query reaches, what is
// answered, the periodic info, and how the state file is saved and read back.
#include "bsc/bsc_service.h"
#include "platform/sim/sim_platform.h"
#include "test_support/recording_node.h"
#include "test_support/temp_dir.h"

#include <gtest/gtest.h>

using namespace quorvel;
using cm11a::X10Origin;

namespace {

constexpr const char* kSource = "zeb.CM11A.box";

struct BscFixture : ::testing::Test {
    BscFixture()
        : reporter(sim),
          bsc(sim, reporter, settings,
              {[this](const std::string& dc, int f, int steps, const std::string&) { queued.push_back(dc + " " + std::to_string(f) + " " + std::to_string(steps)); },
               [this](const std::string& dc, int data, const std::string&) { queued.push_back(dc + " preset " + std::to_string(data)); },
               [this] { return ready; },
               [this](const std::string&) { return room - std::min(room, queued.size()); }}) {
        settings.House = "ABCDEFGHIJKLMNOP";
        settings.Ignore = ",A9,";
        reporter.SetLogPath(dir.path() / "log.txt");
        bsc.LoadState(dir.path());
        bsc.Start(&node, kSource, "FF008700", true);
    }
    void Message(const std::string& cls, const std::string& target, const std::string& body) {
        bsc.Readmessage("xap-header\n{\nv=12\nhop=1\nuid=FF777700\nclass=" + cls + "\nsource=acme.ctl.x\ntarget=" +
                        target + "\n}\n" + body);
    }
    void Done(const std::string& device, int function, X10Origin origin = X10Origin::XapRequest, bool done = true) {
        bsc.OnActivity({origin, done, device[0], function, 0, {device}});
    }
    // "class sub-address State Level" of each message sent.
    std::vector<std::string> Sent() {
        std::vector<std::string> out;
        for (const auto& m : node.sent) {
            std::string body = m.data;
            for (char& c : body) c = c == '\0' ? ' ' : c == '\1' ? '=' : c;
            out.push_back(m.cls + " " + m.sub + " " + m.uid + " " + body);
        }
        node.sent.clear();
        return out;
    }

    test::TempDir dir;
    platform::SimPlatform sim;
    core::Reporter reporter;
    core::Settings settings;
    test::RecordingNode node;
    std::vector<std::string> queued;
    bool ready = true;
    std::size_t room = 1000;
    bsc::BscService bsc;
};

using Lines = std::vector<std::string>;

}  // namespace

TEST_F(BscFixture, CommandsReachNamedAndKnownServedEndpointsOnly) {
    Done("B2", 2);
    Done("C3", 3);
    Sent();
    // A wildcard reaches the known endpoints; an ID narrows it to one sub-UID.
    Message("xAPBSC.cmd", "zeb.cm11a.*:*", "output.state.1\n{\nID=*\nState=toggle\n}\n");
    EXPECT_EQ(queued, (Lines{"B2 3 0", "C3 2 0"}));
    Message("xAPBSC.cmd", "zeb.CM11A.box:>", "output.state.1\n{\nID=23\nState=off\n}\n");
    EXPECT_EQ(queued, (Lines{"B2 3 0", "C3 2 0", "C3 3 0"}));
    // A named device is an endpoint before anything is known of it; an ignored one is not.
    Message("xAPBSC.cmd", "zeb.CM11A.box:d4", "output.state.1\n{\nID=*\nLevel=50%\n}\n");
    Message("xAPBSC.cmd", "zeb.CM11A.box:A9", "output.state.1\n{\nID=*\nState=on\n}\n");
    Message("xAPBSC.cmd", "zeb.CM11A.box:A17", "output.state.1\n{\nID=*\nState=on\n}\n");
    Message("xAPBSC.cmd", "zeb.CM11A.other:B2", "output.state.1\n{\nID=*\nState=on\n}\n");
    Message("xAPBSC.cmd", "", "output.state.1\n{\nID=*\nState=on\n}\n");
    EXPECT_EQ(queued, (Lines{"B2 3 0", "C3 2 0", "C3 3 0", "D4 2 0", "D4 4 11"}));
    EXPECT_TRUE(Sent().empty());
}

// Each step's own answer: a repeated wall-switch press says nothing, a BSC command that finds
// the lamp as asked is told so.
TEST_F(BscFixture, ChangesSendEventsAndBscCommandsWithoutChangeOrGivenUpAreAnsweredWithInfo) {
    const std::string event = "xAPBSC.event A1 FF008701 State=on Level=100%";
    const std::string info = "xAPBSC.info A1 FF008701 State=on Level=100%";
    Done("A1", 2, X10Origin::PowerLine);
    EXPECT_EQ(Sent(), (Lines{event}));
    Done("A1", 2, X10Origin::PowerLine);  // pressed again at the wall: no change, no message
    EXPECT_EQ(Sent(), (Lines{}));
    Done("A1", 2, X10Origin::BscCommand);  // a BSC "on" carried out on a lamp already on
    EXPECT_EQ(Sent(), (Lines{info}));
    Done("A1", 3, X10Origin::BscCommand, false);  // given up
    EXPECT_EQ(Sent(), (Lines{info}));
    Done("A1", 3, X10Origin::XapRequest, false);  // given up, not ours to answer
    EXPECT_EQ(Sent(), (Lines{}));
    // Less than one dim step from the level asked for: answered at once.
    Message("xAPBSC.cmd", "zeb.CM11A.box:A1", "output.state.1\n{\nID=01\nLevel=99%\n}\n");
    EXPECT_EQ(Sent(), (Lines{info}));
    Message("xAPBSC.cmd", "zeb.CM11A.box:A1", "output.state.1\n{\nID=01\nState=on\nLevel=100/100\n}\n");
    EXPECT_EQ(Sent(), (Lines{}));
    EXPECT_EQ(queued, (Lines{"A1 2 0"}));  // a full on is sent again: a wall switch may have changed it
    ready = false;  // the CM11A subsystem has not started: the state as it stands
    sim.Advance(bsc::BscService::kAnswerSpacingMs);
    Message("xAPBSC.cmd", "zeb.CM11A.box:A1", "output.state.1\n{\nID=*\nState=off\n}\n");
    EXPECT_EQ(Sent(), (Lines{info}));
    Done("A9", 3);  // ignored device: tracked, never an endpoint
    EXPECT_EQ(Sent(), (Lines{}));
    EXPECT_TRUE(bsc.States().At(8).Known);
}

// "State=?", a parameter not understood and a command with nothing to do are answered with
// the state; an ID matches in two or four digits.
TEST_F(BscFixture, CommandsThatCannotBeCarriedOutAreAnsweredAndIdsMatchInTwoOrFourDigits) {
    Done("B2", 2);
    Sent();
    const std::string info = "xAPBSC.info B2 FF008712 State=on Level=100%";
    for (const char* body : {"ID=12\nState=?\n", "ID=0012\nState=?\nLevel=?\n", "ID=*\nState=dimmer\n",
                             "ID=12\nLevel=lots\n", "ID=12\n"}) {
        sim.Advance(bsc::BscService::kAnswerSpacingMs);
        Message("xAPBSC.cmd", "zeb.CM11A.box:B2", std::string("output.state.1\n{\n") + body + "}\n");
        EXPECT_EQ(Sent(), (Lines{info})) << body;
    }
    EXPECT_TRUE(queued.empty());
    Message("xAPBSC.cmd", "zeb.CM11A.box:B2", "output.state.1\n{\nID=0012\nState=off\n}\n");
    Message("xAPBSC.cmd", "zeb.CM11A.box:B2", "output.state.1\n{\nID=0013\nState=off\n}\n");  // another sub-UID
    EXPECT_EQ(queued, (Lines{"B2 3 0"}));
}

// [Devices]: a switch is an output without a level (a level switches it), a motion sensor and
// a remote are inputs that commands do not switch; house-wide functions reach what they reach
// on the power line.
TEST_F(BscFixture, EachKindIsAnEndpointOfItsOwnSort) {
    settings.Kinds[1] = core::DeviceKind::Switch;  // A2
    settings.Kinds[2] = core::DeviceKind::Motion;  // A3
    settings.Kinds[3] = core::DeviceKind::Remote;  // A4
    Done("A1", 2);
    Done("A2", 2);
    Done("A3", 2, X10Origin::PowerLine);
    ASSERT_EQ(node.sent.size(), 3u);
    EXPECT_EQ(node.sent[1].section, "output.state");
    EXPECT_EQ(node.sent[2].section, "input.state");
    EXPECT_EQ(Sent(), (Lines{"xAPBSC.event A1 FF008701 State=on Level=100%", "xAPBSC.event A2 FF008702 State=on",
                             "xAPBSC.event A3 FF008703 State=on"}));
    Message("xAPBSC.cmd", "zeb.CM11A.box:A2", "output.state.1\n{\nID=*\nLevel=30%\n}\n");
    Message("xAPBSC.cmd", "zeb.CM11A.box:A3", "input.state.1\n{\nID=*\nState=off\n}\n");
    Message("xAPBSC.cmd", "zeb.CM11A.box:A4", "input.state.1\n{\nID=*\nState=on\n}\n");
    EXPECT_EQ(queued, (Lines{"A2 2 0"}));
    EXPECT_EQ(Sent(), (Lines{"xAPBSC.info A3 FF008703 State=on", "xAPBSC.info A4 FF008704 State=?"}));
    // A dim heard for an appliance module changes nothing; "all lights off" reaches lamps only,
    // "all units off" the modules too, never a sensor.
    Done("A2", 4, X10Origin::PowerLine);
    EXPECT_EQ(Sent(), (Lines{}));
    bsc.OnActivity({X10Origin::PowerLine, true, 'A', 6, 0, {}});
    EXPECT_EQ(Sent(), (Lines{"xAPBSC.event A1 FF008701 State=off Level=0%"}));
    bsc.OnActivity({X10Origin::PowerLine, true, 'A', 0, 0, {}});
    EXPECT_EQ(Sent(), (Lines{"xAPBSC.event A2 FF008702 State=off"}));
    EXPECT_EQ(bsc.States().At(2).State, quorvel::state::Power::On);
}

TEST_F(BscFixture, APresetLightTakesItsLevelInOneCommandAndPresetDimsHeardSetLampLevels) {
    settings.Kinds[4] = core::DeviceKind::Preset;  // A5
    settings.Kinds[1] = core::DeviceKind::Switch;  // A2
    auto preset = [&](const std::string& device, int data, X10Origin origin) {
        bsc.OnActivity({origin, true, device[0], 7, 0, {device}, data, 0x31});
    };
    Message("xAPBSC.cmd", "zeb.CM11A.box:A5", "output.state.1\n{\nID=*\nLevel=50%\n}\n");
    EXPECT_EQ(queued, (Lines{"A5 preset 32"}));
    preset("A5", 32, X10Origin::BscCommand);
    EXPECT_EQ(Sent(), (Lines{"xAPBSC.event A5 FF008705 State=on Level=51%"}));
    // Asked again for what it has (as near as 63 levels come): nothing goes out; off is an off.
    Message("xAPBSC.cmd", "zeb.CM11A.box:A5", "output.state.1\n{\nID=*\nLevel=51%\n}\n");
    Message("xAPBSC.cmd", "zeb.CM11A.box:A5", "output.state.1\n{\nID=*\nLevel=0%\n}\n");
    EXPECT_EQ(queued, (Lines{"A5 preset 32", "A5 3 0"}));
    // Heard: a lamp takes the level (bits 7..6 of the data byte are not part of it), an
    // appliance module ignores it, and a preset dim to 0 is off.
    Done("A2", 2);
    Sent();
    preset("A1", 0xC0 | 63, X10Origin::PowerLine);
    preset("A2", 10, X10Origin::PowerLine);
    preset("A5", 0, X10Origin::PowerLine);
    EXPECT_EQ(Sent(), (Lines{"xAPBSC.event A1 FF008701 State=on Level=100%", "xAPBSC.event A5 FF008705 State=off Level=0%"}));
}

TEST_F(BscFixture, TheInterfaceStatusCorrectsKnownDevicesOfItsMonitoredHouse) {
    Done("B1", 2);                              // on
    Done("B2", 3);                              // off
    Done("B3", 3);                              // off
    Message("xAPBSC.query", "zeb.CM11A.box:B4", "request\n{\n}\n");  // known, state unknown
    Done("C1", 3);                              // another house: not the interface's to say
    Sent();
    cm11a::InterfaceStatus status;
    status.House = 'B';
    status.BatteryTimer = 10;
    EXPECT_FALSE(bsc.OnInterfaceStatus(status));  // an interface that never switched a unit knows nothing
    status.On = 0b11110;  // B2, B3, B4 on; B5 (never known here) on too
    status.Dim = 0b0100;  // B3 dimmed
    status.BatteryTimer = cm11a::InterfaceStatus::kBatteryReset;
    EXPECT_FALSE(bsc.OnInterfaceStatus(status));  // nor one that was reset
    EXPECT_EQ(Sent(), (Lines{}));
    status.BatteryTimer = 10;
    EXPECT_TRUE(bsc.OnInterfaceStatus(status));
    EXPECT_EQ(Sent(), (Lines{"xAPBSC.event B1 FF008711 State=off Level=0%", "xAPBSC.event B2 FF008712 State=on Level=100%",
                             "xAPBSC.event B3 FF008713 State=on Level=?", "xAPBSC.event B4 FF008714 State=on Level=100%"}));
    EXPECT_EQ(quorvel::state::OriginText(bsc.States().At(16)), "interface status");
    EXPECT_FALSE(bsc.States().At(20).Known);
    EXPECT_FALSE(bsc.OnInterfaceStatus(status));  // agreeing now
    EXPECT_EQ(Sent(), (Lines{}));
}

TEST_F(BscFixture, QueriesAnswerEachMatchingEndpointPeriodicInfoIsSpreadAndBscOffIsSilent) {
    for (const char* d : {"A1", "B16", "P16"}) Done(d, 3);
    Sent();
    Message("xAPBSC.query", "zeb.CM11A.box:E5", "request\n{\n}\n");
    EXPECT_EQ(Sent(), (Lines{"xAPBSC.info E5 FF008745 State=? Level=?"}));

    // Every known endpoint once per cycle, never two datagrams closer than a slot.
    std::vector<std::uint64_t> times;
    for (int tick = 0; tick < 2 * quorvel::state::kDeviceCount; ++tick) {
        sim.Advance(bsc::BscService::kInfoSlotMs);
        if (!Sent().empty()) times.push_back(sim.NowMs());
    }
    ASSERT_EQ(times.size(), 8u);
    EXPECT_EQ(times[4] - times[0], quorvel::state::kDeviceCount * static_cast<std::uint64_t>(bsc::BscService::kInfoSlotMs));

    // Switched off (BSC=0): silent, while the state is still tracked.
    bsc.Start(&node, kSource, "FF008700", false);
    Done("A1", 2);
    Message("xAPBSC.query", "zeb.CM11A.box:*", "request\n{\n}\n");
    Message("xAPBSC.cmd", "zeb.CM11A.box:A1", "output.state.1\n{\nID=*\nState=off\n}\n");
    sim.Advance(bsc::BscService::kInfoCycleMs + 10000);
    EXPECT_TRUE(Sent().empty());
    EXPECT_TRUE(queued.empty());
    EXPECT_EQ(bsc.States().At(0).State, quorvel::state::Power::On);
}

// Read back by the next start (a damaged file is kept aside): see the restart end to end.
TEST_F(BscFixture, StateIsSavedAtMostOnceASecondAndADamagedFileIsReportedKeptAsideAndIgnored) {
    const auto file = dir.path() / quorvel::state::kStateFileName;
    Done("A1", 2);
    sim.Advance(999);
    EXPECT_FALSE(std::filesystem::exists(file));
    Done("A2", 2);
    sim.Advance(1);
    const std::string first = test::ReadBytes(file);
    EXPECT_NE(first.find("\r\nA2\ton\t100\t"), std::string::npos) << first;
    Done("A3", 2);
    sim.Advance(999);
    EXPECT_EQ(test::ReadBytes(file), first);
    bsc.Stop();  // shutdown writes what waits
    EXPECT_NE(test::ReadBytes(file).find("\r\nA3\ton\t100\t"), std::string::npos);

    // Read back at start, every device is marked restored (until it is heard or sent to).
    {
        bsc::BscService again(sim, reporter, settings, {});
        again.LoadState(dir.path());
        ASSERT_EQ(again.States().KnownCount(), 3u);
        EXPECT_TRUE(again.States().At(2).Restored);
        EXPECT_NE(again.StatusTable().find("(restored)"), std::string::npos) << again.StatusTable();
    }

    test::WriteBytes(file, std::string(quorvel::state::kStateFileHeader) + "\r\nA1\ton\r\n");
    bsc::BscService again(sim, reporter, settings, {});
    again.LoadState(dir.path());
    EXPECT_EQ(again.States().KnownCount(), 0u);
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_TRUE(std::filesystem::exists(file.string() + "_bad"));
    ASSERT_FALSE(reporter.PendingXap().empty());
    EXPECT_NE(reporter.PendingXap().back().MsgData.find("damaged (line 2:"), std::string::npos);
}

// A flood costs what one honest message costs: every endpoint is commanded and answered at
// most once per datagram, a full queue gets one report, and answers are spaced and capped.
TEST_F(BscFixture, OneDatagramCommandsAndAnswersEachEndpointOnceAndAnswersAreSpacedAndCapped) {
    for (int i = 0; i < quorvel::state::kDeviceCount; ++i) Done(quorvel::state::DeviceName(i), 3);
    Sent();
    const std::size_t endpoints = quorvel::state::kDeviceCount - 1;  // A9 is ignored
    std::string blocks;
    for (int b = 0; b < 1800; ++b) {
        const char* kinds[] = {"ID=*\nState=on\n", "ID=*\nState=on\n", "ID=*\nLevel=50%\n", "ID=*\nState=?\n"};
        blocks += "output.state." + std::to_string(b + 1) + "\n{\n" + kinds[b % 4] + "}\n";
    }
    Message("xAPBSC.cmd", "zeb.CM11A.box:*", blocks);
    EXPECT_EQ(queued.size(), endpoints);  // the first block decides for every endpoint
    EXPECT_TRUE(Sent().empty());

    // No room: nothing answered one by one, one report for the datagram.
    queued.clear();
    room = 10;
    node.sent.clear();
    reporter.SetXapRunning(true);
    reporter.SetNode(&node);
    Message("xAPBSC.cmd", "zeb.CM11A.box:*", blocks);
    EXPECT_EQ(queued.size(), room);
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_NE(sent[0].find("refused " + std::to_string(endpoints - room) + " X10 commands"), std::string::npos) << sent[0];

    // 1,000 wildcard queries in 5 s: each endpoint answered at most once a second.
    std::size_t answers = 0;
    for (int q = 0; q < 1000; ++q) {
        Message("xAPBSC.query", "zeb.CM11A.box:*", "request\n{\n}\n");
        answers += Sent().size();
        sim.Advance(5);
    }
    EXPECT_GE(answers, 5 * endpoints);
    EXPECT_LE(answers, 6 * endpoints);
    // Commands given up all at once (the link went) are capped with the answers.
    sim.Advance(bsc::BscService::kAnswerSpacingMs);
    Message("xAPBSC.query", "zeb.CM11A.box:*", "request\n{\n}\n");
    for (int i = 0; i < 2 * quorvel::state::kDeviceCount; ++i) {
        Done(quorvel::state::DeviceName(i % quorvel::state::kDeviceCount), 2, X10Origin::BscCommand, false);
    }
    EXPECT_EQ(Sent().size(), static_cast<std::size_t>(bsc::BscService::kAnswersPerSecond));
}
