// The simulated CM11A interface: the byte protocol seen from the interface side, the
// devices on the simulated power line and the control commands. Plain C++ with no I/O of
// its own: bytes come in through Receive(), bytes to send are taken with TakeOutput(), and
// time is passed in (milliseconds of any monotonic clock), so the whole model runs the same
// under a real event loop and under a test that steps the clock by hand.
#pragma once

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cm11asim {

using Millis = std::int64_t;

// The 4-bit X10 code of letter A..P (index 0..15), also used for units 1..16.
inline constexpr std::array<std::uint8_t, 16> kCodes = {0x6, 0xE, 0x2, 0xA, 0x1, 0x9, 0x5, 0xD,
                                                       0x7, 0xF, 0x3, 0xB, 0x0, 0x8, 0x4, 0xC};
// Letter index (A = 0) of a 4-bit code.
inline constexpr std::array<std::uint8_t, 16> kIndexOfCode = {12, 4, 2, 10, 14, 6, 0, 8,
                                                             13, 5, 3, 11, 15, 7, 1, 9};
inline constexpr std::array<const char*, 16> kFunctionNames = {
    "all_units_off", "all_lights_on", "on",           "off",          "dim",
    "bright",        "all_lights_off", "extended",    "hail_request", "hail_ack",
    "preset_dim_1",  "preset_dim_2",  "data_xfer",    "status_on",    "status_off",
    "status_request"};

enum Function : int { kAllUnitsOff = 0, kAllLightsOn = 1, kOn = 2, kOff = 3, kDim = 4, kBright = 5,
                      kAllLightsOff = 6 };

constexpr std::uint8_t kReady = 0x55;
constexpr std::uint8_t kPoll = 0x5A;
constexpr std::uint8_t kPollAnswer = 0xC3;
constexpr std::uint8_t kPowerFail = 0xA5;
constexpr std::uint8_t kClockSet = 0x9B;
constexpr std::uint8_t kStatusRequest = 0x8B;
constexpr int kExtendedPresetDim = 0x31;  // extended command: set the level in the data byte
constexpr int kFirmware = 1;  // firmware revision in the status answer
constexpr int kFullRangeSteps = 22;       // dim steps of the whole range
constexpr int kBrightnessFull = 210;      // upload brightness byte of 100 %
constexpr std::size_t kMaxLogEntries = 10000;
constexpr std::size_t kMaxGarbage = 4096;

inline std::uint8_t AddressByte(int house, int unit) {
    return static_cast<std::uint8_t>((kCodes[house] << 4) | kCodes[unit - 1]);
}
inline int HouseOf(std::uint8_t b) { return kIndexOfCode[b >> 4]; }
inline int UnitOf(std::uint8_t b) { return kIndexOfCode[b & 0x0F] + 1; }
inline std::string DeviceName(int house, int unit) {
    return std::string(1, static_cast<char>('A' + house)) + std::to_string(unit);
}

inline std::string Hex(std::string_view bytes) {
    std::string out;
    char buf[4];
    for (unsigned char c : bytes) {
        std::snprintf(buf, sizeof buf, "%02X", c);
        if (!out.empty()) out += ' ';
        out += buf;
    }
    return out;
}

// Parses "04 66", "0466" or "04,66". Returns false on anything that is not pairs of hex digits.
inline bool ParseHex(std::string_view text, std::string& out) {
    out.clear();
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == ',' || c == '\t') {
            if (high >= 0) return false;
            continue;
        }
        int v;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        else return false;
        if (high < 0) {
            high = v;
        } else {
            out += static_cast<char>((high << 4) | v);
            high = -1;
        }
        if (out.size() > kMaxGarbage) return false;
    }
    return high < 0;
}

// Lamps and appliances on the simulated power line. Addresses collect per house until a
// function for that house arrives; the function then acts on them and the list is cleared.
class DeviceModel {
public:
    struct Device {
        bool known = false;
        bool on = false;
        int level = 0;  // percent
    };

    void Address(int house, int unit) {
        devices_[house][unit - 1].known = true;
        selected_[house][unit - 1] = true;
    }

    // Applies function fn for house; amount is the dim/bright percent. Returns the devices
    // it acted on, as text ("A1 A2"), for the power-line log.
    std::string Apply(int house, int fn, int amount) {
        std::string acted;
        auto note = [&](int unit) {
            if (!acted.empty()) acted += ' ';
            acted += DeviceName(house, unit);
        };
        for (int u = 1; u <= 16; ++u) {
            Device& d = devices_[house][u - 1];
            const bool selected = selected_[house][u - 1];
            switch (fn) {
            case kOn:
                if (selected) { d.on = true; d.level = 100; note(u); }
                break;
            case kOff:
                if (selected) { d.on = false; d.level = 0; note(u); }
                break;
            case kDim:
            case kBright:
                if (selected) {
                    if (!d.on) { d.on = true; d.level = 100; }  // a lamp module lights up first
                    d.level = std::clamp(d.level + (fn == kDim ? -amount : amount), 0, 100);
                    d.on = d.level > 0;
                    note(u);
                }
                break;
            case kAllUnitsOff:
            case kAllLightsOff:
                if (d.known) { d.on = false; d.level = 0; note(u); }
                break;
            case kAllLightsOn:
                if (d.known) { d.on = true; d.level = 100; note(u); }
                break;
            default:
                if (selected) note(u);  // status and the like change nothing here
                break;
            }
        }
        selected_[house].fill(false);
        return acted;
    }

