#include "cm11a/comm_window_model.h"

#include "core/settings.h"
#include "cm11a/codes.h"

#include <cstdint>
#include <stdexcept>
#include <limits>
#include <vector>

namespace quorvel::cm11a {

namespace {

// Replaces every occurrence of from, left to right, without rescanning replaced text.
std::string ReplaceAll(const std::string& text, const std::string& from, const std::string& to) {
    std::string out;
    std::size_t pos = 0;
    for (;;) {
        const std::size_t hit = text.find(from, pos);
        if (hit == std::string::npos) break;
        out.append(text, pos, hit - pos);
        out.append(to);
        pos = hit + from.size();
    }
    out.append(text, pos, std::string::npos);
    return out;
}

std::vector<std::string> Split(const std::string& text, char sep) {
    std::vector<std::string> words;
    std::size_t start = 0;
    for (;;) {
        const std::size_t hit = text.find(sep, start);
        if (hit == std::string::npos) {
            words.push_back(text.substr(start));
            return words;
        }
        words.push_back(text.substr(start, hit - start));
        start = hit + 1;
    }
}

// Leading optional sign and digits as a number; no digits give 0. Throws when the value
// does not fit a 16-bit integer.
int Amount16(const std::string& word) {
    std::size_t i = 0;
    bool negative = false;
    if (i < word.size() && (word[i] == '+' || word[i] == '-')) negative = word[i++] == '-';
    long long value = 0;
    for (; i < word.size() && word[i] >= '0' && word[i] <= '9'; ++i) {
        value = value * 10 + (word[i] - '0');
        if (value > 100000) break;
    }
    if (negative) value = -value;
    if (value < std::numeric_limits<std::int16_t>::min() || value > std::numeric_limits<std::int16_t>::max()) {
        throw std::out_of_range("Overflow: " + word);
    }
    return static_cast<int>(value);
}

}  // namespace

CommWindowModel::CommWindowModel(platform::Platform& platform, core::Reporter& reporter)
    : platform_(platform), reporter_(reporter) {}

void CommWindowModel::Form_Load() {
    commStatus_.clear();
    commData_.clear();
    Changed();
}

void CommWindowModel::KeepTail(std::string& pane) {
    if (pane.size() > kPaneLimit) pane.erase(0, pane.size() - kPaneLimit);
}

void CommWindowModel::Changed() {
    if (changed_) changed_();
}

void CommWindowModel::EchoMessage(const std::string& text) {
    core::Guarded(reporter_, "EchoMessage ", [&] {
        std::string line = text.size() <= 9 ? "[Sent to CM11A (" + txStatus_ + "): " + text + " ]" : text;
        const std::string ticks = std::to_string(platform_.NowMs() % 4294967296ULL);
        const std::string lastThree = ticks.size() > 3 ? ticks.substr(ticks.size() - 3) : ticks;
        line = platform_.LocalDateTime() + " " + lastThree + " | " + line;
        commData_.append("\r\n").append(line).append("\r\n");
        KeepTail(commData_);
        ScrollEchoWindows();
    });
}

void CommWindowModel::EchoHex(const std::string& bytes) {
    std::string text;
    core::Guarded(reporter_, "EchoHex ", [&] { text = HexSpaced(bytes); });
    EchoMessage(text);
}

void CommWindowModel::AppendStatus(const std::string& text) {
    commStatus_.append(text);
    KeepTail(commStatus_);
}

void CommWindowModel::AppendData(const std::string& text) {
    commData_.append(text);
    KeepTail(commData_);
}

void CommWindowModel::ScrollEchoWindows() {
    core::Guarded(reporter_, " ScrollEchoWindows: ", [&] { Changed(); });
}

void CommWindowModel::SendToRain8_Click(const std::string& sendString) {
    core::Guarded(reporter_, "SendToRain8_Click ", [&] {
        const std::string t = core::Upper(ReplaceAll(ReplaceAll(sendString, ",", " "), "  ", " "));
        const std::vector<std::string> w = Split(t, ' ');
        if (w.size() < 2) {
            EchoMessage("Command not recognized");
            return;
        }
        txStatus_ = w[0] + "=" + w[1];
        const int amount = w.size() >= 3 ? Amount16(w[2]) : 0;
        const int code = KeywordFunction(w[1]);
        if (code < 0) return;
        if (send_) send_(w[0], code, amount);
    });
}

}  // namespace quorvel::cm11a
