// X10 code tables and the byte rules of the CM11A interface: the 4-bit house/unit codes,
// the function names, address and function bytes, and the hex renderings of traffic.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvel::core {
class Reporter;
}

namespace quorvel::cm11a {

// 4-bit X10 code of letter A..P (index 0..15), shifted into the upper nibble. Unit n uses
// the code of the n-th letter.
inline constexpr std::array<std::uint8_t, 16> HouseCodes = {
    0x60, 0xE0, 0x20, 0xA0, 0x10, 0x90, 0x50, 0xD0,
    0x70, 0xF0, 0x30, 0xB0, 0x00, 0x80, 0x40, 0xC0};

// Letter of each 4-bit code 0..15 (the inverse of HouseCodes).
inline constexpr std::array<char, 16> CodeLetters = {
    'M', 'E', 'C', 'K', 'O', 'G', 'A', 'I', 'N', 'F', 'D', 'L', 'P', 'H', 'B', 'J'};

inline constexpr std::array<std::uint8_t, 8> BitMasks = {1, 2, 4, 8, 16, 32, 64, 128};

// Function names by X10 function code; the "Event" values of xAP events and the command
// names of xAP requests.
inline constexpr std::array<std::string_view, 16> X10FunctionNames = {
    "all_units_off", "all_lights_on", "on",        "off",        "dim",          "bright",
    "all_lights_off", "extended",     "hail_request", "hail_ack", "preset_dim_1", "preset_dim_2",
    "data_xfer",     "status_on",     "status_off", "status_request"};

inline constexpr int kFunctionAllUnitsOff = 0;
inline constexpr int kFunctionAllLightsOn = 1;
inline constexpr int kFunctionOn = 2;
inline constexpr int kFunctionOff = 3;
inline constexpr int kFunctionDim = 4;
inline constexpr int kFunctionBright = 5;
inline constexpr int kFunctionAllLightsOff = 6;
inline constexpr int kFunctionExtended = 7;
inline constexpr int kFunctionStatusRequest = 15;
// All-units-off, all-lights-on and all-lights-off act on a whole house, without an address.
inline constexpr bool HouseWideFunction(int f) {
    return f == kFunctionAllUnitsOff || f == kFunctionAllLightsOn || f == kFunctionAllLightsOff;
}

// Function code of a name in X10FunctionNames (letter case ignored), or -1.
int FunctionCode(std::string_view name);
// Function code of a keyword typed in the communications window ("ON", "ALLUNITSOFF"...),
// or -1 when the keyword is not accepted there. Upper case expected.
int KeywordFunction(std::string_view keyword);

// Address byte of a device code (house letter in any case, unit 1..16 in decimal; trailing
// text after the digits is ignored). Nothing when the text is not a device code.
std::optional<std::uint8_t> AddressByte(std::string_view dc);
// Function byte sent for an address: its house nibble and the function code.
inline std::uint8_t FunctionByte(std::uint8_t address, int command) {
    return static_cast<std::uint8_t>((address & 0xF0) + (command & 0x0F));
}
// Device code of a received address byte, for example 0x66 -> "A1", 0xCC -> "P16".
std::string DeviceCode(std::uint8_t address);

// Header byte of a transmission: dim amount in bits 7..3, bit 2 set, bit 1 for a function.
inline std::uint8_t AddressHeader(int brightness) { return static_cast<std::uint8_t>(brightness * 8 + 4); }
inline std::uint8_t FunctionHeader(int brightness) { return static_cast<std::uint8_t>(brightness * 8 + 6); }
// Checksum the interface answers for a header and code byte.
inline std::uint8_t Checksum(std::uint8_t header, std::uint8_t code) {
    return static_cast<std::uint8_t>((header + code) & 0xFF);
}

// Two upper-case hex digits of n (0..255). Values out of range are reported as too large
// and rendered "00".
std::string ToHex(int n, core::Reporter& reporter);
// Hex of every byte joined with ", " ("5A, C3"); empty for empty input.
std::string HexJoin(std::string_view bytes);
// Hex of every byte joined with single spaces ("04 66 00").
std::string HexSpaced(std::string_view bytes);

}  // namespace quorvel::cm11a