    const Device& Get(int house, int unit) const { return devices_[house][unit - 1]; }
    bool Selected(int house, int unit) const { return selected_[house][unit - 1]; }
    void Preset(int house, int unit, int percent) {
        Device& d = devices_[house][unit - 1];
        d.known = true;
        d.level = percent;
        d.on = percent > 0;
    }

    // "A1 on 100" per known device, in house and unit order.
    std::string Describe() const {
        std::string out;
        for (int h = 0; h < 16; ++h)
            for (int u = 1; u <= 16; ++u) {
                const Device& d = devices_[h][u - 1];
                if (!d.known) continue;
                out += DeviceName(h, u) + (d.on ? " on " : " off ") + std::to_string(d.level) + "\n";
            }
        return out;
    }

private:
    std::array<std::array<Device, 16>, 16> devices_{};
    std::array<std::array<bool, 16>, 16> selected_{};
};

struct Timing {
    double speed = 1.0;        // all power-line and poll delays are divided by this
    Millis pollIntervalMs = 1000;
    int baud = 0;              // pace the bytes sent at this rate (8N1: 10 bits a byte); 0: no pacing
    int mainsHz = 60;          // power-line times follow the mains frequency (60 or 50)
};

// The interface side of the serial protocol.
class Interface {
public:
    explicit Interface(Timing timing) : timing_(timing), rng_(std::random_device{}()) {}

    std::function<void(const std::string&)> verbose;  // one line per exchange, when set

    // Bytes from the computer.
    void Receive(std::string_view bytes, Millis now) {
        if (bytes.empty()) return;
        Log("rx", bytes);
        for (unsigned char b : bytes) ReceiveByte(b, now);
    }

    // Runs whatever is due at now.
    void Tick(Millis now) {
        Release(now);
        if (mode_ == Mode::kClock && now > clockDeadline_) mode_ = Mode::kIdle;
        if (mode_ == Mode::kTransmitting && now >= doneAt_) FinishTransmission(now);
        if (mode_ == Mode::kClockReady && now >= doneAt_) {
            mode_ = Mode::kIdle;
            Emit(std::string(1, static_cast<char>(kReady)));
            if (!uploads_.empty()) nextPoll_ = now;
        }
        if (powerFail_) {
            if (now >= nextPowerFail_) {
                Emit(std::string(1, static_cast<char>(kPowerFail)));
                nextPowerFail_ = now + Scaled(timing_.pollIntervalMs);
            }
        } else if (Holding() && now >= nextPoll_) {
            Emit(std::string(1, static_cast<char>(kPoll)));
            nextPoll_ = now + Scaled(timing_.pollIntervalMs);
        }
    }

    // The earliest time Tick has something to do, or -1.
    Millis NextDeadline() const {
        Millis next = -1;
        auto take = [&](Millis t) { if (next < 0 || t < next) next = t; };
        if (mode_ == Mode::kClock) take(clockDeadline_ + 1);
        if (mode_ == Mode::kClockReady) take(doneAt_);
        if (!line_.empty()) take(static_cast<Millis>(nextByteAt_) + 1);
        if (mode_ == Mode::kTransmitting) take(doneAt_);
        if (powerFail_) take(nextPowerFail_);
        else if (Holding()) take(nextPoll_);
        return next;
    }

    std::string TakeOutput() { return std::exchange(output_, std::string()); }

    // The line to the computer was replaced: a half-received exchange is forgotten.
    void LineChanged() {
        if (mode_ == Mode::kGotHeader || mode_ == Mode::kExtended || mode_ == Mode::kAwaitAck || mode_ == Mode::kClock ||
            mode_ == Mode::kClockAck || mode_ == Mode::kClockReady)
            mode_ = Mode::kIdle;
    }

    // Queues traffic heard on the power line. args: devices (A1, or a lone house letter A),
    // a function name, and a percent for dim and bright. Returns an error text or "".
    // (upload false: the interface itself sent it, from a stored macro: its devices change
    // and nothing is uploaded.)
    std::string Hear(const std::vector<std::string>& args, Millis now, bool upload = true) {
        std::vector<std::pair<int, int>> devices;  // house, unit (0: house only)
        int fn = -1;
        int percent = -1;
        for (const std::string& a : args) {
            if (fn >= 0) {
                if (percent >= 0 || !ParsePercent(a, percent)) return "unexpected '" + a + "'";
                continue;
            }
            int f = FunctionOf(a);
            if (f >= 0) { fn = f; continue; }
            int house, unit;
            if (!ParseDevice(a, house, unit)) return "not a device or function: '" + a + "'";
            devices.emplace_back(house, unit);
        }
        if (devices.empty()) return "no device given";
        if (fn < 0) return "no function given";
        const bool amount = fn == kDim || fn == kBright;
        if (amount && percent < 0) return "dim and bright need a percent";
        if (!amount && percent >= 0) return "only dim and bright take a percent";

        // Per house, in order of appearance: its addresses, then the function.
        std::vector<int> houses;
        for (auto& [h, u] : devices)
            if (std::find(houses.begin(), houses.end(), h) == houses.end()) houses.push_back(h);
        Upload up;
        for (int h : houses) {
            for (auto& [dh, du] : devices)
                if (dh == h && du > 0) up.data.push_back(AddressByte(dh, du));
            up.mask |= static_cast<std::uint8_t>(1u << std::min<std::size_t>(up.data.size(), 7));
            up.data.push_back(static_cast<std::uint8_t>((kCodes[h] << 4) | fn));
            if (amount) up.data.push_back(static_cast<std::uint8_t>((percent * kBrightnessFull + 50) / 100));
            if (up.data.size() > 8) return "too much traffic for one upload (at most 8 data bytes)";
        }
        up.percent = amount ? percent : 0;
        ApplyHeard(up);
        if (upload) Store(std::move(up), now);
        return "";
    }

