// xAP Basic Status and Control: every served X10 device (in House, not in Ignore) that the
// state model knows, or that a BSC message names, is an output endpoint
// zeb.CM11A.<host>:<device> with a sub-UID derived from the connector's UID.
//
//  - "xAPBSC.cmd" (state on/off/toggle, level "n%" or "n/m"; ID "*", "01" or "0001", or the
//    endpoint's UID) becomes X10 commands through the transmit queue; once carried out, a
//    change is told by "xAPBSC.event", no change (or a command given up or not queued) by
//    "xAPBSC.info". "State=?", a value not understood or nothing to do gets "xAPBSC.info".
//  - The kind from [Devices]: a light is a level output (State and Level), a switch a binary
//    output (State; a level above 0 switches it on), a motion sensor or a remote an input
//    (input.state, State), which commands do not switch. A preset light is a light whose
//    level is set by one extended preset dim rather than by dim and bright steps.
//  - The interface's own status names the devices on in its monitored house: where it
//    disagrees with the state model, the model takes the interface's view.
//  - "xAPBSC.query" is answered with one "xAPBSC.info" per matching endpoint.
//  - One datagram costs little, however it is made: a block that repeats an earlier block is
//    skipped, each endpoint is commanded and answered at most once, commands the transmit
//    queue has no room for get one report for the datagram (no info each). Answers ("info"
//    for a query or a command) are spaced per endpoint and capped in total; events, and the
//    outcome of commands carried out, always go out; infos for given-up commands count
//    against the cap.
//  - Every change of a device, whatever its origin, sends "xAPBSC.event".
//  - Each known endpoint sends "xAPBSC.info" once every ten minutes, in a slot of its own
//    (one datagram at most every 2.3 s, however many endpoints there are).
//
// The device state is tracked and saved whether or not the endpoints are on (BSC=0).
#pragma once

#include "cm11a/cm11a_engine.h"
#include "core/reporting.h"
#include "core/settings.h"
#include "platform/platform.h"
#include "state/device_state.h"
#include "state/state_file.h"
#include "xap/xap_sender.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel::bsc {

// The UID of the endpoint for device index 0..255 (A1..P16). The connector's UID is
// FF dddd 00; device n = house × 16 + unit (A1 = 1, P16 = 256) gets FF dddd followed by n
// in two hex digits for n = 1..254 (A1 = 01, B1 = 11, P14 = FE). The two digits have no
// room for P15 and P16 (00 and FF are reserved), which take 01 and 02 under the next
// device identifier, dddd + 1 (dddd - 1 when dddd + 1 would be FFFF). A UID that is not
// eight hex digits is replaced by FF008700 for the derivation.
std::string EndpointUid(const std::string& connectorUid, int index);

// A BSC level as percent 0..100: "40%", "40 %", "10/16" (fraction of a range). Nothing for
// anything else (a bare number has no scale).
std::optional<int> ParseLevel(std::string_view text);

using state::X10Step;

// The X10 commands that bring a device in state s to the requested state and level
// (either may be absent; "toggle" is resolved before). X10 lamps cannot hold a level while
// off, so a level above 0 also switches on, and level 0 is off. A module that takes the
// extended preset dim (preset) gets a level in that one command.
std::vector<X10Step> PlanCommands(const state::DeviceState& s, std::optional<state::Power> power,
                                  std::optional<int> level, bool preset = false);

// The [General] key BSC: "0" or "false" (any case, quotes and blanks ignored) turns the
// endpoints off; "1", "true" or nothing leaves them on. Anything else also leaves them on,
// with understood set to false so that it can be reported.
bool BscSettingOn(const std::string& text, bool& understood);

