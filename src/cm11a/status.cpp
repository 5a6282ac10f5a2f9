#include "cm11a/status.h"

#include "cm11a/cm11a_engine.h"
#include "cm11a/codes.h"

#include <cstdio>

namespace quorvel::cm11a {

namespace {

int Byte(std::string_view b, std::size_t i) { return static_cast<std::uint8_t>(b[i]); }
std::uint16_t Word(std::string_view b, std::size_t i) { return static_cast<std::uint16_t>(Byte(b, i) << 8 | Byte(b, i + 1)); }
void PutWord(std::string& out, int w) {
    out.push_back(static_cast<char>((w >> 8) & 0xFF));
    out.push_back(static_cast<char>(w & 0xFF));
}

}  // namespace

std::optional<InterfaceStatus> DecodeStatus(std::string_view b) {
    if (b.size() != InterfaceStatus::kLength) return std::nullopt;
    InterfaceStatus s;
    s.BatteryTimer = Word(b, 0);
    s.Second = Byte(b, 2);
    const int minutes = Byte(b, 3), halfHours = Byte(b, 4);
    s.Minute = minutes % 60;
    s.Hour = halfHours * 2 + minutes / 60;
    s.YearDay = Byte(b, 5) | (Byte(b, 6) >> 7) << 8;
    s.DayMask = Byte(b, 6) & 0x7F;
    s.House = CodeLetters[static_cast<std::size_t>(Byte(b, 7) >> 4)];
    s.Firmware = Byte(b, 7) & 0x0F;
    s.Addressed = Word(b, 8);
    s.On = Word(b, 10);
    s.Dim = Word(b, 12);
    if (s.Second > 59 || minutes > 119 || halfHours > 11 || s.YearDay > 365) return std::nullopt;
    return s;
}

std::string EncodeStatus(const InterfaceStatus& s) {
    std::string out;
    PutWord(out, s.BatteryTimer);
    out.push_back(static_cast<char>(s.Second));
    out.push_back(static_cast<char>(s.Minute + (s.Hour % 2) * 60));
    out.push_back(static_cast<char>(s.Hour / 2));
    out.push_back(static_cast<char>(s.YearDay & 0xFF));
    out.push_back(static_cast<char>(((s.YearDay >> 8) & 1) << 7 | (s.DayMask & 0x7F)));
    const char house = s.House >= 'A' && s.House <= 'P' ? s.House : 'A';
    out.push_back(static_cast<char>(HouseCodes[static_cast<std::size_t>(house - 'A')] | (s.Firmware & 0x0F)));
    PutWord(out, s.Addressed);
    PutWord(out, s.On);
    PutWord(out, s.Dim);
    return out;
}

long ClockOffsetSeconds(const InterfaceStatus& status, const std::string& localDateTime) {
    // The clock message for local time carries the same fields as the status.
    const std::string m = Cm11aEngine::ClockMessage(localDateTime, 'A');
    InterfaceStatus local;
    local.Second = static_cast<std::uint8_t>(m[1]);
    local.Minute = static_cast<std::uint8_t>(m[2]) % 60;
    local.Hour = static_cast<std::uint8_t>(m[3]) * 2 + static_cast<std::uint8_t>(m[2]) / 60;
    local.YearDay = static_cast<std::uint8_t>(m[4]) | (static_cast<std::uint8_t>(m[5]) >> 7) << 8;
    long offset = status.YearSeconds() - local.YearSeconds();
    constexpr long kHalfYear = 183L * 86400;
    constexpr long kYear = 365L * 86400;
    if (offset > kHalfYear) offset -= kYear;
    if (offset < -kHalfYear) offset += kYear;
    return offset;
}

std::string InterfaceStatus::ClockText() const {
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d, day %d", Hour, Minute, Second, YearDay + 1);
    return text;
}

std::string InterfaceStatus::Units(std::uint16_t bits) {
    std::string out;
    for (int unit = 1; unit <= 16; ++unit) {
        if (!(bits >> (unit - 1) & 1)) continue;
        if (!out.empty()) out += ",";
        out += std::to_string(unit);
    }
    return out.empty() ? "-" : out;
}

namespace {
std::string BatteryText(const InterfaceStatus& s) {
    return s.BatteryTimer == InterfaceStatus::kBatteryReset ? "reset (0xFFFF)" : std::to_string(s.BatteryTimer) + " minutes";
}
}  // namespace

std::string StatusSummary(const InterfaceStatus& s) {
    return "battery timer " + BatteryText(s) + ", firmware revision " + std::to_string(s.Firmware) + ", clock " +
           s.ClockText() + ", monitored house " + std::string(1, s.House);
}

std::string StatusText(const InterfaceStatus& s, const std::string& readAt) {
    const std::string battery = BatteryText(s);
    return "Interface status read " + readAt + "\n" + "Battery timer: " + battery + "\n" +
           "Firmware revision: " + std::to_string(s.Firmware) + "\n" + "Clock: " + s.ClockText() + "\n" +
           "Monitored house: " + std::string(1, s.House) + " (addressed " + InterfaceStatus::Units(s.Addressed) +
           "; on " + InterfaceStatus::Units(s.On) + "; dimmed " + InterfaceStatus::Units(s.Dim) + ")\n";
}

}  // namespace quorvel::cm11a