    // Extended-code traffic heard: the function byte (house, code 7) followed by the unit
    // code, a data byte and a command byte.
    std::string HearExtended(const std::vector<std::string>& args, Millis now) {
        int house = 0, unit = 0, data = 0, command = 0;
        if (args.size() != 3 || !ParseDevice(args[0], house, unit) || unit == 0 || !ParseByte(args[1], data) ||
            !ParseByte(args[2], command))
            return "usage: hear-extended <device> <data 0..255> <command 0..255>";
        Upload up;
        up.mask = 1;
        up.data = {static_cast<std::uint8_t>((kCodes[house] << 4) | 7), kCodes[unit - 1],
                   static_cast<std::uint8_t>(data), static_cast<std::uint8_t>(command)};
        Line("heard extended " + DeviceName(house, unit) + " data " + std::to_string(data) + " command " +
             std::to_string(command));
        Store(std::move(up), now);
        return "";
    }

    // Traffic heard on the power line exactly as given: the upload's mask byte and data
    // bytes (addresses of several houses, a function without an address...).
    std::string HearRaw(const std::string& bytes, Millis now) {
        if (bytes.size() < 2 || bytes.size() > 9) return "an upload is a mask byte and 1..8 data bytes";
        Upload up;
        up.mask = static_cast<std::uint8_t>(bytes[0]);
        for (std::size_t i = 1; i < bytes.size(); ++i) up.data.push_back(static_cast<std::uint8_t>(bytes[i]));
        for (std::size_t i = 0; i + 1 < up.data.size(); ++i) {
            const int fn = up.data[i] & 0x0F;
            if (((up.mask >> i) & 1) && (fn == kDim || fn == kBright)) {
                up.percent = (up.data[i + 1] * 100 + kBrightnessFull / 2) / kBrightnessFull;
                break;
            }
        }
        ApplyHeard(up);
        Store(std::move(up), now);
        return "";
    }

    // A stored macro ran: the one-shot 0x5B report with the macro's offset.
    void MacroReport(int offset) {
        Emit(std::string{static_cast<char>(0x5B), static_cast<char>((offset >> 8) & 0xFF),
                         static_cast<char>(offset & 0xFF)});
    }

    void SetBattery(int minutes) { battery_ = minutes; }

    void PowerFail(Millis now) {
        powerFail_ = true;
        mode_ = Mode::kIdle;  // power came back: whatever was in progress is gone
        nextPowerFail_ = now;
    }

    // The next n checksums are wrong: the right one + 1, or the given byte (0..255).
    void FaultChecksum(int n, int byte = -1) {
        badChecksums_ = n;
        badChecksumByte_ = byte;
    }
    // What becomes of the 0x55 that ends the next n functions (after they went over the
    // power line): lost, garbled (another byte in its place), or a poll in its place (the
    // interface heard an address meanwhile and holds an upload).
    // kLate: the 0x55 comes lateMs after the function went over the power line.
    enum class ReadyFault { kLost, kGarbled, kPoll, kLate };
    void FaultReady(ReadyFault kind, int n, Millis lateMs = 0) {
        readyFault_ = kind;
        readyFaults_ = n;
        readyLateMs_ = lateMs;
    }
    // The next n replies to the computer (checksums and 0x55) are lost on the way.
    void FaultMute(int n) { mutedReplies_ = n; }
    // Each byte, in either direction, is lost with this probability (percent).
    void FaultLoss(double percent) { lossPercent_ = percent; }
    // Before each byte sent, a random stray byte is sent with this probability (percent).
    void FaultStray(double percent) { strayPercent_ = percent; }
    void FaultSilent(bool on) { silent_ = on; }
    void FaultLate(Millis ms) { lateMs_ = ms; }
    bool Silent() const { return silent_; }

    // Sends bytes as they are (garbage on the line).
    void SendRaw(const std::string& bytes) { Emit(bytes); }
    std::string RandomBytes(std::size_t n) {
        std::string out;
        std::uniform_int_distribution<int> d(0, 255);
        for (std::size_t i = 0; i < n && i < kMaxGarbage; ++i) out += static_cast<char>(d(rng_));
        return out;
    }

