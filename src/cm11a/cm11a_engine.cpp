#include "cm11a/cm11a_engine.h"

#include "cm11a/codes.h"
#include "xap/xap_sender.h"

#include <algorithm>
#include <string_view>

namespace quorvel::cm11a {

namespace {

constexpr const char* kEventClass = "xAP-x10.Event";

// Received dim/bright amount (the interface's 0..210 scale) as a percentage, rounded.
int BrightnessPercent(std::uint8_t b) { return (b * 100 + 105) / 210; }

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

// Marks an engine step; the outermost step carries out what was held back during it.
class Cm11aEngine::Step {
public:
    explicit Step(Cm11aEngine& engine) : engine_(engine) { ++engine_.depth_; }
    ~Step() { --engine_.depth_; }
    Step(const Step&) = delete;
    Step& operator=(const Step&) = delete;
    bool Outermost() const { return engine_.depth_ == 1; }

private:
    Cm11aEngine& engine_;
};

Cm11aEngine::Cm11aEngine(platform::Platform& platform, core::Reporter& reporter,
                         const core::Settings& settings, CommWindowModel& comm, LinkPort& link)
    : platform_(platform), reporter_(reporter), settings_(settings), comm_(comm), link_(link),
      timer_(platform.CreateTimer()), quietTimer_(platform.CreateTimer()) {
    timer_->SetHandler([this] { CM11ATimer_Timer(); });
    quietTimer_->SetHandler([this] { QuietTimer_Timer(); });
    comm_.SetSendCommand([this](const std::string& dc, int command, int brightness) {
        SendCM11A(dc, command, brightness);
    });
}

Cm11aEngine::~Cm11aEngine() {
    comm_.SetSendCommand(nullptr);
    timer_->SetEnabled(false);
    quietTimer_->SetEnabled(false);
}

// ---------------------------------------------------------------------------------------
// Entry points

bool Cm11aEngine::InitCM11A(const std::string& port) {
    Step step(*this);
    queue_.clear();
    heard_.clear();
    pendingInput_.clear();
    pendingPos_ = 0;
    reportBuffer_.clear();
    reportRemaining_ = 0;
    reportExpected_ = false;
    pollIsPoll_ = true;
    macroRemaining_ = 0;
    resyncing_ = false;
    clockPhase_ = ClockPhase::None;
    quietTimer_->SetEnabled(false);
    StopTimer();
    bool open = false;
    core::Guarded(reporter_, "InitCM11A", [&] {
        if (link_.PortOpen(port)) {
            AnswerClock();
            open = true;
        }
    });
    if (step.Outermost()) Drain();
    return open;
}

void Cm11aEngine::SendCM11A(const std::string& dc, int command, int brightness, X10Origin origin) {
    Step step(*this);
    core::Guarded(reporter_, "SendCM11A", [&] {
        X10Queue refused;  // told to the observer when the command is not queued
        refused.DC = dc;
        refused.Command = command;
        refused.Brightness = brightness;
        refused.Origin = static_cast<int>(origin);
        if (!link_.PortOpen(settings_.ComPort)) {
            if (dc.empty()) return;
            // While the link is being opened the command waits for it; it starts when the
            // link opens (LinkOpened).
            if (link_.Connecting()) {
                if (Enqueue(dc, command, brightness, origin)) {
                    reporter_.DebugLog("SendCM11A " + dc + " waits for the CM11A link");
                } else {
                    Tell(refused, false);
                }
            } else {
                ReportDropped(dc);
                Tell(refused, false);
            }
            return;
        }
        linkDownReported_ = false;
        if (!Enqueue(dc, command, brightness, origin) && !dc.empty()) Tell(refused, false);
        if (step.Outermost()) {
            if (!InterfaceBusy() && !queue_.empty()) SendX10(queue_.front());
        } else {
            startHeld_ = true;  // a step is running: start the head once it has finished
        }
    });
    if (step.Outermost()) Drain();
}

void Cm11aEngine::ReportDropped(const std::string& dc) {
    // Once per outage on the network; every further command in the log only.
    const std::string text = "SendCM11A dropped " + dc + ": the CM11A link is not open";
    if (linkDownReported_) {
        reporter_.DebugLog(text);
    } else {
        linkDownReported_ = true;
        reporter_.ReportEvent(core::kAppName, text);
    }
}

void Cm11aEngine::LinkOpened() {
    Step step(*this);
    linkDownReported_ = false;
    if (!step.Outermost()) {
        startHeld_ = true;
        return;
    }
    // A head left waiting while the link was down starts its handshake afresh on the new
    // connection; a wait for quiet or for the clock exchange belonged to the old one.
    resyncing_ = false;
    clockPhase_ = ClockPhase::None;
    quietTimer_->SetEnabled(false);
    if (!timer_->Enabled() && !queue_.empty()) queue_.front().State = 0;
    // The clock goes first, as a whole message: an interface that lost power while the
    // link was down is still asking for it. The head follows once it is set.
    core::Guarded(reporter_, "LinkOpened", [&] {
        if (!timer_->Enabled()) AnswerClock();
    });
    StartHead();
    Drain();
}

void Cm11aEngine::QuietTimer_Timer() {
    quietTimer_->SetEnabled(false);
    Step step(*this);
    if (resyncing_) {
        resyncing_ = false;  // the line is quiet: the pair goes out again
    } else if (clockPhase_ != ClockPhase::None) {
        EndClock("CM11A clock exchange ended without the interface's answer");
    }
    if (step.Outermost()) {
        StartHead();
        Drain();
    } else {
        startHeld_ = true;
    }
}

void Cm11aEngine::PortChanged() {
    portChangePending_ = true;
    if (depth_ == 0 && !MidExchange()) SwitchPort();
}

bool Cm11aEngine::MidExchange() const {
    return InterfaceBusy() || reportExpected_ || reportRemaining_ > 0 || macroRemaining_ > 0 ||
           (!queue_.empty() && queue_.front().State != 0);
}

void Cm11aEngine::SwitchPort() {
    portChangePending_ = false;
    reporter_.DebugLog("CM11A port changed to " + settings_.ComPort);
    link_.UsePort(settings_.ComPort);
}

bool Cm11aEngine::InterfaceBusy() const {
    return timer_->Enabled() || resyncing_ || clockPhase_ != ClockPhase::None;
}

void Cm11aEngine::ServiceTimeout() {
    Step step(*this);
    if (!step.Outermost()) {
        timeoutHeld_ = true;
        return;
    }
    DoTimeout();
    Drain();
}

void Cm11aEngine::CM11ATimer_Timer() {
    StopTimer();
    // An interface that answers nothing at all, twice in a row, while the link stays open:
    // the adapter hangs. It is closed and opened again, once until it answers again.
    if (!byteSinceWrite_ && !queue_.empty() && !reportExpected_ && reportRemaining_ == 0) {
        if (++silentTimeouts_ >= 2 && !reopenedWhileSilent_) {
            reopenedWhileSilent_ = true;
            silentTimeouts_ = 0;
            core::Guarded(reporter_, "CM11ATimer", [&] {
                link_.Reopen("the CM11A sent nothing for two commands in a row");
            });
        }
    }
    ServiceTimeout();
}

void Cm11aEngine::CM11ADataArrival(const std::string& bytes, int code) {
    Step step(*this);
    // A large chunk (a runaway peer) shows only its tail, with the count left out.
    const bool large = bytes.size() > kShownChunkTail;
    const std::string_view tail =
        large ? std::string_view(bytes).substr(bytes.size() - kShownChunkTail) : std::string_view(bytes);
    const std::string leftOut =
        large ? "[" + std::to_string(bytes.size() - kShownChunkTail) + " bytes left out] " : std::string();
    core::Guarded(reporter_, "CM11ADataArrival", [&] {
        comm_.AppendStatus("\r\n" + std::to_string(code));
        comm_.AppendData(leftOut + HexJoin(tail));
        comm_.ScrollEchoWindows();
    });
    if (code == 2 && !bytes.empty()) {
        if (overflowing_ && platform_.NowMs() - lastOverflowMs_ >= static_cast<std::uint64_t>(kOverflowEpisodeMs)) {
            overflowing_ = false;
            reporter_.DebugLog("CM11A input overflow over: " + std::to_string(overflowBytes_) + " bytes discarded");
        }
        const std::size_t unread = pendingInput_.size() - pendingPos_;
        const std::size_t room = unread < kMaxPendingInput ? kMaxPendingInput - unread : 0;
        const std::size_t take = std::min(room, bytes.size());
        if (take < bytes.size()) NoteOverflow(bytes.size() - take);
        if (large && reporter_.Debug()) {
            reporter_.DebugLog("CM11ADataArrival " + std::to_string(bytes.size()) + " bytes " + leftOut +
                               HexJoin(tail));
        }
        byteLinesLeft_ = large ? 0 : static_cast<int>(kShownChunkTail);
        pendingInput_.append(bytes, 0, take);
    }
    // Bytes that arrive while a step runs wait in PendingInput behind the bytes before them.
    if (step.Outermost()) Drain();
}

void Cm11aEngine::NoteOverflow(std::size_t discarded) {
    const std::uint64_t now = platform_.NowMs();
    const bool sameEpisode = overflowing_ && now - lastOverflowMs_ < static_cast<std::uint64_t>(kOverflowEpisodeMs);
    lastOverflowMs_ = now;
    if (sameEpisode) {
        overflowBytes_ += discarded;
        return;
    }
    if (overflowing_) {
        reporter_.DebugLog("CM11A input overflow over: " + std::to_string(overflowBytes_) + " bytes discarded");
    }
    overflowing_ = true;
    overflowBytes_ = discarded;
    reporter_.ReportEvent(core::kAppName, "CM11A input overflow: more than " + std::to_string(kMaxPendingInput) +
                                              " received bytes waiting, " + std::to_string(discarded) +
                                              " discarded (the interface or the serial server sends garbage?)");
}

void Cm11aEngine::Drain() {
    for (;;) {
        if (pendingPos_ < pendingInput_.size()) {
            const auto b = static_cast<std::uint8_t>(pendingInput_[pendingPos_++]);
            if (pendingPos_ == pendingInput_.size()) {
                pendingInput_.clear();
                pendingPos_ = 0;
            } else if (pendingPos_ >= kMaxPendingInput) {
                pendingInput_.erase(0, pendingPos_);  // handled bytes leave in one piece
                pendingPos_ = 0;
            }
            ReceiveX10Character(b);
        } else if (timeoutHeld_) {
            timeoutHeld_ = false;
            DoTimeout();
        } else if (startHeld_) {
            startHeld_ = false;
            StartHead();
        } else if (portChangePending_ && !MidExchange()) {
            SwitchPort();
        } else {
            return;
        }
    }
}

// ---------------------------------------------------------------------------------------
// Transmit queue

bool Cm11aEngine::Enqueue(const std::string& dc, int command, int brightness, X10Origin origin) {
    if (dc.empty()) return false;
    const auto address = AddressByte(dc);
    if (!address) return false;  // not a device code: dropped without a report
    if (command < 0 || command > 15) {
        reporter_.ReportEvent(core::kAppName, "SendCM11A refused " + dc + ": command " +
                                                 std::to_string(command) + " is not an X10 function");
        return false;
    }
    if (brightness < 0 || brightness > kMaxBrightness) {
        reporter_.ReportEvent(core::kAppName, "SendCM11A refused " + dc + ": brightness " +
                                                 std::to_string(brightness) + " is outside 0.." +
                                                 std::to_string(kMaxBrightness));
        return false;
    }
    if (queue_.size() >= kQueueLimit) {
        reporter_.ReportEvent(core::kAppName, "SendCM11A refused " + dc + ": " + std::to_string(kQueueLimit) +
                                                 " commands are already waiting");
        return false;
    }
    X10Queue item;
    item.DC = dc;
    item.Header = *address;
    item.Command = command;
    item.Brightness = brightness;
    item.Origin = static_cast<int>(origin);
    reporter_.DebugLog("SendCM11A AddToQueue Count=" + std::to_string(queue_.size()));
    queue_.push_back(std::move(item));
    return true;
}

void Cm11aEngine::StartHead() {
    core::Guarded(reporter_, "SendCM11A", [&] {
        if (InterfaceBusy() || queue_.empty()) return;
        if (!link_.PortOpen(settings_.ComPort)) return;
        if (!InterfaceBusy() && !queue_.empty()) SendX10(queue_.front());
    });
}

void Cm11aEngine::DoTimeout() {
    if (reportExpected_ || reportRemaining_ > 0) {
        // The interface went quiet in the middle of an upload: what follows cannot belong
        // to it, so it is dropped rather than decoded from the next replies.
        reporter_.DebugLog("CM11A upload abandoned after time-out: " + HexJoin(reportBuffer_));
        reportExpected_ = false;
        reportRemaining_ = 0;
        reportBuffer_.clear();
    }
    if (!queue_.empty()) {
        queue_.front().Retry += 1;
        queue_.front().State = 0;
    }
    StartHead();
}

void Cm11aEngine::ArmTimer() {
    timeoutHeld_ = false;  // a new wait supersedes a time-out not yet handled
    timer_->SetInterval(kReplyTimeoutMs);
    timer_->SetEnabled(true);
}

void Cm11aEngine::StopTimer() {
    timeoutHeld_ = false;
    timer_->SetEnabled(false);
}

// ---------------------------------------------------------------------------------------
// Transmit state machine

void Cm11aEngine::SendX10(X10Queue& item) {
    core::Guarded(reporter_, "SendX10", [&] {
        const std::string status = item.DC + "=" + std::to_string(item.Command) + " at step " +
                                   std::to_string(item.State) + ", Ignore=" + settings_.Ignore +
                                   ", Retry=" + std::to_string(item.Retry);
        comm_.SetTxStatus(status);
        reporter_.DebugLog("SendX10 " + status);
        pollIsPoll_ = true;
        // The item can leave the queue while a write lets events run: everything the step
        // needs is taken from it before the write.
        switch (item.State) {
        case 0: {
            // A new port is taken up here, before the next command starts.
            if (portChangePending_) {
                SwitchPort();
                if (!link_.PortOpen(settings_.ComPort)) return;
            }
            if (item.Retry > 3) return GiveUp(item);
            if (!item.Announced) {
                item.Announced = true;
                if (settings_.Announced(item.DC)) Announce(item);
            }
            const std::uint8_t header = AddressHeader(item.Brightness);
            const auto address = static_cast<std::uint8_t>(item.Header);
            pollIsPoll_ = Checksum(header, address) != kPoll;
            item.State = 1;
            ArmTimer();
            byteSinceWrite_ = false;
            lastTxAddress_ = item.Header;
            Write(std::string{static_cast<char>(header), static_cast<char>(address)});
            return;
        }
        case 1:
            return X10Error(&item, "Expecting checksum, but sending from state 1");
        case 2:
            if (item.Retry > 3) return GiveUp(item);
            item.State = 3;
            ArmTimer();
            byteSinceWrite_ = false;
            Write(std::string(1, '\0'));
            return;
        case 3:
            return X10Error(&item, "Expecting 55, but sending from state 3");
        case 4: {
            if (item.Retry > 3) return GiveUp(item);
            const std::uint8_t header = FunctionHeader(item.Brightness);
            const std::uint8_t function = FunctionByte(static_cast<std::uint8_t>(item.Header), item.Command);
            pollIsPoll_ = Checksum(header, function) != kPoll;
            item.State = 5;
            ArmTimer();
            byteSinceWrite_ = false;
            Write(std::string{static_cast<char>(header), static_cast<char>(function)});
            return;
        }
        case 5:
            return X10Error(&item, "Expecting checksum, but sending from state 5");
        case 6:
            if (item.Retry > 3) return GiveUp(item);
            item.State = 7;
            ArmTimer();
            byteSinceWrite_ = false;
            Write(std::string(1, '\0'));
            return;
        case 7:
            return X10Error(&item, "Expecting 55, but sending from state 7");
        default:
            return;
        }
    });
}

void Cm11aEngine::GiveUp(X10Queue& item) { X10Error(&item, "CM11A Transmit Retry exceeded from state"); }

void Cm11aEngine::Announce(const X10Queue& item) {
    if (item.Command == kFunctionStatusRequest) return;
    const std::string_view name = X10FunctionNames[static_cast<std::size_t>(item.Command & 0x0F)];
    std::string body;
    if (item.Command == kFunctionDim || item.Command == kFunctionBright) {
        body = xap::ItemList({{"Event", name}, {"Device", item.DC}, {"Brightness", std::to_string(item.Brightness)}});
    } else {
        body = xap::ItemList({{"Event", name}, {"Device", item.DC}});
    }
    reporter_.SendXap("", kEventClass, kEventClass, body);
}

void Cm11aEngine::X10Error(X10Queue* item, const std::string& message) {
    reporter_.DebugLog("X10Error" + message);
    if (item == nullptr) {
        reporter_.ReportEvent(core::kAppName, "CM11A Receive " + message);
    } else {
        reporter_.ReportEvent(core::kAppName, message + " " + std::to_string(item->State) + " on command " +
                                                 ToHex(item->Header, reporter_));
        if (!queue_.empty()) {
            const X10Queue dropped = queue_.front();
            queue_.pop_front();
            Tell(dropped, false);
        }
    }
    StartHead();
}

void Cm11aEngine::Tell(const X10Queue& item, bool completed) {
    if (!observer_) return;
    X10Activity a;
    a.Origin = static_cast<X10Origin>(item.Origin);
    a.Completed = completed;
    a.House = core::UpperAscii(item.DC.empty() ? 'A' : item.DC[0]);
    a.Function = item.Command;
    a.AmountPercent = std::min(100, (item.Brightness * 100 + 11) / 22);  // 22 steps are the full range
    const auto address = AddressByte(item.DC);
    if (address) a.Devices.push_back(DeviceCode(*address));
    core::Guarded(reporter_, "X10 activity", [&] { observer_(a); });
}

void Cm11aEngine::Write(const std::string& bytes) { link_.WriteToCM11A(bytes); }

// ---------------------------------------------------------------------------------------
// Receive state machine

void Cm11aEngine::ReceiveX10Character(std::uint8_t b) {
    core::Guarded(reporter_, "ReceiveX10 Character", [&] { ReceiveStep(b); });
}

void Cm11aEngine::ReceiveStep(std::uint8_t b) {
    if (byteLinesLeft_ > 0 && reporter_.Debug()) {
        --byteLinesLeft_;
        reporter_.DebugLog("ReceiveX10Character " + HexJoin(std::string(1, static_cast<char>(b))));
    }
    byteSinceWrite_ = true;
    silentTimeouts_ = 0;
    reopenedWhileSilent_ = false;
    const bool p = pollIsPoll_;
    pollIsPoll_ = true;

    if (reportRemaining_ > 0) {  // upload byte
        StopTimer();
        reportBuffer_.push_back(static_cast<char>(b));
        reportRemaining_ -= 1;
        if (reportRemaining_ < 1) {
            UploadEnded();
        } else {
            ArmTimer();  // an upload cut short must not hold the queue
        }
        return;
    }
    if (reportExpected_) {  // length byte
        StopTimer();
        if (b == kPoll) {
            // A poll the interface sent before our answer reached it: the two cross on the
            // line. It is never a length (at most 10); keep waiting for the upload. When
            // polls keep coming, our answer was lost: answer again.
            if (++repeatedPolls_ >= 2) {
                repeatedPolls_ = 0;
                Write(std::string(1, static_cast<char>(kPollAnswer)));
            }
            ArmTimer();
            return;
        }
        reportRemaining_ = reportLength_ = b;
        if (b > kMaxUploadLength) {
            reportRemaining_ = 0;
            reportExpected_ = false;
            reportBuffer_.clear();
            reporter_.DebugLog("CM11A upload length " + std::to_string(b) + " dropped");
            // The head was stopped by the poll; restart it as after an upload.
            UploadEnded();
            return;
        }
        ArmTimer();
        return;
    }
    if (macroRemaining_ > 0) {  // the offset bytes of a macro report
        --macroRemaining_;
        return;
    }
    if (b == kMacroReport && (queue_.empty() || ExpectedReply(queue_.front()) != kMacroReport)) {
        // A stored macro ran: two offset bytes follow, which are neither polls nor replies.
        macroRemaining_ = 2;
        return;
    }
    if (b == kPoll && p) {  // the interface wants to upload
        StopTimer();
        // A poll also ends a wait for quiet or for the clock exchange: the interface talks.
        resyncing_ = false;
        clockPhase_ = ClockPhase::None;
        quietTimer_->SetEnabled(false);
        reportExpected_ = true;
        repeatedPolls_ = 0;
        reportBuffer_.clear();
        comm_.SetTxStatus("Report Request from CM11A interrupted at step " +
                          std::to_string(queue_.empty() ? 0 : queue_.front().State));
        Write(std::string(1, static_cast<char>(kPollAnswer)));
        ArmTimer();
        std::size_t end = pendingPos_;
        while (end < pendingInput_.size() && static_cast<std::uint8_t>(pendingInput_[end]) == kPoll) ++end;
        pendingPos_ = end;
        if (!queue_.empty()) {
            queue_.front().Retry = 0;
            queue_.front().State = 0;
        }
        return;
    }
    if (clockPhase_ != ClockPhase::None) {
        ClockStep(b);
        return;
    }
    if (resyncing_) {
        if (b == kPowerFail) {
            AnswerClock();
            return;
        }
        // Not quiet yet: the pair waits for a quiet line, but not beyond the reply time-out.
        if (platform_.NowMs() < resyncDeadlineMs_) quietTimer_->Arm(kResyncQuietMs);
        return;
    }
    if (queue_.empty()) {
        if (b == kPowerFail) AnswerClock();
        return;
    }
    X10Queue& head = queue_.front();
    // The interface that lost power answers nothing but its 0xA5 requests until it gets
    // the clock; taken as wrong replies they would drop every queued command unanswered.
    // A reply awaited with the value 0xA5 (a checksum can be that) is still a reply.
    const int expected = ExpectedReply(head);
    if (b == kPowerFail && (expected < 0 || b != expected)) {
        StopTimer();
        AnswerClock();
        return;
    }
    if (head.State < 0 || head.State > 7) {
        // not a state of the handshake: nothing to judge
    } else if (expected < 0) {
        // A sending state (0, 2, 4, 6): the interface should be silent.
        X10Error(nullptr, "Receiveing in State " + std::to_string(head.State) + " " + ToHex(b, reporter_));
    } else if (b != expected) {
        if (head.State == 3 || head.State == 7) {
            // The interface is busy on the power line and sends 0x55 when it is done: a
            // stray byte changes nothing, and the reply time-out still runs.
            if (reporter_.Debug()) {
                reporter_.DebugLog("CM11A stray byte " + HexJoin(std::string(1, static_cast<char>(b))) +
                                   " while 55 is awaited in state " + std::to_string(head.State));
            }
            return;
        }
        StopTimer();
        WrongReply(head);
    } else {
        StopTimer();
        if (head.State == 7) {
            const X10Queue done = head;
            queue_.pop_front();  // the final 0x55: the command is done
            Tell(done, true);
        } else {
            head.State += 1;     // checksum or ready byte as awaited: on to the next step
        }
    }
    StartHead();
}

void Cm11aEngine::AnswerClock() {
    resyncing_ = false;
    const char house = settings_.House.empty() ? 'A' : settings_.House.front();
    const std::string message = ClockMessage(platform_.LocalDateTime(), house);
    std::uint8_t sum = 0;
    for (std::size_t i = 1; i < message.size(); ++i) sum = static_cast<std::uint8_t>(sum + static_cast<std::uint8_t>(message[i]));
    clockSum_ = sum;
    clockSumWithSet_ = static_cast<std::uint8_t>(sum + kClockSet);
    clockPhase_ = ClockPhase::AwaitChecksum;
    // The interrupted command starts again from its address once the exchange is over.
    if (!queue_.empty()) queue_.front().State = 0;
    quietTimer_->Arm(kClockAnswerMs);
    comm_.SetTxStatus("Power-fail request from CM11A: clock sent");
    Write(message);
}

bool Cm11aEngine::ClockStep(std::uint8_t b) {
    if (clockPhase_ == ClockPhase::AwaitChecksum && (b == clockSum_ || b == clockSumWithSet_)) {
        clockPhase_ = ClockPhase::AwaitReady;
        quietTimer_->Arm(kClockAnswerMs);
        Write(std::string(1, '\0'));
        return true;
    }
    if (b == kPowerFail) {  // the clock did not arrive whole: the interface asks again
        AnswerClock();
        return true;
    }
    if (clockPhase_ == ClockPhase::AwaitReady && b == kReady) {
        EndClock("CM11A clock set");
        StartHead();
        return true;
    }
    if (reporter_.Debug()) {
        reporter_.DebugLog("CM11A stray byte " + HexJoin(std::string(1, static_cast<char>(b))) +
                           " in the clock exchange");
    }
    return false;
}

void Cm11aEngine::EndClock(const char* why) {
    clockPhase_ = ClockPhase::None;
    quietTimer_->SetEnabled(false);
    reporter_.DebugLog(why);
}

void Cm11aEngine::StartResync() {
    resyncing_ = true;
    resyncDeadlineMs_ = platform_.NowMs() + static_cast<std::uint64_t>(kReplyTimeoutMs);
    quietTimer_->Arm(kResyncQuietMs);
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

int Cm11aEngine::ExpectedReply(const X10Queue& item) {
    const auto address = static_cast<std::uint8_t>(item.Header);
    switch (item.State) {
    case 1: return Checksum(AddressHeader(item.Brightness), address);
    case 5: return Checksum(FunctionHeader(item.Brightness), FunctionByte(address, item.Command));
    case 3:
    case 7: return kReady;
    default: return -1;  // a sending state: no reply is awaited
    }
}

void Cm11aEngine::WrongReply(X10Queue& head) {
    head.WrongReplies += 1;
    if (head.WrongReplies >= kMaxWrongReplies) {
        // Drops the head and starts the next item.
        X10Error(&head, "CM11A Transmit wrong replies exceeded from state");
        return;
    }
    // The pair goes out again once the line is quiet, so that stray bytes still on their
    // way are not taken as the answer to the repeated pair.
    head.State = head.State == 5 ? 4 : 0;
    StartResync();
}

void Cm11aEngine::UploadEnded() {
    reportExpected_ = false;
    if (overflowing_ && platform_.NowMs() - lastOverflowMs_ < static_cast<std::uint64_t>(kOverflowEpisodeMs)) {
        // The interface cannot send this much at 4800 baud: what overflows is not its
        // traffic, and "uploads" found in it would flood the network with invented events.
        if (reporter_.Debug()) reporter_.DebugLog("CM11A upload ignored while the input overflows: " + HexJoin(reportBuffer_));
        reportBuffer_.clear();
    } else {
        core::Guarded(reporter_, "ReceiveX10 Character", [&] { ProcessReceivedX10Command(); });
    }
    StopTimer();
    if (!queue_.empty()) {
        queue_.front().Retry += 1;
        queue_.front().State = 0;
    }
    StartHead();
}

// ---------------------------------------------------------------------------------------
// Decoding of uploads

void Cm11aEngine::Hear(std::uint8_t address) {
    heard_.push_back(address);
    if (heard_.size() > kHeardLimit) heard_.erase(heard_.begin());
}

void Cm11aEngine::ProcessReceivedX10Command() {
    const std::string p = reportBuffer_;
    reportBuffer_.clear();
    if (p.empty()) return;
    const auto mask = static_cast<std::uint8_t>(p[0]);
    const int n = static_cast<int>(p.size());
    auto at = [&](int position) { return static_cast<std::uint8_t>(p[static_cast<std::size_t>(position - 1)]); };

    if (mask == 1 && reportLength_ == 2 && n >= 2) {
        // A lone function goes (also) to the device we addressed last, if it is of the
        // function's house: a function only ever acts within its own house.
        const auto last = static_cast<std::uint8_t>(lastTxAddress_);
        if ((last & 0xF0) == (at(2) & 0xF0)) Hear(last);
    }
    if (mask == 0) {
        for (int pos = 2; pos <= n; ++pos) Hear(at(pos));
        return;
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
        const std::string name(X10FunctionNames[static_cast<std::size_t>(f)]);
        std::string brightness;
        const bool carriesAmount = f == kFunctionDim || f == kFunctionBright;
        if (carriesAmount) {
            if (i + 3 <= n) {
                brightness = std::to_string(BrightnessPercent(at(i + 3)));
                i += 1;
            } else {
                brightness = "0";
            }
        }
        if (f == kFunctionExtended && i + 3 + 2 <= n) {
            // An extended-code frame carries its unit, a data byte and a command byte after
            // the function byte: they are the frame's, not addresses heard. The frame names
            // its device itself.
            Hear(static_cast<std::uint8_t>((byte & 0xF0) | (at(i + 3) & 0x0F)));
            i += 3;
        }
        X10Activity activity;
        activity.Origin = X10Origin::PowerLine;
        activity.House = CodeLetters[byte >> 4];
        activity.Function = f;
        activity.AmountPercent = carriesAmount ? std::stoi(brightness) : 0;
        for (const std::uint8_t a : heard_) {
            const std::string device = DeviceCode(a);
            if (settings_.Announced(device)) SendEvent(name, device, carriesAmount ? &brightness : nullptr);
            activity.Devices.push_back(device);
        }
        heard_.clear();
        if (observer_) core::Guarded(reporter_, "X10 activity", [&] { observer_(activity); });
    }
}

void Cm11aEngine::SendEvent(const std::string& name, const std::string& device, const std::string* brightness) {
    const std::string body = brightness != nullptr
                                 ? xap::ItemList({{"Event", name}, {"Device", device}, {"Brightness", *brightness}})
                                 : xap::ItemList({{"Event", name}, {"Device", device}});
    reporter_.SendXap("", kEventClass, kEventClass, body);
}

}  // namespace quorvel::cm11a
