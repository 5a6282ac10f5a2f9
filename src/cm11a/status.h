// The interface's own status: its answer to the status request 0x8B, fourteen bytes, the
// first byte carrying the highest bits:
//   bytes 0-1  battery timer (high byte first; 0xFFFF after a reset)
//   byte 2     seconds, byte 3 minutes (0..119), byte 4 hours / 2 (0..11)
//   byte 5     day of the year, bits 0..7; byte 6 bit 7 its bit 8, bits 6..0 week-day mask
//              (bit 0 Sunday .. bit 6 Saturday)
//   byte 7     monitored house code (upper nibble), firmware revision (lower nibble)
//   bytes 8-9  addressed units of the monitored house, 10-11 units on, 12-13 units dimmed;
//              each a 16-bit word (high byte first), bit n for unit n + 1
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvel::cm11a {

struct InterfaceStatus {
    static constexpr std::uint8_t kRequest = 0x8B;
    static constexpr std::size_t kLength = 14;
    static constexpr int kBatteryReset = 0xFFFF;

    int BatteryTimer = kBatteryReset;
    int Second = 0;
    int Minute = 0;  // 0..59
    int Hour = 0;    // 0..23
    int YearDay = 0;  // 0-based
    int DayMask = 0;
    char House = 'A';
    int Firmware = 0;
    std::uint16_t Addressed = 0;
    std::uint16_t On = 0;
    std::uint16_t Dim = 0;

    // The interface's time within its year, in seconds.
    long YearSeconds() const { return ((YearDay * 24L + Hour) * 60 + Minute) * 60 + Second; }
    // "hh:mm:ss, day N".
    std::string ClockText() const;
    // Units (1..16) whose bit is set in a bitmap, e.g. "1,5,16"; "-" for none.
    static std::string Units(std::uint16_t bits);

    bool operator==(const InterfaceStatus&) const = default;
};

// nullopt unless exactly kLength bytes whose fields are in range.
std::optional<InterfaceStatus> DecodeStatus(std::string_view bytes);
// The fourteen bytes of a status (the simulator answers with them).
std::string EncodeStatus(const InterfaceStatus& status);

// Seconds the interface's clock is ahead (positive) or behind local time
// ("YYYY-MM-DD hh:mm:ss"), taken across a year's end.
long ClockOffsetSeconds(const InterfaceStatus& status, const std::string& localDateTime);

// One line: "battery timer 12 minutes, firmware revision 1, clock 06:07:31, day 341,
// monitored house A".
std::string StatusSummary(const InterfaceStatus& status);
// Lines for people, as kept in the status file next to the device states and shown by
// --status: when the status was read and every field.
std::string StatusText(const InterfaceStatus& status, const std::string& readAt);

}  // namespace quorvel::cm11a