    const DeviceModel& Devices() const { return devices_; }
    // The held upload's data bytes (the interface has one upload buffer).
    std::size_t HeldUploadBytes() const { return uploads_.empty() ? 0 : uploads_.front().data.size(); }
    const std::deque<std::string>& ByteLog() const { return byteLog_; }
    const std::deque<std::string>& LineLog() const { return lineLog_; }
    void ClearLogs() { byteLog_.clear(); lineLog_.clear(); }
    std::size_t UploadsWaiting() const { return uploads_.size(); }
    bool PowerFailing() const { return powerFail_; }
    // Nothing in progress and nothing to send: no exchange, no upload held, no power failure.
    bool Idle() const { return mode_ == Mode::kIdle && uploads_.empty() && !powerFail_ && line_.empty() && output_.empty(); }

private:
    enum class Mode { kIdle, kGotHeader, kExtended, kAwaitAck, kTransmitting, kClock, kClockAck, kClockReady };
    struct Upload {
        std::uint8_t mask = 0;
        std::vector<std::uint8_t> data;
        int percent = 0;
    };

    static int FunctionOf(std::string s) {
        for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        for (int f = 0; f < 16; ++f) {
            std::string name = kFunctionNames[f];
            std::string bare = name;
            bare.erase(std::remove(bare.begin(), bare.end(), '_'), bare.end());
            if (s == name || s == bare) return f;
        }
        return -1;
    }
    static bool ParseDevice(const std::string& s, int& house, int& unit) {
        if (s.empty() || s.size() > 3) return false;
        const char h = static_cast<char>(std::toupper(static_cast<unsigned char>(s[0])));
        if (h < 'A' || h > 'P') return false;
        house = h - 'A';
        if (s.size() == 1) { unit = 0; return true; }
        unit = 0;
        for (std::size_t i = 1; i < s.size(); ++i) {
            if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
            unit = unit * 10 + (s[i] - '0');
        }
        return s[1] != '0' && unit >= 1 && unit <= 16;
    }
    static bool ParseByte(const std::string& s, int& v) {
        if (s.empty() || s.size() > 3) return false;
        v = 0;
        for (char c : s) {
            if (!std::isdigit(static_cast<unsigned char>(c))) return false;
            v = v * 10 + (c - '0');
        }
        return v <= 255;
    }
    static bool ParsePercent(const std::string& s, int& v) {
        if (s.empty() || s.size() > 3) return false;
        v = 0;
        for (char c : s) {
            if (!std::isdigit(static_cast<unsigned char>(c))) return false;
            v = v * 10 + (c - '0');
        }
        return v <= 100;
    }

    Millis Scaled(Millis ms) const {
        const double s = timing_.speed > 0 ? timing_.speed : 1.0;
        return std::max<Millis>(1, static_cast<Millis>(static_cast<double>(ms) / s));
    }
    bool Holding() const { return !uploads_.empty() && mode_ != Mode::kTransmitting && mode_ != Mode::kClockReady; }

    // The interface holds one upload buffer: traffic heard while it is full joins it when
    // there is room (at most 8 data bytes) and is lost otherwise, as with a computer that
    // is slow to collect it.
    void Store(Upload up, Millis now) {
        if (!uploads_.empty()) {
            Upload& held = uploads_.front();
            if (held.data.size() + up.data.size() > 8) {
                Line("lost (upload buffer full)");
                return;
            }
            for (std::size_t i = 0; i < up.data.size(); ++i)
                if ((up.mask >> i) & 1) held.mask |= static_cast<std::uint8_t>(1u << (held.data.size() + i));
            held.data.insert(held.data.end(), up.data.begin(), up.data.end());
            if (up.percent) held.percent = up.percent;
            return;
        }
        uploads_.push_back(std::move(up));
        if (mode_ != Mode::kTransmitting && mode_ != Mode::kClockReady) {
            mode_ = Mode::kIdle;  // a half-done exchange is dropped: the interface now polls
            nextPoll_ = now;
        }
    }

    bool Lost() {
        if (lossPercent_ <= 0) return false;
        return std::uniform_real_distribution<double>(0, 100)(rng_) < lossPercent_;
    }

