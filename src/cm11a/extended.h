// X10 extended codes as the CM11A sends them: the header 0x07 (bit 0: extended), the
// function byte (house code, function 7), the unit code in the lower nibble, a data byte and
// a command byte; the interface answers the sum of the five bytes (AND 0xFF) as checksum.
// In an xAP-X10.request, command=extended carries them in the items "data" and "extcommand"
// (0..255, decimal or 0x followed by hex digits); events carry "Data" and "ExtCommand".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace quorvel::cm11a {

inline constexpr std::uint8_t kExtendedHeader = 0x07;
inline constexpr std::string_view kExtendedDataItem = "data";
inline constexpr std::string_view kExtendedCommandItem = "extcommand";
// The extended command that sets a level directly (its data byte: the level, 0..63, in
// bits 5..0).
inline constexpr int kExtendedPresetDim = 0x31;
inline constexpr int kPresetLevels = 63;

// A level in percent as a preset-dim data byte: 0 for 0 %, otherwise 1..63 (the lowest
// level still gives light).
int PresetData(int percent);
// A preset-dim data byte as the level in percent (bits 7..6 are not part of the level).
int PresetPercent(int data);

// The five bytes for the device of an address byte.
std::string ExtendedFrame(std::uint8_t address, int data, int command);
// The interface's checksum of bytes.
std::uint8_t FrameChecksum(std::string_view bytes);
// A byte value of a request item, or nothing for an empty, malformed or out-of-range text.
std::optional<int> ExtendedByte(std::string_view text);
// The data and command bytes of a request's items; nothing unless both are valid.
std::optional<std::pair<int, int>> ExtendedBytes(std::string_view data, std::string_view command);

}  // namespace quorvel::cm11a