class BscService {
public:
    static constexpr int kInfoCycleMs = 600000;  // every endpoint once in ten minutes
    static constexpr int kInfoSlotMs = (kInfoCycleMs + state::kDeviceCount - 1) / state::kDeviceCount;
    // One answer per endpoint within this time: a query repeated inside it is answered by
    // the info just sent (a controller polling in a loop cannot make us repeat ourselves).
    static constexpr std::uint64_t kAnswerSpacingMs = 1000;
    // Answers and infos for given-up commands in total per second, whatever the number of
    // senders and endpoints: two full sweeps of the 256 endpoints, far above what real
    // controllers ask, so that no flood (of queries, or of commands dropped when the link
    // goes) makes the connector a network amplifier.
    static constexpr int kAnswersPerSecond = 500;

    struct Hooks {
        // Queues an X10 command (device, function, dim steps) as a BSC command of a sender
        // (the command's xAP source), for the queue's round-robin.
        std::function<void(const std::string&, int, int, const std::string&)> SendCM11A;
        // Queues an extended preset dim (device, data byte 1..63, sender) likewise.
        std::function<void(const std::string&, int, const std::string&)> SendPreset;
        // Commands are taken (the CM11A subsystem has started).
        std::function<bool()> Ready;
        // Commands the transmit queue can still take from a sender; unset: no bound.
        std::function<std::size_t(const std::string&)> QueueRoom;
    };

    BscService(platform::Platform& platform, core::Reporter& reporter, const core::Settings& settings, Hooks hooks);
    ~BscService();
    BscService(const BscService&) = delete;
    BscService& operator=(const BscService&) = delete;

    // Reads the saved state from dataFolder (start-up, before any traffic).
    void LoadState(const std::filesystem::path& dataFolder);
    // The xAP node runs: endpoints are served through node when enabled.
    void Start(xap::XapSender* node, std::string source, std::string uid, bool enabled);
    // Shutdown: timers off, a waiting save written.
    void Stop();

    // One received xAP message; only "xAPBSC.cmd" and "xAPBSC.query" are looked at.
    void Readmessage(const std::string& text);
    // One X10 function carried out, heard or given up (the CM11A engine's observer).
    void OnActivity(const cm11a::X10Activity& activity);
    // The interface's status was read. True when a device's state changed.
    bool OnInterfaceStatus(const cm11a::InterfaceStatus& status);
    // Periodic info: the endpoint of the next slot, if known.
    void InfoTimer_Timer();

    bool Enabled() const { return enabled_; }
    const state::DeviceStates& States() const { return states_; }
    state::StateFile& File() { return file_; }
    // The "System Status" table.
    std::string StatusTable() const { return states_.Table(); }

    // Answers left out by the spacing or the cap (for tests and the debug log).
    std::uint64_t AnswersLeftOut() const { return answersLeftOut_; }

private:
    struct Target;
    struct Datagram;
    void Command(const std::string& section, const std::string& id, const std::string& stateText,
                 const std::string& levelText, const Target& target, bool ready, Datagram& datagram);
    std::vector<int> Endpoints(const Target& target, const std::string& id);
    void Send(const char* cls, int index);
    // An info that answers a query or a command, within the spacing and the cap.
    void Answer(int index, Datagram& datagram);
    // Counts one answer or given-up info against the cap a second; false when over it.
    bool WithinCap();
    void ArmInfo();
    // A change of the state model: saved, and told when it changed (answer: otherwise an
    // info is sent).
    void Changed(const state::DeviceStates::Change& change, bool answer);
    bool Served(int index) const;
    state::DeviceKind KindOf(int index) const;

    platform::Platform& platform_;
    core::Reporter& reporter_;
    const core::Settings& settings_;
    Hooks hooks_;
    state::DeviceStates states_;
    state::StateFile file_;
    std::unique_ptr<platform::Timer> infoTimer_;
    int infoSlot_ = -1;
    std::array<std::uint64_t, state::kDeviceCount> lastAnswerMs_{};
    std::array<bool, state::kDeviceCount> answeredBefore_{};
    std::uint64_t answerSecondStartMs_ = 0;
    int answersThisSecond_ = 0;
    std::uint64_t answersLeftOut_ = 0;

    xap::XapSender* node_ = nullptr;
    std::string source_;
    std::string uid_;
    bool enabled_ = false;
};

}  // namespace quorvel::bsc