    void ReceiveByte(std::uint8_t b, Millis now) {
        if (silent_) return;
        if (Lost()) {
            if (b == 0x00 && mode_ == Mode::kAwaitAck && (header_ & 0x02)) Line("function 00 lost");
            Verbose("lost received byte");
            return;
        }
        if (powerFail_) {
            if (b == kClockSet) {
                powerFail_ = false;
                StartClock(now);
                if (!uploads_.empty()) nextPoll_ = now + Scaled(timing_.pollIntervalMs);
                Verbose("power-fail answered");
            }
            return;
        }
        if (mode_ == Mode::kClock) {
            if (clockLeft_ > 0 && now <= clockDeadline_) {
                --clockLeft_;
                clockSum_ = static_cast<std::uint8_t>(clockSum_ + b);
                clockDeadline_ = now + kClockGapMs;
                clockBytes_[6 - clockLeft_ - 1] = b;  // the interface keeps what it received
                if (clockLeft_ == 0) clockSetAt_ = now;
                if (clockLeft_ == 0) {
                    // The whole clock message: the checksum exchange follows.
                    mode_ = Mode::kClockAck;
                    Emit(std::string(1, static_cast<char>(clockSum_)));
                    Line("clock set");
                }
                return;
            }
            mode_ = Mode::kIdle;
        }
        if (mode_ == Mode::kClockAck) {
            mode_ = Mode::kIdle;
            if (b == 0x00) {
                mode_ = Mode::kClockReady;
                doneAt_ = now + 1;
                return;
            }
        }
        if (Holding()) {
            if (b == kPollAnswer) SendUpload(now);
            return;  // commands are ignored while an upload waits
        }
        switch (mode_) {
        case Mode::kIdle:
            if (b == kClockSet) StartClock(now);
            else if (b == kStatusRequest) SendStatus(now);
            else if (b & 0x04) { header_ = b; mode_ = Mode::kGotHeader; }
            // anything else (a stray 0x00, a late 0xC3...) is ignored
            break;
        case Mode::kGotHeader:
            code_ = b;
            if (header_ & 0x01) {  // an extended frame: unit, data and command bytes follow
                mode_ = Mode::kExtended;
                extended_.clear();
                break;
            }
            AnswerChecksum(static_cast<std::uint8_t>(header_ + code_));
            break;
        case Mode::kExtended:
            extended_.push_back(b);
            if (extended_.size() == 3) {
                AnswerChecksum(static_cast<std::uint8_t>(header_ + code_ + extended_[0] + extended_[1] + extended_[2]));
            }
            break;
        case Mode::kAwaitAck:
            if (b == 0x00) {
                mode_ = Mode::kTransmitting;
                doneAt_ = now + Scaled(LineTimeMs()) + lateMs_;
                if ((header_ & 0x02) && readyFaults_ > 0 && readyFault_ == ReadyFault::kLate) {
                    --readyFaults_;
                    doneAt_ += readyLateMs_;
                    Line("55 late");
                }
            } else {
                // Not a confirmation: the computer starts over (typically the same pair again).
                mode_ = Mode::kIdle;
                ReceiveByte(b, now);
            }
            break;
        case Mode::kTransmitting:
            break;  // busy on the power line
        case Mode::kClock:
        case Mode::kClockAck:
        case Mode::kClockReady:
            break;
        }
    }

    // The status answer, fourteen bytes with the highest bits first: battery timer (2 bytes),
    // seconds, minutes 0..119, hours / 2, day of the year (8 bits; its bit 8 in bit 7 of the
    // next byte, with the week-day mask), monitored house code and firmware revision, then
    // the addressed, on and dimmed units of the monitored house (16 bits each, unit n in bit
    // n - 1). The clock runs on from the last clock message.
    void SendStatus(Millis now) {
        const auto& c = clockBytes_;
        long t = c[0] + c[1] * 60L + c[2] * 7200L + (c[3] | (c[4] >> 7) << 8) * 86400L;
        t += static_cast<long>((now - clockSetAt_) / 1000);
        const long day = (t / 86400) % 366;
        const int house = kIndexOfCode[c[5] >> 4];
        int addressed = 0, on = 0, dim = 0;
        for (int u = 1; u <= 16; ++u) {
            const DeviceModel::Device& d = devices_.Get(house, u);
            if (devices_.Selected(house, u)) addressed |= 1 << (u - 1);
            if (d.on) on |= 1 << (u - 1);
            if (d.on && d.level < 100) dim |= 1 << (u - 1);
        }
        std::string out;
        auto put = [&](long v) { out.push_back(static_cast<char>(v & 0xFF)); };
        put(battery_ >> 8), put(battery_);
        put(t % 60), put(t / 60 % 120), put(t / 7200 % 12);
        put(day), put(((day >> 8) << 7) | (c[4] & 0x7F));
        put((c[5] & 0xF0) | kFirmware);
        put(addressed >> 8), put(addressed), put(on >> 8), put(on), put(dim >> 8), put(dim);
        Emit(out);
        Line("status sent");
    }

    // The checksum of the bytes received (header and code, or the whole extended frame),
    // or a wrong one while that fault is on.
    void AnswerChecksum(std::uint8_t sum) {
        if (badChecksums_ > 0) {
            --badChecksums_;
            sum = badChecksumByte_ >= 0 ? static_cast<std::uint8_t>(badChecksumByte_) : static_cast<std::uint8_t>(sum + 1);
        }
        mode_ = Mode::kAwaitAck;
        Reply(static_cast<char>(sum));
    }

    void StartClock(Millis now) {
        mode_ = Mode::kClock;
        clockLeft_ = 6;
        clockSum_ = 0;
        clockDeadline_ = now + kClockGapMs;
    }

    Millis LineTimeMs() const {
        // One frame, sent twice, plus idle cycles: 24 mains cycles (0.4 s at 60 Hz, 0.48 s
        // at 50 Hz); a dim step takes about 9.6 cycles more.
        const int hz = timing_.mainsHz == 50 ? 50 : 60;
        const Millis frame = 24 * 1000 / hz;
        const Millis step = 96 * 100 / hz;
        if ((header_ & 0x02) && ((code_ & 0x0F) == kDim || (code_ & 0x0F) == kBright))
            return frame + (header_ >> 3) * step;
        if (header_ & 0x01) return frame * 2;  // 31 more bits on the line, sent twice
        return frame;
    }

