// Decoding of the interface's uploads: the X10 traffic it heard on the power line, as a
// mask byte and up to eight address, function and brightness bytes. Addresses are kept
// until a function of their house arrives, across uploads. No I/O: the engine announces
// what Decode returns.
#pragma once

#include "cm11a/x10_activity.h"

#include <cstdint>
#include <string_view>
#include <vector>

namespace quorvel::cm11a {

class UploadDecoder {
public:
    // Addresses heard without a function yet; the oldest give way beyond this.
    static constexpr std::size_t kHeardLimit = 64;

    // The functions carried by one whole upload (mask byte first; length: its length byte),
    // each with the heard addresses of its own house. lastTxAddress: the address byte the
    // connector sent last, to which a lone function of its house is attributed as well.
    std::vector<X10Activity> Decode(std::string_view upload, int length, std::uint8_t lastTxAddress);
    const std::vector<std::uint8_t>& Heard() const { return heard_; }
    void Clear() { heard_.clear(); }

private:
    void Hear(std::uint8_t address);

    std::vector<std::uint8_t> heard_;
};

}  // namespace quorvel::cm11a
