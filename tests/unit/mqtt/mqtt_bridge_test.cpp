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
        {"retained command", "quorvel/box/A1/set", "ON", true, {}},
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
    EXPECT_EQ(transport.last.WillTopic, "quorvel/box/status");
    EXPECT_EQ(transport.last.WillPayload, "offline");
    EXPECT_TRUE(transport.last.WillRetain);
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
    EXPECT_EQ(transport.PayloadsOn("homeassistant/light/quorvel_box_B5/config").size(), 1u);
    sim.Advance(MqttBridge::kServedCheckMs);  // the served set's check finds nothing new to send
    using P = std::vector<std::string>;
    EXPECT_EQ(transport.PayloadsOn("quorvel/box/A1/state"), (P{"ON", "ON", "OFF"}));
    EXPECT_EQ(transport.PayloadsOn("quorvel/box/A2/state"), (P{"OFF"}));
    EXPECT_EQ(transport.PayloadsOn("quorvel/box/B5/state"), (P{"unknown"}));
    EXPECT_EQ(transport.PayloadsOn("homeassistant/light/quorvel_box_A1/config").size(), 2u);  // once a connection
}

TEST_F(MqttBridging, DiscoveryFollowsTheServedSetAndCommandsUnderThePrefixOfDiscoveryAreStillCommands) {
    mqtt.TopicPrefix = "homeassistant/x10";
    auto& b = Connected();
    b.DeviceChanged(0, {Power::On, 100});
    b.DeviceChanged(16, {Power::On, 100});  // B1
    settings.House = "A";                    // B leaves the served set
    sim.Advance(MqttBridge::kServedCheckMs);
    EXPECT_EQ(transport.PayloadsOn("homeassistant/light/quorvel_box_B1/config").back(), "");
    // A config of ours left by an earlier run for an unserved device is removed; others stay.
    transport.sent.clear();
    transport.Deliver("homeassistant/light/quorvel_box_C3/config", "{}", true);
    transport.Deliver("homeassistant/light/quorvel_box_A5/config", "{}", true);
    transport.Deliver("homeassistant/light/kitchen/config", "{}", true);
    EXPECT_EQ(transport.sent, (std::vector<Published>{{"homeassistant/light/quorvel_box_C3/config", "", true}}));
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