    void FinishTransmission(Millis now) {
        mode_ = Mode::kIdle;
        if ((header_ & 0x01) && extended_.size() == 3) {
            // Type 1 extended code: the unit in the frame; 0x31 presets a level 0..63.
            const int house = HouseOf(code_), unit = kIndexOfCode[extended_[0] & 0x0F] + 1;
            const int data = extended_[1], command = extended_[2];
            if (command == kExtendedPresetDim) devices_.Preset(house, unit, std::min(100, (data & 0x3F) * 100 / 63));
            Line("sent extended " + DeviceName(house, unit) + " data " + std::to_string(data) + " command " +
                 std::to_string(command));
        } else if (header_ & 0x02) {
            const int house = HouseOf(code_);
            const int fn = code_ & 0x0F;
            const int steps = header_ >> 3;
            const int percent = std::min(100, (steps * 100 + kFullRangeSteps / 2) / kFullRangeSteps);
            const std::string acted = devices_.Apply(house, fn, percent);
            std::string text = std::string("sent ") + static_cast<char>('A' + house) + " " + kFunctionNames[fn];
            if (fn == kDim || fn == kBright) text += " " + std::to_string(percent) + "%";
            Line(text + " -> " + (acted.empty() ? "-" : acted));
        } else {
            devices_.Address(HouseOf(code_), UnitOf(code_));
            Line("sent " + DeviceName(HouseOf(code_), UnitOf(code_)));
        }
        if ((header_ & 0x02) && readyFaults_ > 0 && readyFault_ != ReadyFault::kLate) {
            --readyFaults_;
            switch (readyFault_) {
            case ReadyFault::kLost:
                Line("55 lost");
                break;
            case ReadyFault::kGarbled:
                Line("55 garbled");
                Reply(static_cast<char>(kReady ^ 0x10));
                break;
            case ReadyFault::kPoll:
                Line("poll in place of the 55");
                HearRaw(std::string{'\x00', static_cast<char>(AddressByte(15, 16))}, now);  // P16 heard
                break;
            case ReadyFault::kLate:
                break;
            }
        } else {
            Reply(static_cast<char>(kReady));
        }
        if (!uploads_.empty()) nextPoll_ = now;
    }

    // A reply to the computer (a checksum or 0x55), unless replies are being lost.
    void Reply(char byte) {
        if (mutedReplies_ > 0) {
            --mutedReplies_;
            Line("reply lost");
            return;
        }
        Emit(std::string(1, byte));
    }

    // Heard traffic acts on the devices when it goes over the power line, before any upload.
    void ApplyHeard(const Upload& up) {
        std::string heard;
        for (std::size_t i = 0; i < up.data.size(); ++i) {
            const std::uint8_t d = up.data[i];
            if (i < 8 && (up.mask >> i) & 1) {
                const int fn = d & 0x0F;
                const std::string acted = devices_.Apply(HouseOf(d), fn, up.percent);
                heard += std::string(heard.empty() ? "" : ", ") + static_cast<char>('A' + HouseOf(d)) + " " +
                         kFunctionNames[fn];
                if (fn == kDim || fn == kBright) {
                    heard += " " + std::to_string(up.percent) + "%";
                    ++i;  // brightness byte
                }
                heard += " -> " + (acted.empty() ? std::string("-") : acted);
            } else {
                devices_.Address(HouseOf(d), UnitOf(d));
                heard += std::string(heard.empty() ? "" : ", ") + DeviceName(HouseOf(d), UnitOf(d));
            }
        }
        Line("heard " + heard);
    }

    void SendUpload(Millis now) {
        Upload up = uploads_.front();
        uploads_.pop_front();
        std::string bytes;
        bytes += static_cast<char>(up.data.size() + 1);
        bytes += static_cast<char>(up.mask);
        for (std::uint8_t d : up.data) bytes += static_cast<char>(d);
        Emit(bytes);
        if (!uploads_.empty()) nextPoll_ = now + Scaled(timing_.pollIntervalMs);
    }

    void Emit(const std::string& bytes) {
        if (silent_ || bytes.empty()) return;
        std::string sent;
        for (char c : bytes) {
            if (strayPercent_ > 0 && std::uniform_real_distribution<double>(0, 100)(rng_) < strayPercent_)
                sent += static_cast<char>(std::uniform_int_distribution<int>(0, 255)(rng_));
            if (!Lost()) sent += c;
        }
        if (sent.empty()) return;
        Log("tx", sent);
        std::string& to = timing_.baud > 0 ? line_ : output_;
        to += sent;
        if (to.size() > kMaxOutput) to.erase(0, to.size() - kMaxOutput);
    }
    // Bytes leave one character time (10 bits) apart at the line's baud rate.
    void Release(Millis now) {
        if (line_.empty()) return;
        const double byteMs = 10000.0 / timing_.baud / (timing_.speed > 0 ? timing_.speed : 1.0);
        if (nextByteAt_ < static_cast<double>(lastRelease_)) nextByteAt_ = static_cast<double>(lastRelease_);
        std::size_t n = 0;
        while (n < line_.size() && nextByteAt_ <= static_cast<double>(now)) {
            nextByteAt_ += byteMs;
            ++n;
        }
        output_.append(line_, 0, n);
        line_.erase(0, n);
        lastRelease_ = now;
    }
    void Log(const char* dir, std::string_view bytes) {
        std::string line = std::string(dir) + " " + Hex(bytes);
        Verbose(line);
        Push(byteLog_, std::move(line));
    }
    void Line(std::string text) {
        Verbose("line: " + text);
        Push(lineLog_, std::move(text));
    }
    static void Push(std::deque<std::string>& log, std::string s) {
        log.push_back(std::move(s));
        while (log.size() > kMaxLogEntries) log.pop_front();
    }
    void Verbose(const std::string& s) {
        if (verbose) verbose(s);
    }

