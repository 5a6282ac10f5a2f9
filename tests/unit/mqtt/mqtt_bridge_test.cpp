// The bridge against a scripted transport, in simulated time.
#include "mqtt/mqtt_bridge.h"
#include "platform/sim/sim_platform.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

using namespace quorvel::mqtt;

namespace {

struct Published { std::string topic, payload; bool retain; bool operator==(const Published&) const = default; };

class FakeTransport : public MqttTransport {
public:
    void SetHandlers(Handlers h) override { handlers = std::move(h); }
    bool Connect(const ConnectOptions& o, std::string& error) override {
        ++attempts;
        last = o;
        up = !refuse;
        if (refuse) error = "connection refused";
        return up;
    }
    void Disconnect(bool clean) override {
        up = false;
        if (clean) ++cleanGoodbyes;
    }
    bool Publish(const std::string& t, const std::string& p, int qos, bool retain) override {
        if (!up) return false;
        EXPECT_EQ(qos, 1) << t;
        sent.push_back({t, p, retain});
        return true;
    }
    bool Subscribe(const std::string&, int) override { return up; }
    // The broker's side.
    void Accept() { handlers.Connected(); }
    void Drop(const std::string& reason) {
        up = false;
        handlers.Lost(reason);
    }
    void Deliver(const std::string& topic, const std::string& payload, bool retained = false) {
        handlers.Message(topic, payload, retained);
    }
    std::vector<std::string> PayloadsOn(const std::string& topic) const {
        std::vector<std::string> out;
        for (const auto& p : sent) {
            if (p.topic == topic) out.push_back(p.payload);
        }
        return out;
    }

    Handlers handlers;
    ConnectOptions last;
    bool refuse = false, up = false;
    int attempts = 0, cleanGoodbyes = 0;
    std::vector<Published> sent;
};

struct MqttBridging : ::testing::Test {
    MqttBridging() : reporter(sim) {
        reporter.SetConsole([this](const std::string& line) { reports.push_back(line); });
        mqtt.Host = "127.0.0.1";
        mqtt.TopicPrefix = "quorvel/box";
        mqtt.ComputerName = "box";
        settings.UID = "FF00AB00";
    }
    // What was published since the last call (each step's own output).
    std::vector<Published> Step() {
        auto out = transport.sent;
        transport.sent.clear();
        return out;
    }
    // The same, one line each: "topic=payload", without the payload of a discovery config
    // that is not a removal or of an event; "(live)" when not retained.
    std::vector<std::string> BriefStep() {
        std::vector<std::string> out;
        for (const Published& p : Step()) {
            const bool bulky = p.topic.ends_with("/event") || (p.topic.ends_with("/config") && !p.payload.empty());
            out.push_back(p.topic + (bulky ? "" : "=" + p.payload) + (p.retain ? "" : " (live)"));
        }
        return out;
    }
    MqttBridge& Make() {
        bridge = std::make_unique<MqttBridge>(
            sim, reporter, settings, transport, mqtt,
            MqttBridge::Hooks{[this](const std::string& d, int f, int s) { queued.emplace_back(d, f, s); },
                              [this] { return ready; }});
        return *bridge;
    }
    MqttBridge& Connected() {
        Make().Start();
        transport.Accept();
        transport.sent.clear();
        reports.clear();
        return *bridge;
    }

    quorvel::platform::SimPlatform sim;
    quorvel::core::Reporter reporter;
    quorvel::core::Settings settings;
    FakeTransport transport;
    MqttSettings mqtt;
    std::unique_ptr<MqttBridge> bridge;
    bool ready = true;
    std::vector<std::tuple<std::string, int, int>> queued;
    std::vector<std::string> reports;
};

using Q = std::vector<std::tuple<std::string, int, int>>;

}  // namespace

