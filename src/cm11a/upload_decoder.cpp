// Decoding of the interface's uploads into the X10 functions they carry (see upload_decoder.h).
#include "cm11a/upload_decoder.h"

#include "cm11a/codes.h"

namespace quorvel::cm11a {

namespace {

// Received dim/bright amount (the interface's 0..210 scale) as a percentage, rounded.
int BrightnessPercent(std::uint8_t b) { return (b * 100 + 105) / 210; }

}  // namespace

void UploadDecoder::Hear(std::uint8_t address) {
    heard_.push_back(address);
    if (heard_.size() > kHeardLimit) heard_.erase(heard_.begin());
}

std::vector<X10Activity> UploadDecoder::Decode(std::string_view upload, int length, std::uint8_t lastTxAddress) {
    std::vector<X10Activity> out;
    if (upload.empty()) return out;
    const auto mask = static_cast<std::uint8_t>(upload[0]);
    const int n = static_cast<int>(upload.size());
    auto at = [&](int position) { return static_cast<std::uint8_t>(upload[static_cast<std::size_t>(position - 1)]); };

    if (mask == 1 && length == 2 && n >= 2) {
        // A lone function goes (also) to the device we addressed last, if it is of the
        // function's house: a function only ever acts within its own house.
        if ((lastTxAddress & 0xF0) == (at(2) & 0xF0)) Hear(lastTxAddress);
    }
    if (mask == 0) {
        for (int pos = 2; pos <= n; ++pos) Hear(at(pos));
        return out;
    }
    int i = -1;
    while (i + 2 < n && i < 7) {
        i += 1;
        const std::uint8_t byte = at(i + 2);
        if ((mask & BitMasks[static_cast<std::size_t>(i)]) == 0) {
            Hear(byte);
            continue;
        }
        const int f = byte & 0x0F;
        X10Activity activity;
        activity.Origin = X10Origin::PowerLine;
        activity.House = CodeLetters[byte >> 4];
        activity.Function = f;
        if (f == kFunctionDim || f == kFunctionBright) {
            if (i + 3 <= n) {
                activity.AmountPercent = BrightnessPercent(at(i + 3));
                i += 1;
            }
        }
        if (f == kFunctionExtended && i + 3 + 2 <= n) {
            // An extended-code frame carries its unit, a data byte and a command byte after
            // the function byte: they are the frame's, not addresses heard. The frame names
            // its device itself.
            Hear(static_cast<std::uint8_t>((byte & 0xF0) | (at(i + 3) & 0x0F)));
            activity.ExtData = at(i + 4);
            activity.ExtCommand = at(i + 5);
            i += 3;
        }
        // The function acts on the addresses of its own house; those of other houses wait
        // for a function of theirs.
        std::vector<std::uint8_t> others;
        for (const std::uint8_t a : heard_) {
            if ((a & 0xF0) == (byte & 0xF0)) activity.Devices.push_back(DeviceCode(a));
            else others.push_back(a);
        }
        heard_ = std::move(others);
        if (!activity.Devices.empty() || HouseWideFunction(f)) out.push_back(std::move(activity));
    }
    return out;
}

}  // namespace quorvel::cm11a