    static constexpr Millis kClockGapMs = 50;  // clock bytes further apart end the clock message
    static constexpr std::size_t kMaxOutput = 1 << 16;

    Timing timing_;
    std::mt19937 rng_;
    std::string line_;          // bytes waiting for their time on the serial line
    double nextByteAt_ = 0;     // when the next byte may leave
    Millis lastRelease_ = 0;
    std::uint8_t clockSum_ = 0;
    double lossPercent_ = 0, strayPercent_ = 0;
    DeviceModel devices_;
    Mode mode_ = Mode::kIdle;
    std::uint8_t header_ = 0, code_ = 0;
    std::vector<std::uint8_t> extended_;  // unit, data and command bytes of an extended frame
    Millis doneAt_ = 0;
    int clockLeft_ = 0;
    // Clock bytes last received (seconds, minutes, hours / 2, year day, day mask, house) and
    // when; the monitored house is A until a clock message names another.
    std::array<std::uint8_t, 6> clockBytes_{0, 0, 0, 0, 0, 0x60};
    Millis clockSetAt_ = 0;
    int battery_ = 0;  // battery timer of the status answer
    Millis clockDeadline_ = 0;
    std::deque<Upload> uploads_;
    Millis nextPoll_ = 0;
    bool powerFail_ = false;
    Millis nextPowerFail_ = 0;
    int badChecksums_ = 0;
    int badChecksumByte_ = -1;
    ReadyFault readyFault_ = ReadyFault::kLost;
    int readyFaults_ = 0;
    Millis readyLateMs_ = 0;
    int mutedReplies_ = 0;
    bool silent_ = false;
    Millis lateMs_ = 0;
    std::string output_;
    std::deque<std::string> byteLog_, lineLog_;
};

// Control commands. Every answer ends with a line "ok", "error: ..." or, after a listing, ".".
enum class Action { kNone, kDrop, kQuit };

inline constexpr const char* kHelpText =
    "hear <devices...> <function> [percent]   traffic heard on the power line, e.g. hear A1 A2 dim 50\n"
    "powerfail                                power returned: send A5 until 9B\n"
    "fault checksum N [XX]                    wrong checksum (or byte XX) for the next N transmissions\n"
    "fault ready lost|garbled|poll N          the 55 after the next N functions is lost, garbled or a poll\n"
    "fault ready late N MS                    the 55 after the next N functions comes MS later\n"
    "fault mute N                             the next N replies (checksums, 55) are lost\n"
    "fault silent on|off                      answer nothing at all\n"
    "fault late MS                            extra delay before every 55 (0 ends it)\n"
    "fault loss|stray PERCENT                 lose bytes / send random stray bytes (0 ends it)\n"
    "hear-extended <device> <data> <command>  extended-code traffic heard on the power line\n"
    "hear-raw <mask> <data...>                an upload of these hex bytes (addresses of several houses...)\n"
    "macro [offset] [devices function [pct]]  a stored macro ran (switching those devices): the 0x5B report\n"
    "battery <minutes>                        battery timer of the status answer (0x8B)\n"
    "drop                                     close the TCP connection of the computer\n"
    "garbage <hex bytes> | garbage random N   send bytes to the computer as they are\n"
    "state                                    devices: A1 on 100, one a line, then .\n"
    "log                                      byte log: rx|tx and hex, then .\n"
    "powerline                                what went over the power line, then .\n"
    "clear-log                                empty both logs\n"
    "help, quit\n";

