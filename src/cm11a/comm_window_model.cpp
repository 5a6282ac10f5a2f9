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
        for (const char c : sendString) {
            const auto u = static_cast<unsigned char>(c);
            if (u < 0x20 || u >= 0x7f) {
                EchoMessage("Refused: only letters, digits, blanks and commas can be typed (e.g. A1 ON)");
                return;
            }
        }
        // Commas and runs of blanks separate words; blanks at either end are dropped.
        std::vector<std::string> w;
        for (const std::string& word : Split(core::Upper(ReplaceAll(sendString, ",", " ")), ' ')) {
            if (!word.empty()) w.push_back(word);
        }
        if (w.size() < 2) {
            EchoMessage("Command not recognized: type a device and a function, e.g. A1 ON");
            return;
        }
        const std::string typed = w[0] + " " + w[1] + (w.size() >= 3 ? " " + w[2] : std::string());
        auto refuse = [&](const std::string& why) { EchoMessage("Refused " + typed + ": " + why); };
        const int code = KeywordFunction(w[1]);
        if (code < 0) {
            refuse(w[1] + " is not a function (ON, OFF, DIM, BRIGHT, STATUS, ALLUNITSOFF, ALLLIGHTSOFF, ALLLIGHTSON)");
            return;
        }
        const auto address = AddressByte(w[0]);
        if (!address || w[0].find_first_not_of("0123456789", 1) != std::string::npos) {
            refuse(w[0] + " is not a device code (A1 to P16)");
            return;
        }
        int amount = 0;
        if (w.size() >= 3) {
            const bool digits = w[2].find_first_not_of("0123456789") == std::string::npos;
            amount = digits && w[2].size() <= 5 ? std::stoi(w[2]) : -1;
            if (amount < 0 || amount > kMaxAmount) {
                refuse(w[2] + " is not an amount from 0 to " + std::to_string(kMaxAmount));
                return;
            }
        }
        txStatus_ = w[0] + "=" + w[1];
        const std::string why = send_ ? send_(w[0], code, amount) : std::string("nothing takes commands");
        if (!why.empty()) {
            refuse(why);
            return;
        }
        EchoMessage("Queued " + typed + ": sends " + HexSpaced(std::string{static_cast<char>(AddressHeader(amount)),
                                                                            static_cast<char>(*address)}) +
                    ", then " +
                    HexSpaced(std::string{static_cast<char>(FunctionHeader(amount)),
                                          static_cast<char>(FunctionByte(*address, code))}));
    });
}

}  // namespace quorvel::cm11a
