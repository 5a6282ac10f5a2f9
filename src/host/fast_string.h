// Builds a long text from many pieces: pieces are stored in slots that grow in steps of
// 100 and joined once, when the text is asked for.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel::host {

class FastString {
public:
    FastString() { Reset(); }

    void Add(std::string_view strValue);
    std::string Value() const;
    void Reset();

    // Highest slot index (100 for a new builder, 200 after the 101st piece).
    std::size_t HighestSlot() const { return slots_.size() - 1; }
    std::size_t NextSlot() const { return next_; }

private:
    static constexpr std::size_t kGrowthStep = 100;
    std::vector<std::string> slots_;
    std::size_t next_ = 1;
};

}  // namespace quorvel::host
