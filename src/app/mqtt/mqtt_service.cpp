#include "app/mqtt/mqtt_service.h"

#include "app/configuration.h"
#include "cm11a/codes.h"
#include "state/device_state.h"

#ifdef QUORVEL_HAVE_MOSQUITTO
#include "mqtt/qt/mosquitto_transport.h"
#endif

namespace quorvel::app {

namespace {

mqtt::DeviceView ViewOf(const state::DeviceState& d) {
    return {d.State, d.Level};
}

}  // namespace

std::unique_ptr<MqttService> MqttService::Start(QuorvelForm& form, platform::Platform& platform) {
    try {
        std::vector<std::string> problems;
        host::Homeseer& hs = form.configuration().Homeseer();
        const auto get = [&hs](const std::string& key, const std::string& def) {
            return hs.GetIniSetting(mqtt::kMqttSection, key, def, kMainIni);
        };
        mqtt::MqttSettings s = mqtt::ReadMqttSettings(get, form.settings().ComputerName, problems);
        for (const std::string& p : problems) form.reporter().ReportEvent(kAppName, p);
        if (!s.Enabled()) return nullptr;
#ifdef QUORVEL_HAVE_MOSQUITTO
        auto service = std::make_unique<MqttService>(form, platform, std::make_unique<mqtt::MosquittoTransport>(),
                                                     std::move(s));
        service->bridge_.Start();
        return service;
#else
        (void)platform;
        form.reporter().ReportEvent(kAppName, "MQTT Broker is set but this build has no MQTT support; the bridge is off");
        return nullptr;
#endif
    } catch (const std::exception& e) {
        form.reporter().Fail(e);
        form.reporter().ReportEvent(kAppName, "MQTT start");
        return nullptr;
    }
}

MqttService::MqttService(QuorvelForm& form, platform::Platform& platform,
                         std::unique_ptr<mqtt::MqttTransport> transport, mqtt::MqttSettings settings)
    : form_(form),
      platform_(platform),
      transport_(std::move(transport)),
      bridge_(platform, form.reporter(), form.settings(), *transport_, std::move(settings),
              {[&form](const std::string& device, int function, int steps) {
                   form.cm11a().SendCM11A(device, function, steps, cm11a::X10Origin::Mqtt);
               },
               [&form] { return form.configuration().CM11AStarted(); }}) {
    form_.SetActivityListener([this](const cm11a::X10Activity& a) { OnActivity(a); });
    form_.SetStatesListener([this] { SyncStates(); });
    SyncStates();  // the restored state is known before the first connection
}

MqttService::~MqttService() {
    form_.SetActivityListener({});
    form_.SetStatesListener({});
    bridge_.Stop();
}

void MqttService::SyncStates() {
    const state::DeviceStates& states = form_.bsc().States();
    for (int i = 0; i < state::kDeviceCount; ++i) {
        const state::DeviceState& d = states.At(i);
        // Switched or heard (now or in an earlier run); one a BSC message only named is not.
        if (!d.Known || d.LastFunction < 0) continue;
        const mqtt::DeviceView v = ViewOf(d);
        if (!(bridge_.View(i) == v) || !bridge_.Known(i)) bridge_.DeviceChanged(i, v);
    }
}

void MqttService::OnActivity(const cm11a::X10Activity& a) {
    if (a.Origin == cm11a::X10Origin::Mqtt) {
        for (const std::string& device : a.Devices) {
            if (const auto i = state::DeviceIndex(device)) bridge_.CommandDone(*i);
        }
    }
    if (!a.Completed) return;  // a command given up changed nothing
    SyncStates();
    const state::DeviceStates& states = form_.bsc().States();
    const std::string function(cm11a::X10FunctionNames[static_cast<std::size_t>(a.Function & 0x0F)]);
    const std::string origin(state::OriginKey(static_cast<state::Origin>(a.Origin)));
    for (const std::string& device : a.Devices) {
        mqtt::EventRecord e;
        e.Device = device;
        e.Function = function;
        if (const auto i = state::DeviceIndex(device)) e.Brightness = states.At(*i).Level;
        e.Origin = origin;
        e.Time = platform_.LocalDateTime();
        bridge_.Event(e);
    }
}

}  // namespace quorvel::app