TEST_F(MqttBridging, UnansweredOrRefusedAttemptsAreRetriedFromOneSecondDoublingToAMinuteWithOneReportPerOutage) {
    Make().Start();  // the broker never answers
    sim.Advance(MqttBridge::kConnectTimeoutMs);
    EXPECT_FALSE(transport.up);
    transport.refuse = true;
    // Attempt n+1 comes 1, 2, 4, ... 60, 60 s after attempt n (or after giving up on it).
    const std::vector<int> gaps = {1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000};
    for (int gap : gaps) {
        const int before = transport.attempts;
        sim.Advance(static_cast<std::uint64_t>(gap - 1));
        EXPECT_EQ(transport.attempts, before) << "too early for the gap of " << gap;
        sim.Advance(1);
        EXPECT_EQ(transport.attempts, before + 1) << "gap " << gap;
    }
    EXPECT_EQ(reports.size(), 1u);  // one for the whole outage
    // Recovery and a new loss are reported, and the pacing starts again from one second.
    transport.refuse = false;
    sim.Advance(60000);
    transport.Accept();
    transport.Drop("connection lost");
    EXPECT_EQ(reports.size(), 3u);
    const int before = transport.attempts;
    sim.Advance(1000);
    EXPECT_EQ(transport.attempts, before + 1);
}

TEST_F(MqttBridging, SetCommandsGoThroughTheFiltersIntoTheQueue) {
    settings.House = "AB";
    settings.Ignore = ",B7,";
    // Every command that is not queued is refused with one report.
    struct Case { const char* name; std::string topic, payload; bool retained; Q expected; };
    const std::vector<Case> cases = {
        {"off, lower case device", "quorvel/box/b2/set", "off", false, {{"B2", 3, 0}}},
        {"brightness from unknown", "quorvel/box/A3/set", "50", false, {{"A3", 2, 0}, {"A3", 4, 11}}},
        {"house not served", "quorvel/box/C1/set", "ON", false, {}},
        {"no such device", "quorvel/box/A99/set", "ON", false, {}},
    };
    Connected();
    for (const Case& c : cases) {
        queued.clear();
        reports.clear();
        transport.Deliver(c.topic, c.payload, c.retained);
        EXPECT_EQ(queued, c.expected) << c.name;
        EXPECT_EQ(reports.size(), c.expected.empty() ? 1u : 0u) << c.name;
    }
    ready = false;  // the CM11A subsystem has not started
    reports.clear();
    transport.Deliver("quorvel/box/A1/set", "ON");
    EXPECT_TRUE(queued.empty());
    EXPECT_EQ(reports.size(), 1u);
}

TEST_F(MqttBridging, ACommandBeforeTheLastIsCarriedOutIsPlannedFromWhereThatOneLeavesTheLamp) {
    auto& b = Connected();
    b.DeviceChanged(0, {Power::On, 100});
    transport.Deliver("quorvel/box/A1/set", "50");  // dim 11: the lamp will be at 50
    transport.Deliver("quorvel/box/A1/set", "25");  // from 50, not from 100
    transport.Deliver("quorvel/box/A1/set", "OFF");
    transport.Deliver("quorvel/box/A1/set", "30");  // from off: on, then dim
    EXPECT_EQ(queued, (Q{{"A1", 4, 11}, {"A1", 4, 6}, {"A1", 3, 0}, {"A1", 2, 0}, {"A1", 4, 15}}));
    for (int n = 0; n < 5; ++n) b.CommandDone(0);
    b.DeviceChanged(0, {Power::On, 41});  // not the 32 planned: a wall switch had its say
    queued.clear();
    transport.Deliver("quorvel/box/A1/set", "50");  // all done: from the state again
    EXPECT_EQ(queued, (Q{{"A1", 5, 2}}));
}

TEST_F(MqttBridging, EveryConnectionSetsTheWillAndRepublishesAllRetainedAndStatesGoOutOnlyWhenTheyChange) {
    auto& b = Make();
    b.DeviceKnown(0, {Power::On, 100});  // restored before the first connection
    b.Start();
    const ConnectOptions& o = transport.last;
    EXPECT_EQ(o.WillTopic + "=" + o.WillPayload + (o.WillRetain ? " retained" : ""), "quorvel/box/status=offline retained");
    transport.Accept();
    ASSERT_FALSE(transport.sent.empty());
    EXPECT_EQ(transport.sent[0], (Published{"quorvel/box/status", "online", true}));
    transport.Drop("broker restarted");
    b.DeviceChanged(1, {Power::Off, 0});  // A2 changes during the outage
    sim.Advance(1000);
    transport.Accept();
    b.DeviceChanged(0, {Power::On, 60});  // still ON: not published again
    b.DeviceChanged(0, {Power::Off, 0});
    b.DeviceChanged(20, {Power::Unknown, kUnknownLevel});  // B5
    EXPECT_EQ(transport.PayloadsOn("homeassistant/light/quorvel_ff00ab00_b5/config").size(), 1u);
    sim.Advance(MqttBridge::kServedCheckMs);  // the served set's check finds nothing new to send
    using P = std::vector<std::string>;
    EXPECT_EQ(transport.PayloadsOn("quorvel/box/A1/state"), (P{"ON", "ON", "OFF"}));
    EXPECT_EQ(transport.PayloadsOn("quorvel/box/A2/state"), (P{"OFF"}));
    EXPECT_EQ(transport.PayloadsOn("quorvel/box/B5/state"), (P{"None"}));
    EXPECT_EQ(transport.PayloadsOn("homeassistant/light/quorvel_ff00ab00_a1/config").size(), 2u);  // once a connection
    EXPECT_EQ(transport.last.ClientId, "quorvel-ff00ab00");  // the UID's, never the host name's
}

