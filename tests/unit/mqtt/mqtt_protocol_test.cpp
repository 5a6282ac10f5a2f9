// Settings, topics, payloads, dim arithmetic and the texts the bridge publishes.
#include "host/ini_tool.h"
#include "mqtt/mqtt_protocol.h"
#include "mqtt/mqtt_settings.h"
#include "platform/sim/sim_platform.h"
#include "test_support/temp_dir.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

using namespace quorvel::mqtt;

namespace {

MqttSettings Read(const std::map<std::string, std::string>& ini, std::vector<std::string>& problems) {
    const auto get = [&](const std::string& key, const std::string& def) {
        const auto it = ini.find(key);
        return it == ini.end() || it->second.empty() ? def : it->second;
    };
    return ReadMqttSettings(get, "mybox", problems);
}

}  // namespace

TEST(MqttSettings, BrokerAndTopicPrefixAreParsedOrFallBackWithAReport) {
    using Ini = std::map<std::string, std::string>;
    struct Case { const char* name; Ini ini; std::string host; int port; std::string prefix; bool problem; };
    const std::string own = "quorvel/mybox";
    const std::vector<Case> cases = {
        {"bare host", {{"Broker", "broker.lan"}}, "broker.lan", 1883, own, false},
        {"bare host with TLS", {{"Broker", "broker.lan"}, {"CAFile", "/etc/ca.pem"}}, "broker.lan", 8883, own, false},
        {"bracketed IPv6", {{"Broker", "[::1]:1883"}}, "::1", 1883, own, false},
        {"bare IPv6", {{"Broker", "::1"}}, "", 1883, own, true},
        {"port zero", {{"Broker", "h:0"}}, "", 1883, own, true},
        {"port too big", {{"Broker", "h:65536"}}, "", 1883, own, true},
        {"port not a number", {{"Broker", "h:12a"}}, "", 1883, own, true},
        {"blank in host", {{"Broker", "my host:1883"}}, "", 1883, own, true},
        {"trailing slash dropped", {{"Broker", "h"}, {"TopicPrefix", "house/"}}, "h", 1883, "house", false},
        {"wildcard", {{"Broker", "h"}, {"TopicPrefix", "house/#"}}, "h", 1883, own, true},
        {"empty level", {{"Broker", "h"}, {"TopicPrefix", "a//b"}}, "h", 1883, own, true},
        {"leading slash", {{"Broker", "h"}, {"TopicPrefix", "/a"}}, "h", 1883, own, true},
    };
    for (const Case& c : cases) {
        std::vector<std::string> problems;
        const MqttSettings s = Read(c.ini, problems);
        EXPECT_EQ(s.Host + ":" + std::to_string(s.Port) + " " + s.TopicPrefix + (problems.empty() ? "" : " (reported)"),
                  c.host + ":" + std::to_string(c.port) + " " + c.prefix + (c.problem ? " (reported)" : "")) << c.name;
    }
    std::vector<std::string> problems;
    const MqttSettings s = Read({{"Broker", "h"}, {"Discovery", "0"}, {"DiscoveryPrefix", "ha+"}}, problems);
    EXPECT_FALSE(s.Discovery);
    EXPECT_EQ(s.DiscoveryPrefix, "homeassistant");
    // With the bridge off nothing is reported, however odd the other keys.
    problems.clear();
    EXPECT_FALSE(Read({{"TopicPrefix", "#"}, {"DiscoveryPrefix", "+"}, {"Password", "p"}}, problems).Enabled());
    EXPECT_TRUE(problems.empty());
}

