// The clock message: the interface's time, sent at start-up, whenever the link opens and
// when the interface asks for it after a power failure (0xA5). 0x9B and six bytes, the
// interface's checksum confirmed with 0x00, and its 0x55.
#include "cm11a/cm11a_engine.h"

#include "cm11a/codes.h"

#include <algorithm>

namespace quorvel::cm11a {

namespace {

// Reads the number in text at [pos, pos + len); -1 when it is not all digits.
int Digits(const std::string& text, std::size_t pos, std::size_t len) {
    if (pos + len > text.size()) return -1;
    int v = 0;
    for (std::size_t i = pos; i < pos + len; ++i) {
        if (text[i] < '0' || text[i] > '9') return -1;
        v = v * 10 + (text[i] - '0');
    }
    return v;
}

bool LeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// Days since 1970-01-01 of a civil date (proleptic Gregorian calendar).
long DaysFromCivil(int y, int m, int d) {
    y -= m <= 2 ? 1 : 0;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const long yoe = y - era * 400;
    const long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

}  // namespace

void Cm11aEngine::StartClock(const char* why) {
    rxState_ = RxState::AwaitClockChecksum;  // nothing else goes out until the exchange is over
    lastClockSetMs_ = platform_.NowMs();
    InterruptHead(why);
    const char house = settings_.House.empty() ? 'A' : settings_.House.front();
    const std::string message = ClockMessage(platform_.LocalDateTime(), house);
    std::uint8_t sum = 0;
    for (std::size_t i = 1; i < message.size(); ++i) sum = static_cast<std::uint8_t>(sum + static_cast<std::uint8_t>(message[i]));
    clockSum_ = sum;
    clockSumWithSet_ = static_cast<std::uint8_t>(sum + kClockSet);
    quietTimer_->Arm(kClockAnswerMs);
    comm_.SetTxStatus(std::string("Clock sent to the CM11A (") + why + ")");
    reporter_.DebugLog(std::string("CM11A clock message sent (") + why + ")");
    Write(message);
}

void Cm11aEngine::ClockStep(std::uint8_t b) {
    if (ClockChecksum(b)) {
        rxState_ = RxState::AwaitClockReady;
        quietTimer_->Arm(kClockAnswerMs);
        Write(std::string(1, '\0'));
        return;
    }
    if (rxState_ == RxState::AwaitClockReady && b == kReady) {
        EndClock("CM11A clock set");
        return StartHead();
    }
    // An 0xA5 here crossed the clock message on the line: the interface gets one message.
    DebugByte(b == kPowerFail ? "(a power-fail request that crossed the clock message)" : "in the clock exchange", b);
}

bool Cm11aEngine::ClockChecksum(std::uint8_t b) const {
    return rxState_ == RxState::AwaitClockChecksum && (b == clockSum_ || b == clockSumWithSet_);
}

void Cm11aEngine::EndClock(const char* why) {
    rxState_ = RxState::Idle;
    quietTimer_->SetEnabled(false);
    reporter_.DebugLog(why);
}

std::string Cm11aEngine::ClockMessage(const std::string& localDateTime, char houseLetter) {
    // "YYYY-MM-DD hh:mm:ss"; a text that cannot be read gives midnight of 1 January 2000.
    int year = Digits(localDateTime, 0, 4), month = Digits(localDateTime, 5, 2), day = Digits(localDateTime, 8, 2);
    int hour = Digits(localDateTime, 11, 2), minute = Digits(localDateTime, 14, 2), second = Digits(localDateTime, 17, 2);
    if (year < 1970 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 || minute < 0 ||
        minute > 59 || second < 0 || second > 60) {
        year = 2000, month = 1, day = 1, hour = 0, minute = 0, second = 0;
    }
    second = std::min(second, 59);
    static constexpr int kDaysBefore[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    const int yearDay = kDaysBefore[month - 1] + day - 1 + (month > 2 && LeapYear(year) ? 1 : 0);  // 0-based
    const long days = DaysFromCivil(year, month, day);
    const int weekDay = static_cast<int>(((days % 7) + 11) % 7);  // 0 = Sunday (1970-01-01 was a Thursday)
    const char letter = static_cast<char>(houseLetter >= 'a' && houseLetter <= 'p' ? houseLetter - 32 : houseLetter);
    const std::uint8_t house = letter >= 'A' && letter <= 'P' ? HouseCodes[static_cast<std::size_t>(letter - 'A')] : HouseCodes[0];
    std::string m;
    m.push_back(static_cast<char>(kClockSet));
    m.push_back(static_cast<char>(second));
    m.push_back(static_cast<char>(minute + (hour % 2) * 60));
    m.push_back(static_cast<char>(hour / 2));
    m.push_back(static_cast<char>(yearDay & 0xFF));
    m.push_back(static_cast<char>(((yearDay >> 8) << 7) | (1 << weekDay)));
    m.push_back(static_cast<char>(house));  // monitored house in the upper nibble, no flags
    return m;
}

}  // namespace quorvel::cm11a