TEST_F(MqttBridging, DiscoveryFollowsTheServedSetAndCommandsUnderThePrefixOfDiscoveryAreStillCommands) {
    mqtt.TopicPrefix = "homeassistant/x10";
    auto& b = Connected();
    b.DeviceChanged(0, {Power::On, 100});
    b.DeviceChanged(16, {Power::On, 100});  // B1
    settings.House = "A";                    // B leaves the served set
    sim.Advance(MqttBridge::kServedCheckMs);
    EXPECT_EQ(transport.PayloadsOn("homeassistant/light/quorvel_ff00ab00_b1/config").back(), "");
    // A config of ours left by an earlier run for an unserved or unknown device is removed,
    // and so is one of an earlier version (ids from the host name); others stay.
    transport.sent.clear();
    transport.Deliver("homeassistant/light/quorvel_ff00ab00_c3/config", "{}", true);
    transport.Deliver("homeassistant/light/quorvel_ff00ab00_a5/config", "{}", true);
    transport.Deliver("homeassistant/light/quorvel_ff00ab00_a1/config", "{}", true);
    transport.Deliver("homeassistant/light/quorvel_box_A1/config", "{}", true);
    transport.Deliver("homeassistant/light/quorvel_ff00ab01_a5/config", "{}", true);  // another connector's
    transport.Deliver("homeassistant/light/kitchen/config", "{}", true);
    EXPECT_EQ(transport.sent, (std::vector<Published>{{"homeassistant/light/quorvel_ff00ab00_c3/config", "", true},
                                                      {"homeassistant/light/quorvel_ff00ab00_a5/config", "", true},
                                                      {"homeassistant/light/quorvel_box_A1/config", "", true}}));
    EXPECT_TRUE(reports.empty());
    transport.Deliver("homeassistant/x10/A1/set", "ON");
    EXPECT_EQ(queued, (Q{{"A1", 2, 0}}));
}

TEST_F(MqttBridging, EventsOfDevicesArePublishedAndStoppingSaysOfflineAndGoodbyeAndABridgeOffNeverConnects) {
    auto& b = Connected();
    b.Event({"A1", "on", 100, "xap", "t"});
    b.Event({"Z1", "on", 100, "xap", "t"});  // not a device: nothing
    EXPECT_EQ(transport.PayloadsOn("quorvel/box/event").size(), 1u);
    b.Stop();
    EXPECT_EQ(transport.PayloadsOn("quorvel/box/status"), (std::vector<std::string>{"offline"}));
    EXPECT_EQ(transport.cleanGoodbyes, 1);
    mqtt.Host.clear();
    reports.clear();
    Make().Start();
    sim.Advance(120000);
    EXPECT_EQ(transport.attempts, 1);  // the first bridge's only connection
    EXPECT_TRUE(reports.empty());
}

// A light's level reaches its brightness topic whoever changed it: a wall switch's dim is
// published as it was heard, each step on its own.
TEST_F(MqttBridging, EveryLevelChangeReachesTheBrightnessTopicAndOffOrUnknownSayNothingThere) {
    auto& b = Connected();
    using P = std::vector<Published>;
    b.DeviceChanged(0, {Power::On, 100});
    EXPECT_EQ(Step(), (P{{"homeassistant/light/quorvel_ff00ab00_a1/config",
                          DiscoveryConfig({"quorvel/box", "homeassistant", "ff00ab00", "box"}, "A1", DeviceKind::Light), true},
                         {"quorvel/box/A1/state", "ON", true},
                         {"quorvel/box/A1/brightness", "100", true}}));
    b.DeviceChanged(0, {Power::On, 23});  // heard: dimmed at the wall
    EXPECT_EQ(Step(), (P{{"quorvel/box/A1/brightness", "23", true}}));
    b.DeviceChanged(0, {Power::Off, 0});
    EXPECT_EQ(Step(), (P{{"quorvel/box/A1/state", "OFF", true}}));
    b.DeviceChanged(0, {Power::On, kUnknownLevel});  // dimmed from an unknown level
    EXPECT_EQ(Step(), (P{{"quorvel/box/A1/state", "ON", true}}));
    b.DeviceChanged(0, {Power::On, 23});  // the same level as last told: the state alone
    EXPECT_EQ(Step(), (P{}));
    b.DeviceChanged(0, {Power::On, 100});
    EXPECT_EQ(Step(), (P{{"quorvel/box/A1/brightness", "100", true}}));
}

