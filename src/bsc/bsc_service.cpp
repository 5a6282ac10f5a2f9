#include "bsc/bsc_service.h"

#include "cm11a/codes.h"
#include "cm11a/extended.h"
#include "state/device_kinds.h"
#include "xap/xap_message.h"

#include <algorithm>
#include <bitset>
#include <set>
#include <cmath>
#include <cstdio>

namespace quorvel::bsc {

namespace {

constexpr const char* kDefaultUid = "FF008700";
// Blanks around item values and settings; a CR too, as hand-typed values may carry one.
constexpr std::string_view kBlanks = " \t\r";
constexpr int kOn = cm11a::kFunctionOn, kOff = cm11a::kFunctionOff;

std::string Hex2(int n) {
    char buf[3];
    std::snprintf(buf, sizeof buf, "%02X", n & 0xFF);
    return buf;
}

bool AllHex(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
}

// Whether the text holds "xapbsc." in any letter case: most traffic is not BSC and is not
// parsed a second time.
bool MentionsBsc(std::string_view text) { return core::ContainsNoCase(text, "xapbsc."); }

}  // namespace

bool BscSettingOn(const std::string& text, bool& understood) {
    std::string v;
    for (const char c : text) {
        if (c != '"') v += core::LowerAscii(c);
    }
    v = std::string(core::Trim(v, kBlanks));
    understood = v.empty() || v == "0" || v == "1" || v == "true" || v == "false";
    return v != "0" && v != "false";
}

std::string EndpointUid(const std::string& connectorUid, int index) {
    const std::string uid = connectorUid.size() == 8 && AllHex(connectorUid) ? core::Upper(connectorUid) : kDefaultUid;
    const int n = index + 1;
    if (n <= 254) return uid.substr(0, 6) + Hex2(n);
    const int device = std::stoi(uid.substr(2, 4), nullptr, 16);
    const int next = device + 1 >= 0xFFFF ? device - 1 : device + 1;
    char buf[5];
    std::snprintf(buf, sizeof buf, "%04X", next);
    return uid.substr(0, 2) + buf + Hex2(n - 254);
}

std::optional<int> ParseLevel(std::string_view text) {
    const std::string t(core::Trim(text, kBlanks));
    auto number = [](std::string_view s) -> std::optional<double> {
        const std::string n(core::Trim(s, kBlanks));
        if (n.empty() || n.size() > 12 || n.find_first_not_of("0123456789.") != std::string::npos ||
            std::count(n.begin(), n.end(), '.') > 1 || n == ".") {
            return std::nullopt;
        }
        return std::stod(n);
    };
    std::optional<double> percent;
    if (!t.empty() && t.back() == '%') {
        percent = number(std::string_view(t).substr(0, t.size() - 1));
    } else if (const auto slash = t.find('/'); slash != std::string::npos) {
        const auto value = number(std::string_view(t).substr(0, slash));
        const auto range = number(std::string_view(t).substr(slash + 1));
        if (value && range && *range > 0) percent = *value * 100.0 / *range;
    }
    if (!percent || *percent > 100.0) return std::nullopt;
    return static_cast<int>(std::lround(*percent));
}

std::vector<X10Step> PlanCommands(const state::DeviceState& s, std::optional<state::Power> power,
                                  std::optional<int> level, bool preset) {
    using state::Power;
    if (power == Power::Off) return {{kOff, 0}};
    if (!level) {
        if (power == Power::On) return {{kOn, 0}};
        return {};
    }
    if (preset && *level > 0) {
        const int data = cm11a::PresetData(*level);
        // Already there (as near as the module's 63 levels come): nothing to send.
        if (s.State == Power::On && s.Level == cm11a::PresetPercent(data)) return {};
        return {{cm11a::kFunctionExtended, 0, data}};
    }
    return state::PlanLevel(s.State, s.Level, *level);
}

// What a message's target picks: its address part matched ours; sub is its sub-address
// pattern ("" when it has none, which stands for every endpoint).
struct BscService::Target {
    std::string sub;
};

// What one received datagram has cost so far.
struct BscService::Datagram {
    std::set<std::string> blocks;  // ID, State and Level of each block handled
    std::bitset<state::kDeviceCount> commanded, answered;
    std::size_t refusedFull = 0;  // X10 commands the transmit queue had no room for
    std::string sender;           // the round-robin key of its commands
};

BscService::BscService(platform::Platform& platform, core::Reporter& reporter, const core::Settings& settings,
                       Hooks hooks)
    : platform_(platform),
      reporter_(reporter),
      settings_(settings),
      hooks_(std::move(hooks)),
      file_(platform, reporter, states_),
      infoTimer_(platform.CreateTimer()) {
    infoTimer_->SetHandler([this] { InfoTimer_Timer(); });
}

BscService::~BscService() { infoTimer_->SetEnabled(false); }

void BscService::LoadState(const std::filesystem::path& dataFolder) { file_.Load(dataFolder); }

void BscService::Start(xap::XapSender* node, std::string source, std::string uid, bool enabled) {
    node_ = node;
    source_ = std::move(source);
    uid_ = std::move(uid);
    enabled_ = enabled && node_ != nullptr;
    infoTimer_->SetEnabled(false);
    ArmInfo();
}

void BscService::Stop() {
    enabled_ = false;
    infoTimer_->SetEnabled(false);
    file_.Flush();
}

bool BscService::Served(int index) const { return settings_.Announced(state::DeviceName(index)); }

state::DeviceKind BscService::KindOf(int index) const { return settings_.Kinds[static_cast<std::size_t>(index)]; }

void BscService::Send(const char* cls, int index) {
    if (!enabled_ || node_ == nullptr || !Served(index)) return;
    const state::DeviceState& d = states_.At(index);
    const std::string stateText(state::PowerText(d.State));
    const state::DeviceKind kind = KindOf(index);
    // A lamp is a level output, an appliance module a binary one; sensors and remotes are inputs.
    const std::string items = state::Dims(kind)
                                  ? xap::ItemList({{"State", stateText}, {"Level", state::LevelText(d.Level)}})
                                  : xap::ItemList({{"State", stateText}});
    const char* block = state::Commanded(kind) ? "output.state" : "input.state";
    core::Guarded(reporter_, "BSC send", [&] {
        node_->SendXap("", cls, block, items, state::DeviceName(index), EndpointUid(uid_, index));
    });
}

void BscService::ArmInfo() {
    // Idle (no timer) until some endpoint is known.
    if (enabled_ && !infoTimer_->Enabled() && states_.KnownCount() > 0) infoTimer_->Arm(kInfoSlotMs);
}

void BscService::InfoTimer_Timer() {
    // One slot per address: every known endpoint once per cycle, never two in one slot.
    infoSlot_ = (infoSlot_ + 1) % state::kDeviceCount;
    if (states_.At(infoSlot_).Known) Send("xAPBSC.info", infoSlot_);
}

std::vector<int> BscService::Endpoints(const Target& target, const std::string& id) {
    // A sub-address without wildcards, or a specific ID, names its device even when it is
    // not known yet; wildcards reach the known endpoints.
    const bool wildcard = target.sub.empty() || target.sub.find_first_of("*>") != std::string::npos;
    std::optional<int> named;
    if (!wildcard) {
        named = state::DeviceIndex(target.sub);
        if (!named) return {};
    }
    std::optional<int> idNumber;
    std::string idUid;
    if (!id.empty() && id != "*") {
        if (id.size() <= 4 && AllHex(id)) idNumber = std::stoi(id, nullptr, 16);  // "01" or "0001"
        else if (id.size() == 8 && AllHex(id)) idUid = core::Upper(id);
        else return {};
    }
    std::vector<int> out;
    for (int i = 0; i < state::kDeviceCount; ++i) {
        if (named && *named != i) continue;
        if (wildcard && !target.sub.empty() && !xap::XapMessage::CompareAddress(target.sub, state::DeviceName(i))) continue;
        if (idNumber && !(i + 1 <= 254 && *idNumber == i + 1)) continue;
        if (!idUid.empty() && idUid != EndpointUid(uid_, i)) continue;
        const bool namedHere = named.has_value() || idNumber.has_value() || !idUid.empty();
        if (!states_.At(i).Known && !namedHere) continue;
        if (!Served(i)) continue;
        out.push_back(i);
    }
    return out;
}

void BscService::Readmessage(const std::string& text) {
    if (!enabled_ || !MentionsBsc(text)) return;
    const core::Reporter::FromOutside outside(reporter_);
    try {
        // Parse failures were logged already by the request handler's reading of the text.
        xap::XapMessage m;
        m.FromXap(text);
        const bool cmd = m.CompareClass("xAPBSC.cmd");
        if (!cmd && !m.CompareClass("xAPBSC.query")) return;
        // BSC messages name their endpoints: an untargeted one is for nobody in particular.
        const std::string& to = m.MsgTarget();
        if (to.empty() || to == "Unknown" || !xap::XapMessage::CompareAddress(to, source_)) return;
        const auto colon = to.find(':');
        Target target{colon == std::string::npos ? std::string()
                                                 : std::string(core::Trim(std::string_view(to).substr(colon + 1), kBlanks))};

        Datagram datagram;
        datagram.sender = "BSC " + core::Lower(m.MsgSource());
        if (!cmd) {
            const auto endpoints = Endpoints(target, "*");
            reporter_.DebugLog("BSC query " + to + ": " + std::to_string(endpoints.size()) + " endpoints");
            bool touched = false;
            for (const int i : endpoints) touched = states_.Touch(i) || touched;
            if (touched) {
                file_.Changed();
                ArmInfo();
            }
            for (const int i : endpoints) Answer(i, datagram);
            return;
        }
        const bool ready = hooks_.Ready && hooks_.Ready();
        if (!ready) reporter_.DebugLog("BSC command not carried out: the CM11A subsystem has not started");
        for (const std::string& section : m.MsgSection()) {
            if (section.rfind("output.state", 0) != 0 && section.rfind("input.state", 0) != 0) continue;
            const auto item = [&](const char* name) { return std::string(core::Trim(m.GetItem(section, name), kBlanks)); };
            const std::string id = item("ID"), stateText = core::Lower(item("State")), level = item("Level");
            if (!datagram.blocks.insert(id + '\n' + stateText + '\n' + level).second) continue;  // said before
            Command(section, id, stateText, level, target, ready, datagram);
        }
        if (datagram.refusedFull > 0) {
            reporter_.ReportEvent(core::kAppName, "BSC command from " + m.MsgSource().substr(0, 100) + " refused " +
                                                      std::to_string(datagram.refusedFull) +
                                                      " X10 commands: no room left in the transmit queue");
        }
    } catch (const std::exception& e) {
        reporter_.Fail(e);
        reporter_.ReportEvent(core::kAppName, "BSC Readmessage");
    }
}

void BscService::Answer(int index, Datagram& datagram) {
    const auto i = static_cast<std::size_t>(index);
    if (datagram.answered.test(i)) return;
    datagram.answered.set(i);
    const std::uint64_t now = platform_.NowMs();
    if (answeredBefore_[i] && now - lastAnswerMs_[i] < kAnswerSpacingMs) {
        ++answersLeftOut_;
        return;
    }
    if (!WithinCap()) return;
    answeredBefore_[i] = true;
    lastAnswerMs_[i] = now;
    Send("xAPBSC.info", index);
}

bool BscService::WithinCap() {
    const std::uint64_t now = platform_.NowMs();
    if (now - answerSecondStartMs_ >= 1000) {
        answerSecondStartMs_ = now;
        answersThisSecond_ = 0;
    }
    if (answersThisSecond_ >= kAnswersPerSecond) {
        if (++answersLeftOut_ % kAnswersPerSecond == 1) reporter_.DebugLog("BSC answers over the cap are left out");
        return false;
    }
    ++answersThisSecond_;
    return true;
}

void BscService::Command(const std::string& section, const std::string& id, const std::string& stateText,
                         const std::string& levelText, const Target& target, bool ready, Datagram& datagram) {
    std::optional<state::Power> power;
    bool toggle = false;
    // Whatever cannot be carried out ("State=?", a value not understood, nothing asked) is
    // answered with the state as it stands.
    bool answerOnly = false;
    if (stateText == "on") power = state::Power::On;
    else if (stateText == "off") power = state::Power::Off;
    else if (stateText == "toggle") toggle = true;
    else if (!stateText.empty()) {
        if (stateText != "?") reporter_.DebugLog("BSC " + section + ": state '" + stateText.substr(0, 40) + "' not understood");
        answerOnly = true;
    }
    std::optional<int> level;
    if (!levelText.empty() && levelText != "?") {
        level = ParseLevel(levelText);
        if (!level) {
            reporter_.DebugLog("BSC " + section + ": level '" + levelText.substr(0, 40) + "' not understood");
            answerOnly = true;
        }
    }
    if (!power && !toggle && !level) answerOnly = true;

    for (const int i : Endpoints(target, id)) {
        // The first block that names an endpoint decides for it in this datagram.
        if (datagram.commanded.test(static_cast<std::size_t>(i))) continue;
        datagram.commanded.set(static_cast<std::size_t>(i));
        if (states_.Touch(i)) {
            file_.Changed();
            ArmInfo();
        }
        const state::DeviceKind kind = KindOf(i);
        if (answerOnly || !state::Commanded(kind)) {  // sensors and remotes are heard, not switched
            Answer(i, datagram);
            continue;
        }
        const state::DeviceState& d = states_.At(i);
        std::optional<state::Power> want = power;
        // Toggling a device of unknown state switches it on.
        if (toggle) want = d.State == state::Power::On ? state::Power::Off : state::Power::On;
        std::optional<int> wantLevel = want == state::Power::Off ? std::nullopt : level;
        if (kind == state::DeviceKind::Switch && wantLevel) {  // an appliance module: on or off
            if (!want) want = *wantLevel > 0 ? state::Power::On : state::Power::Off;
            wantLevel.reset();
        }
        const bool preset = kind == state::DeviceKind::Preset && hooks_.SendPreset;
        const auto steps = ready ? PlanCommands(d, want, wantLevel, preset) : std::vector<X10Step>{};
        const std::string device = state::DeviceName(i);
        reporter_.DebugLog("BSC command " + device + ": " + std::to_string(steps.size()) + " X10 commands");
        if (steps.empty()) {
            Answer(i, datagram);  // nothing to do, or nothing can be: the state as it stands
            continue;
        }
        // All of an endpoint's steps or none: half a plan (an on without its dim) would be
        // carried out as something nobody asked for.
        if (hooks_.QueueRoom && hooks_.QueueRoom(datagram.sender) < steps.size()) {
            datagram.refusedFull += steps.size();
            continue;
        }
        for (const X10Step& s : steps) {
            if (s.Preset > 0) hooks_.SendPreset(device, s.Preset, datagram.sender);
            else if (hooks_.SendCM11A) hooks_.SendCM11A(device, s.Function, s.Steps, datagram.sender);
        }
    }
}

void BscService::OnActivity(const cm11a::X10Activity& a) {
    const bool fromBsc = a.Origin == cm11a::X10Origin::BscCommand;
    if (!a.Completed) {
        // Given up: the controller learns that nothing changed.
        if (fromBsc) {
            for (const std::string& d : a.Devices) {
                const auto i = state::DeviceIndex(d);
                if (i && Served(*i) && WithinCap()) Send("xAPBSC.info", *i);
            }
        }
        return;
    }
    const auto origin = static_cast<state::Origin>(a.Origin);
    if (a.Function == cm11a::kFunctionExtended && a.ExtCommand == cm11a::kExtendedPresetDim && a.ExtData >= 0) {
        // A level set in one command, sent or heard: lamp modules take it.
        const int level = cm11a::PresetPercent(a.ExtData);
        for (const std::string& d : a.Devices) {
            const auto i = state::DeviceIndex(d);
            if (!i || !state::Dims(KindOf(*i))) continue;
            Changed(states_.Set(*i, level > 0 ? state::Power::On : state::Power::Off, level, origin, a.Function,
                                platform_.LocalDateTime()),
                    fromBsc);
        }
        return;
    }
    const auto changes =
        states_.Apply(origin, a.House, a.Function, a.AmountPercent, a.Devices, platform_.LocalDateTime(), &settings_.Kinds);
    for (const auto& c : changes) Changed(c, fromBsc);
}

bool BscService::OnInterfaceStatus(const cm11a::InterfaceStatus& status) {
    // The on bitmap names the units of the monitored house that the interface last switched
    // on or heard on. Only devices known here are compared; a unit the interface never saw
    // has its bit clear, which says nothing about a device whose state is unknown. An
    // interface that was reset (battery timer FFFF) or knows no unit at all has forgotten
    // what it did: its bitmaps say nothing about the lamps, which kept their state.
    if (status.BatteryTimer == cm11a::InterfaceStatus::kBatteryReset ||
        (status.Addressed == 0 && status.On == 0 && status.Dim == 0)) {
        return false;
    }
    bool changed = false;
    for (int unit = 1; unit <= 16; ++unit) {
        const int i = (status.House - 'A') * 16 + unit - 1;
        const state::DeviceKind kind = KindOf(i);
        const state::DeviceState& d = states_.At(i);
        if (!d.Known || kind == state::DeviceKind::Remote) continue;
        const bool on = (status.On >> (unit - 1)) & 1;
        if (on == (d.State == state::Power::On)) continue;
        const bool dimmed = state::Dims(kind) && ((status.Dim >> (unit - 1)) & 1);
        const auto c = on ? states_.Set(i, state::Power::On, dimmed ? state::kUnknownLevel : 100, state::Origin::Interface,
                                        cm11a::kFunctionOn, platform_.LocalDateTime())
                          : states_.Set(i, state::Power::Off, 0, state::Origin::Interface, cm11a::kFunctionOff,
                                        platform_.LocalDateTime());
        Changed(c, false);
        changed = true;
    }
    return changed;
}

void BscService::Changed(const state::DeviceStates::Change& c, bool answer) {
    file_.Changed();
    ArmInfo();
    if (c.Changed()) Send("xAPBSC.event", c.Index);
    else if (answer) Send("xAPBSC.info", c.Index);
}

}  // namespace quorvel::bsc
