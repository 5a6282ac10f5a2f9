// The device state model: transitions and level arithmetic, house-wide functions, the state
// file's text, and the levels, sub-UIDs and on/off setting of the BSC endpoints.
#include "bsc/bsc_service.h"
#include "state/device_state.h"

#include <gtest/gtest.h>

using namespace quorvel::state;
using quorvel::bsc::EndpointUid;
using quorvel::bsc::ParseLevel;

namespace {

constexpr int U = kUnknownLevel;
constexpr int kOn = 2, kOff = 3, kDim = 4, kBright = 5, kStatusOn = 13, kHail = 8, kPreset = 10;

}  // namespace

TEST(DeviceStates, FunctionsGiveTheStateAndLevel) {
    struct Case { const char* name; Power fromPower; int fromLevel, function, amount; Power toPower; int toLevel; };
    for (const Case& t : {
             Case{"off from unknown is zero", Power::Unknown, U, kOff, 0, Power::Off, 0},
             Case{"bright from an unknown level stays unknown", Power::On, U, kBright, 30, Power::On, U},
             Case{"dim below zero is off", Power::On, 20, kDim, 50, Power::Off, 0},
             Case{"bright above full stops at full", Power::On, 90, kBright, 50, Power::On, 100},
             Case{"dim from off lights up full first", Power::Off, 0, kDim, 40, Power::On, 60},
             Case{"status on keeps a known on level", Power::On, 40, kStatusOn, 0, Power::On, 40},
             Case{"status on of an off device has no level", Power::Off, 0, kStatusOn, 0, Power::On, U},
             Case{"preset dim has no tracked level", Power::Off, 0, kPreset, 0, Power::On, U},
             Case{"hail changes nothing", Power::On, 40, kHail, 0, Power::On, 40}}) {
        SCOPED_TRACE(t.name);
        DeviceState from;
        from.State = t.fromPower;
        from.Level = t.fromLevel;
        const DeviceState after = Next(from, t.function, t.amount);
        EXPECT_EQ(after.State, t.toPower);
        EXPECT_EQ(after.Level, t.toLevel);
    }
}

TEST(DeviceStates, HouseWideFunctionsReachEveryKnownDeviceOfTheHouseOnly) {
    DeviceStates m;
    m.Apply(Origin::XapRequest, 'A', kOn, 0, {"A1", "a3"}, "t1");
    m.Apply(Origin::XapRequest, 'B', kOn, 0, {"B1"}, "t1");
    const auto changes = m.Apply(Origin::PowerLine, 'a', 0 /* all_units_off */, 0, {"C9"}, "t2");
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(m.At(0).State, Power::Off);
    EXPECT_EQ(m.At(16).State, Power::On);  // B1
    EXPECT_FALSE(m.At(40).Known);          // C9 is not addressed by a house-wide function
    // No change: the time and origin of the last change stay.
    m.Apply(Origin::Typed, 'A', kOff, 0, {"A1"}, "t3");
    EXPECT_EQ(m.At(0).LastChange, "t2");
    EXPECT_EQ(m.KnownCount(), 3u);
    // A function reaches the addressed devices of its own house only.
    EXPECT_TRUE(m.Apply(Origin::PowerLine, 'B', kOn, 0, {"A1", "D2"}, "t4").empty());
}

TEST(DeviceStates, FileTextRoundTrips) {
    DeviceStates m;
    m.Apply(Origin::BscCommand, 'P', kOn, 0, {"P16"}, "2026-12-06 10:00:00");
    m.Apply(Origin::PowerLine, 'A', kDim, 30, {"A1"}, "2026-12-06 10:00:01");
    const std::string text = m.Serialize();
    EXPECT_EQ(text, std::string(kStateFileHeader) + "\r\nA1\ton\t?\t2026-12-06 10:00:01\theard\tdim\tconfirmed\r\n" +
                        "P16\ton\t100\t2026-12-06 10:00:00\tbsc\ton\tconfirmed\r\n");
    DeviceStates back;
    ASSERT_EQ(back.Parse(text, false), std::nullopt);
    EXPECT_EQ(back.Serialize(), text);
}

TEST(DeviceStates, DamagedFileTextsAreRefusedWithTheirLineAndLeaveNothing) {
    const std::string head = std::string(kStateFileHeader) + "\r\n";
    const std::string good = "A1\ton\t100\t2026-12-06 10:00:00\tbsc\ton\tconfirmed\r\n";
    for (const auto& [text, why] : std::vector<std::pair<std::string, std::string>>{
             {"garbage\r\n" + good, "line 1: not a device state file"},
             {head + good + "Q1\ton\t100\t\tbsc\ton\tconfirmed\r\n", "line 3: no device code: Q1"},
             {head + "A1\ton\t101\t\tbsc\ton\tconfirmed\r\n", "line 2: no level: 101"},
             {head + "A1\ton\r\n", "line 2: expected 7 fields, found 2"}}) {
        DeviceStates m;
        m.Apply(Origin::Typed, 'B', kOn, 0, {"B2"}, "t");
        EXPECT_EQ(m.Parse(text).value_or("accepted"), why);
        EXPECT_EQ(m.KnownCount(), 0u);
    }
}

TEST(BscLevels, AreReadAsPercentOrFractionAndBareNumbersAreRefused) {
    EXPECT_EQ(ParseLevel(" 40 % "), 40);
    EXPECT_EQ(ParseLevel("160/255"), 63);
    for (const char* bad : {"40", "", "%", "-5%", "101%", "1/0", "x/2", "3/2", "1e9%"}) {
        EXPECT_EQ(ParseLevel(bad), std::nullopt) << bad;
    }
}

TEST(BscSubUids, FollowTheConnectorsUidAndPutP15AndP16UnderTheNextDeviceIdentifier) {
    EXPECT_EQ(EndpointUid("ff00ab00", 253), "FF00ABFE");   // P14
    EXPECT_EQ(EndpointUid("FF008700", 254), "FF008801");   // P15
    EXPECT_EQ(EndpointUid("FF008700", 255), "FF008802");   // P16
    EXPECT_EQ(EndpointUid("FFFFFE00", 255), "FFFFFD02");   // FFFF is reserved
    EXPECT_EQ(EndpointUid("not-a-uid", 1), "FF008702");
}

TEST(BscSetting, OnlyZeroOrFalseTurnsTheEndpointsOffAndOddValuesAreFlagged) {
    bool understood = false;
    EXPECT_TRUE(quorvel::bsc::BscSettingOn("", understood));
    EXPECT_FALSE(quorvel::bsc::BscSettingOn("0", understood));
    EXPECT_FALSE(quorvel::bsc::BscSettingOn(" \"False\" ", understood));
    EXPECT_TRUE(understood);
    EXPECT_TRUE(quorvel::bsc::BscSettingOn("maybe", understood));
    EXPECT_FALSE(understood);
}