// A retained command is refused live and when the broker replays it, with one report per
// topic; clearing it says nothing, and a new one is reported again.
TEST_F(MqttBridging, RetainedCommandsAreRefusedLiveAndReplayedWithOneReportPerTopic) {
    Connected();
    transport.Deliver("quorvel/box/A1/set", "ON", true);  // live, retain as published
    EXPECT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("mosquitto_pub -r -n -t quorvel/box/A1/set"), std::string::npos) << reports[0];
    transport.Drop("broker restarted");
    sim.Advance(1000);
    transport.Accept();
    reports.clear();
    transport.Deliver("quorvel/box/A1/set", "ON", true);  // replayed at the new subscription
    transport.Deliver("quorvel/box/A2/set", "50", true);
    EXPECT_EQ(reports.size(), 1u);  // A2's only
    transport.Deliver("quorvel/box/A1/set", "", true);  // cleared
    transport.Deliver("quorvel/box/A1/set", "OFF", true);
    EXPECT_EQ(reports.size(), 2u);
    EXPECT_TRUE(queued.empty());
}

// [Devices]: a switch takes on and off (a brightness is one of them), a motion sensor and a
// remote are heard only; each is discovered as its component, a remote's presses are events,
// and a device gets an entity only when listed, switched or heard.
TEST_F(MqttBridging, EachKindIsDiscoveredAsItsComponentAndTakesOnlyWhatItCanDo) {
    settings.Kinds[1] = DeviceKind::Switch;  // A2
    settings.Kinds[2] = DeviceKind::Motion;  // A3
    settings.Kinds[3] = DeviceKind::Remote;  // A4
    settings.Listed[2] = true;
    auto& b = Make();
    b.Start();
    transport.Accept();  // the listed sensor has its entity before it is heard; nothing else has one
    using S = std::vector<std::string>;
    EXPECT_EQ(BriefStep(), (S{"quorvel/box/status=online", "homeassistant/binary_sensor/quorvel_ff00ab00_a3/config",
                              "quorvel/box/A3/state=None"}));
    reports.clear();

    transport.Deliver("quorvel/box/A2/set", "40");
    transport.Deliver("quorvel/box/A2/set", "0");
    transport.Deliver("quorvel/box/A3/set", "ON");
    transport.Deliver("quorvel/box/A4/set", "ON");
    EXPECT_EQ(queued, (Q{{"A2", 2, 0}, {"A2", 3, 0}}));
    EXPECT_EQ(reports.size(), 2u);

    b.DeviceChanged(1, {Power::On, 100});  // no brightness for an appliance module
    EXPECT_EQ(BriefStep(), (S{"homeassistant/switch/quorvel_ff00ab00_a2/config", "quorvel/box/A2/state=ON"}));
    b.DeviceChanged(3, {Power::On, 100});
    b.Event({"A4", "on", 100, "heard", "t"});  // a remote has no state
    EXPECT_EQ(BriefStep(), (S{"homeassistant/event/quorvel_ff00ab00_a4/config", "quorvel/box/event (live)",
                              R"(quorvel/box/A4/press={"event_type":"on"} (live))"}));

    settings.Kinds[1] = DeviceKind::Light;  // [Devices] changed: the switch becomes a light
    settings.Listed[2] = false;             // and the sensor, never heard, goes
    sim.Advance(MqttBridge::kServedCheckMs);
    EXPECT_EQ(BriefStep(), (S{"homeassistant/switch/quorvel_ff00ab00_a2/config=", "homeassistant/light/quorvel_ff00ab00_a2/config",
                              "quorvel/box/A2/brightness=100", "homeassistant/binary_sensor/quorvel_ff00ab00_a3/config="}));
}