TEST(MqttTopics, OnlySetTopicsOfRealDevicesNameADevice) {
    struct Case { const char* name; std::string topic; std::optional<std::string> device; };
    const std::vector<Case> cases = {
        {"lower case", "quorvel/box/p16/set", "P16"},
        {"unit 17", "quorvel/box/A17/set", std::nullopt},
        {"unit 0", "quorvel/box/A0/set", std::nullopt},
        {"house Q", "quorvel/box/Q1/set", std::nullopt},
        {"state topic", "quorvel/box/A1/state", std::nullopt},
        {"other prefix", "quorvel/boxx/A1/set", std::nullopt},
        {"no device", "quorvel/box//set", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(SetTopicDevice("quorvel/box", c.topic), c.device) << c.name;
}

TEST(MqttTopics, PayloadsAreOnOffOrABrightness) {
    using K = SetCommand::Kind;
    struct Case { const char* name; std::string payload; std::optional<SetCommand> expected; };
    const std::vector<Case> cases = {
        {"Off with blanks and newline", " Off\n", SetCommand{K::Off, 0}},
        {"zero", "0", SetCommand{K::Level, 0}},
        {"hundred", "100", SetCommand{K::Level, 100}},
        {"above range", "101", std::nullopt},
        {"negative", "-1", std::nullopt},
        {"empty", "", std::nullopt},
    };
    for (const Case& c : cases) {
        std::string error;
        const auto got = ParseSetPayload(c.payload, error);
        EXPECT_EQ(got, c.expected) << c.name;
        EXPECT_EQ(error.empty(), c.expected.has_value()) << c.name;
    }
}

TEST(MqttLevels, BrightnessIsReachedByStepsFromAKnownLevel) {
    using K = SetCommand::Kind;
    using S = std::vector<X10Step>;
    struct Case { const char* name; DeviceView now; SetCommand want; S expected; };
    const std::vector<Case> cases = {
        {"level 0 is off", {Power::On, 100}, {K::Level, 0}, {{kFunctionOff, 0}}},
        {"level 100 is on", {Power::On, 50}, {K::Level, 100}, {{kFunctionOn, 0}}},
        {"on at an unknown level", {Power::On, kUnknownLevel}, {K::Level, 50}, {{kFunctionOn, 0}, {kFunctionDim, 11}}},
        {"99 from off is a full on", {Power::Off, 0}, {K::Level, 99}, {{kFunctionOn, 0}}},
        // Less than one step from off is the lowest step, never off.
        {"1 from full is the lowest step", {Power::On, 100}, {K::Level, 1}, {{kFunctionDim, 21}}},
        {"2 from off is the lowest step", {Power::Off, 0}, {K::Level, 2}, {{kFunctionOn, 0}, {kFunctionDim, 21}}},
    };
    for (const Case& c : cases) EXPECT_EQ(PlanCommands(c.now, c.want), c.expected) << c.name;
}

TEST(MqttTexts, EventsAreJsonWithEscapedText) {
    EXPECT_EQ(EventJson({"B2", "status_request", -1, "power line", "t"}),
              R"({"device":"B2","function":"status_request","brightness":null,"origin":"power line","time":"t"})");
    EXPECT_EQ(JsonString(std::string("a\"b\\c\n\x01", 7)), R"("a\"b\\c\n\u0001")");
}

// Each kind's config holds the keys Home Assistant documents for its component and no other
// (object_id is no longer honoured), and its ids come from the UID, never the host name.
TEST(MqttTexts, EachKindsDiscoveryConfigUsesItsComponentsDocumentedKeysAndIdsFromTheUid) {
    const std::set<std::string> common = {"name", "unique_id", "default_entity_id", "qos", "availability_topic",
                                          "payload_available", "payload_not_available", "device", "origin"};
    struct Case {
        DeviceKind kind;
        std::string component;
        std::set<std::string> keys;  // besides the common ones: all of them are published
    };
    const std::vector<Case> cases = {
        {DeviceKind::Light, "light",
         {"command_topic", "state_topic", "brightness_command_topic", "brightness_state_topic", "brightness_scale",
          "on_command_type", "payload_on", "payload_off", "retain", "optimistic"}},
        {DeviceKind::Switch, "switch", {"command_topic", "state_topic", "payload_on", "payload_off", "retain", "optimistic"}},
        {DeviceKind::Motion, "binary_sensor", {"state_topic", "device_class", "payload_on", "payload_off"}},
        {DeviceKind::Remote, "event", {"state_topic", "event_types"}},
    };
    const DiscoveryNames n{"quorvel/my-box", "homeassistant", "ff00a100", "my-box"};
    const auto json = [&](const char* device, DeviceKind kind) {
        return QJsonDocument::fromJson(QByteArray::fromStdString(DiscoveryConfig(n, device, kind))).object();
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.component);
        const QJsonObject config = json("B12", c.kind);
        std::set<std::string> expected = common, got;
        expected.insert(c.keys.begin(), c.keys.end());
        for (const QString& k : config.keys()) got.insert(k.toStdString());
        EXPECT_EQ(got, expected);
        EXPECT_EQ(DiscoveryTopic(n, "B12", c.kind), "homeassistant/" + c.component + "/quorvel_ff00a100_b12/config");
        EXPECT_EQ(config["unique_id"].toString(), "quorvel_ff00a100_b12");
        EXPECT_EQ(config["default_entity_id"].toString().toStdString(), c.component + ".quorvel_ff00a100_b12");
        EXPECT_EQ(config["availability_topic"].toString(), "quorvel/my-box/status");
        EXPECT_EQ(config["device"]["identifiers"].toArray(), QJsonArray{"quorvel_ff00a100"});
        // The topic leads back to the device, under this connector's UID only.
        const auto back = DiscoveryTopicDevice(n, DiscoveryTopic(n, "B12", c.kind));
        ASSERT_TRUE(back.has_value());
        EXPECT_EQ(back->Device + " " + back->Component, "B12 " + c.component);
    }
    EXPECT_EQ(json("A1", DeviceKind::Light)["brightness_state_topic"].toString(), "quorvel/my-box/A1/brightness");
    EXPECT_EQ(json("A1", DeviceKind::Light)["command_topic"].toString(), "quorvel/my-box/A1/set");
    EXPECT_EQ(json("A1", DeviceKind::Motion)["device_class"].toString(), "motion");
    EXPECT_EQ(json("A1", DeviceKind::Remote)["state_topic"].toString(), "quorvel/my-box/A1/press");
    EXPECT_EQ(DiscoveryTopicDevice(n, "homeassistant/sensor/quorvel_ff00a100_C12/config"), std::nullopt);
    EXPECT_EQ(SafeId("box.lan name"), "box_lan_name");
}

TEST(MqttSettings, ThePasswordIsNeverDescribedNorQuotedInReports) {
    std::vector<std::string> problems;
    const MqttSettings s = Read({{"Broker", "127.0.0.1:1883"}, {"Username", "lamps"}, {"Password", "s3cr3t-pw"}},
                                problems);
    const std::string text = Describe(s);
    EXPECT_NE(text.find("user lamps (password set)"), std::string::npos) << text;
    // A broken broker line is quoted in its report; the password is not in it either.
    problems.clear();
    Read({{"Broker", "bad:port:x"}, {"Username", "u"}, {"Password", "s3cr3t-pw"}}, problems);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].find("s3cr3t-pw"), std::string::npos);
    // Nor is a password line without "=" of the ini file.
    quorvel::test::TempDir dir;
    quorvel::platform::SimPlatform sim;
    quorvel::core::Reporter reporter(sim);
    std::vector<std::string> lines;
    reporter.SetConsole([&](const std::string& l) { lines.push_back(l); });
    quorvel::test::WriteBytes(dir.path() / "Quorvel.ini", "[MQTT]\r\nPassword: hunter2\r\nBroker 127.0.0.1\r\n");
    quorvel::host::IniTool ini(reporter, sim);
    ini.Load((dir.path() / "Quorvel.ini").string());
    ASSERT_EQ(lines.size(), 2u);  // both lines are still reported as lacking "="
    EXPECT_EQ(lines[0].find("hunter2"), std::string::npos) << lines[0];
}
