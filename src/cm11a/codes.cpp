#include "cm11a/codes.h"

#include "core/reporting.h"
#include "core/settings.h"

#include <cctype>

namespace quorvel::cm11a {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

void AppendHex(std::string& out, unsigned char byte) {
    out.push_back(kHexDigits[byte >> 4]);
    out.push_back(kHexDigits[byte & 0x0F]);
}

std::string JoinHex(std::string_view bytes, std::string_view separator) {
    std::string out;
    out.reserve(bytes.size() * (2 + separator.size()));
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0) out.append(separator);
        AppendHex(out, static_cast<unsigned char>(bytes[i]));
    }
    return out;
}

}  // namespace

int FunctionCode(std::string_view name) {
    const std::string wanted = core::Lower(name);
    for (std::size_t i = 0; i < X10FunctionNames.size(); ++i) {
        if (X10FunctionNames[i] == wanted) return static_cast<int>(i);
    }
    return -1;
}

int KeywordFunction(std::string_view keyword) {
    struct Entry {
        std::string_view keyword;
        int code;
    };
    static constexpr Entry kKeywords[] = {
        {"ON", 2},           {"OFF", 3},           {"DIM", 4},          {"BRIGHT", 5},
        {"STATUS", 15},      {"ALLUNITSOFF", 0},   {"ALLLIGHTSOFF", 6}, {"ALLLIGHTSON", 1}};
    for (const auto& e : kKeywords) {
        if (e.keyword == keyword) return e.code;
    }
    return -1;
}

std::optional<std::uint8_t> AddressByte(std::string_view dc) {
    if (dc.empty()) return std::nullopt;
    const char h = core::UpperAscii(dc[0]);  // not the locale's: a Turkish "i" must stay I
    if (h < 'A' || h > 'P') return std::nullopt;
    int unit = 0;
    for (std::size_t i = 1; i < dc.size(); ++i) {
        const char c = dc[i];
        if (c < '0' || c > '9') break;
        unit = unit * 10 + (c - '0');
        if (unit > 16) return std::nullopt;  // also keeps long digit runs from overflowing
    }
    if (unit < 1) return std::nullopt;
    return static_cast<std::uint8_t>(HouseCodes[h - 'A'] + HouseCodes[unit - 1] / 16);
}

std::string DeviceCode(std::uint8_t address) {
    const char house = CodeLetters[address >> 4];
    const int unit = CodeLetters[address & 0x0F] - 'A' + 1;
    return std::string(1, house) + std::to_string(unit);
}

std::string ToHex(int n, core::Reporter& reporter) {
    if (n < 0 || n > 255) {
        reporter.ReportEvent(core::kAppName,
                             "Attempting to send " + std::to_string(n) + " to Rain8, which is too large");
        n = 0;
    }
    std::string out;
    AppendHex(out, static_cast<unsigned char>(n));
    return out;
}

std::string HexJoin(std::string_view bytes) { return JoinHex(bytes, ", "); }

std::string HexSpaced(std::string_view bytes) { return JoinHex(bytes, " "); }

}  // namespace quorvel::cm11a