inline std::string RunCommand(Interface& sim, std::string_view line, Millis now, Action& action) {
    action = Action::kNone;
    std::vector<std::string> words;
    {
        std::istringstream in{std::string(line)};
        std::string w;
        while (in >> w && words.size() < 64) words.push_back(w);
    }
    if (words.empty()) return "";
    std::string cmd = words[0];
    for (char& c : cmd) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::vector<std::string> args(words.begin() + 1, words.end());
    auto error = [](const std::string& why) { return "error: " + why + "\n"; };
    auto listing = [](const std::deque<std::string>& log) {
        std::string out;
        for (const auto& l : log) out += l + "\n";
        return out + ".\n";
    };
    auto number = [](const std::string& s, long max, long& v) {
        char* end = nullptr;
        v = std::strtol(s.c_str(), &end, 10);
        return !s.empty() && end && *end == '\0' && v >= 0 && v <= max;
    };

    if (cmd == "hear") {
        const std::string why = sim.Hear(args, now);
        return why.empty() ? "ok\n" : error(why);
    }
    if (cmd == "hear-extended") {
        const std::string why = sim.HearExtended(args, now);
        return why.empty() ? "ok\n" : error(why);
    }
    if (cmd == "hear-raw" && !args.empty()) {
        std::string joined, bytes;
        for (const auto& a : args) joined += a + " ";
        if (!ParseHex(joined, bytes)) return error("not hex bytes");
        const std::string why = sim.HearRaw(bytes, now);
        return why.empty() ? "ok\n" : error(why);
    }
    if (cmd == "fault" && args.size() == 3 && args[0] == "checksum") {
        long v = 0;
        std::string byte;
        if (!number(args[1], 1000, v) || !ParseHex(args[2], byte) || byte.size() != 1)
            return error("usage: fault checksum N XX (XX: the byte answered, in hex)");
        sim.FaultChecksum(static_cast<int>(v), static_cast<unsigned char>(byte[0]));
        return "ok\n";
    }
    if (cmd == "fault" && args.size() == 4 && args[0] == "ready" && args[1] == "late") {
        long n = 0, ms = 0;
        if (!number(args[2], 1000, n) || !number(args[3], 60000, ms)) return error("usage: fault ready late N MS");
        sim.FaultReady(Interface::ReadyFault::kLate, static_cast<int>(n), ms);
        return "ok\n";
    }
    if (cmd == "fault" && args.size() == 3 && args[0] == "ready") {
        long v = 0;
        const Interface::ReadyFault kind = args[1] == "garbled" ? Interface::ReadyFault::kGarbled
                                           : args[1] == "poll"  ? Interface::ReadyFault::kPoll
                                                                : Interface::ReadyFault::kLost;
        if (!number(args[2], 1000, v) || (args[1] != "lost" && args[1] != "garbled" && args[1] != "poll"))
            return error("usage: fault ready lost|garbled|poll N");
        sim.FaultReady(kind, static_cast<int>(v));
        return "ok\n";
    }
    if (cmd == "macro") {
        long v = 0;
        if (!args.empty() && !number(args[0], 1023, v)) return error("usage: macro [offset 0..1023] [<devices...> <function> [percent]]");
        if (args.size() > 1) {
            const std::string why = sim.Hear({args.begin() + 1, args.end()}, now, false);
            if (!why.empty()) return error(why);
        }
        sim.MacroReport(static_cast<int>(v));
        return "ok\n";
    }
    if (cmd == "battery" && args.size() == 1) {
        long v = 0;
        if (!number(args[0], 65535, v)) return error("usage: battery <minutes 0..65535>");
        sim.SetBattery(static_cast<int>(v));
        return "ok\n";
    }
    if (cmd == "powerfail" && args.empty()) {
        sim.PowerFail(now);
        return "ok\n";
    }
    if (cmd == "fault" && args.size() == 2) {
        long v = 0;
        if (args[0] == "checksum" && number(args[1], 1000, v)) {
            sim.FaultChecksum(static_cast<int>(v));
            return "ok\n";
        }
        if (args[0] == "silent" && (args[1] == "on" || args[1] == "off")) {
            sim.FaultSilent(args[1] == "on");
            return "ok\n";
        }
        if (args[0] == "late" && number(args[1], 60000, v)) {
            sim.FaultLate(v);
            return "ok\n";
        }
        if (args[0] == "mute" && number(args[1], 1000, v)) {
            sim.FaultMute(static_cast<int>(v));
            return "ok\n";
        }
        if ((args[0] == "loss" || args[0] == "stray") && number(args[1], 100, v)) {
            if (args[0] == "loss") sim.FaultLoss(static_cast<double>(v));
            else sim.FaultStray(static_cast<double>(v));
            return "ok\n";
        }
        return error("usage: fault checksum N [XX] | fault ready lost|garbled|poll N | fault mute N | fault silent on|off | "
                     "fault late MS | fault loss|stray PERCENT");
    }
    if (cmd == "drop" && args.empty()) {
        action = Action::kDrop;
        return "ok\n";
    }
    if (cmd == "garbage" && !args.empty()) {
        long v = 0;
        if (args[0] == "random") {
            if (args.size() != 2 || !number(args[1], static_cast<long>(kMaxGarbage), v))
                return error("usage: garbage random N (N at most 4096)");
            sim.SendRaw(sim.RandomBytes(static_cast<std::size_t>(v)));
            return "ok\n";
        }
        std::string joined, bytes;
        for (const auto& a : args) joined += a + " ";
        if (!ParseHex(joined, bytes)) return error("not hex bytes");
        sim.SendRaw(bytes);
        return "ok\n";
    }
    if (cmd == "state" && args.empty()) return sim.Devices().Describe() + ".\n";
    if (cmd == "log" && args.empty()) return listing(sim.ByteLog());
    if (cmd == "powerline" && args.empty()) return listing(sim.LineLog());
    if (cmd == "clear-log" && args.empty()) {
        sim.ClearLogs();
        return "ok\n";
    }
    if (cmd == "help") return std::string(kHelpText) + "ok\n";
    if (cmd == "quit" && args.empty()) {
        action = Action::kQuit;
        return "ok\n";
    }
    return error("unknown command '" + std::string(line.substr(0, 80)) + "' (try help)");
}

}  // namespace cm11asim
