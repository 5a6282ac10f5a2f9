#include "cm11a/extended.h"

#include <algorithm>

namespace quorvel::cm11a {

std::string ExtendedFrame(std::uint8_t address, int data, int command) {
    return {static_cast<char>(kExtendedHeader), static_cast<char>((address & 0xF0) | 0x07),
            static_cast<char>(address & 0x0F), static_cast<char>(data & 0xFF), static_cast<char>(command & 0xFF)};
}

int PresetData(int percent) {
    if (percent <= 0) return 0;
    return std::clamp((std::min(percent, 100) * kPresetLevels + 50) / 100, 1, kPresetLevels);
}

int PresetPercent(int data) { return ((data & kPresetLevels) * 100 + kPresetLevels / 2) / kPresetLevels; }

std::uint8_t FrameChecksum(std::string_view bytes) {
    unsigned sum = 0;
    for (const char c : bytes) sum += static_cast<std::uint8_t>(c);
    return static_cast<std::uint8_t>(sum & 0xFF);
}

std::optional<int> ExtendedByte(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty() || text.size() > 3) return std::nullopt;
    int v = 0;
    for (const char c : text) {
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else return std::nullopt;
        v = v * base + d;
    }
    if (v > 255) return std::nullopt;
    return v;
}

std::optional<std::pair<int, int>> ExtendedBytes(std::string_view data, std::string_view command) {
    const auto d = ExtendedByte(data), c = ExtendedByte(command);
    if (!d || !c) return std::nullopt;
    return std::pair{*d, *c};
}

}  // namespace quorvel::cm11a
