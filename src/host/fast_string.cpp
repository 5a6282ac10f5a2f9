#include "host/fast_string.h"

namespace quorvel::host {

void FastString::Add(std::string_view strValue) {
    if (next_ > HighestSlot()) slots_.resize(slots_.size() + kGrowthStep);
    slots_[next_].assign(strValue);
    ++next_;
}

std::string FastString::Value() const {
    std::size_t total = 0;
    for (std::size_t i = 1; i < next_; ++i) total += slots_[i].size();
    std::string out;
    out.reserve(total);
    for (std::size_t i = 1; i < next_; ++i) out += slots_[i];
    return out;
}

void FastString::Reset() {
    slots_.assign(kGrowthStep + 1, std::string());
    next_ = 1;
}

}  // namespace quorvel::host
