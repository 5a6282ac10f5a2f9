// Names of parameterised cases in the test output: "lone function, last sent address"
// becomes "LoneFunctionLastSentAddress" (letters and digits only, each word capitalised).
#pragma once

#include <string>
#include <string_view>

namespace quorvel::test {

inline std::string CaseName(std::string_view text) {
    std::string out;
    bool wordStart = true;
    for (char c : text) {
        const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alnum) {
            wordStart = true;
            continue;
        }
        out.push_back(wordStart && c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
        wordStart = false;
    }
    return out.empty() ? std::string("Unnamed") : out;
}

}  // namespace quorvel::test
