// The receive side: every byte from the interface, judged by what the engine waits for
// (RxState) and, when it waits for nothing of the interface's own, as a reply to the head
// command, a poll, a power-fail request or a macro report.
#include "cm11a/cm11a_engine.h"

#include "cm11a/codes.h"
#include "xap/xap_sender.h"

#include <utility>

namespace quorvel::cm11a {

void Cm11aEngine::ReceiveX10Character(std::uint8_t b) {
    core::Guarded(reporter_, "ReceiveX10 Character", [&] { ReceiveStep(b); });
}

void Cm11aEngine::ReceiveStep(std::uint8_t b) {
    if (byteLinesLeft_ > 0 && reporter_.Debug()) {
        --byteLinesLeft_;
        reporter_.DebugLog("ReceiveX10Character " + HexJoin(std::string(1, static_cast<char>(b))) + " (" +
                           std::string(RxStateName(rxState_)) + ")");
    }
    byteSinceWrite_ = true;
    silentTimeouts_ = 0;
    reopenedWhileSilent_ = false;

    switch (rxState_) {
    case RxState::InUpload:
        StopTimer();
        reportBuffer_.push_back(static_cast<char>(b));
        if (--reportRemaining_ < 1) return UploadEnded();
        timer_->SetInterval(kReplyTimeoutMs);  // an upload cut short must not hold the queue
        timer_->SetEnabled(true);
        return;
    case RxState::AwaitUploadLength:
        StopTimer();
        if (b == kPoll) {
            // A poll the interface sent before our answer reached it: the two cross on the
            // line. It is never a length (at most 10); keep waiting for the upload. When
            // polls keep coming, our answer was lost: answer again.
            if (++repeatedPolls_ >= 2) {
                repeatedPolls_ = 0;
                Write(std::string(1, static_cast<char>(kPollAnswer)));
            }
        } else if (b > kMaxUploadLength) {
            reporter_.DebugLog("CM11A upload length " + std::to_string(b) + " dropped");
            reportBuffer_.clear();
            return UploadEnded();
        } else if (b > 0) {  // a length 0 is no upload: the next byte is the length
            reportRemaining_ = reportLength_ = b;
            rxState_ = RxState::InUpload;
        }
        timer_->SetInterval(kReplyTimeoutMs);
        timer_->SetEnabled(true);
        return;
    case RxState::InMacroReport:
        macroOffset_ = (macroOffset_ << 8 | b) & 0xFFFF;
        if (--macroRemaining_ <= 0) {
            rxState_ = RxState::Idle;
            MacroReported(macroOffset_);
            StartHead();
        }
        return;
    case RxState::AwaitStatus:
        return StatusStep(b);
    case RxState::AwaitClockChecksum:
    case RxState::AwaitClockReady:
        // The interface talks: the clock exchange is over. A checksum can itself be 0x5A; it is
        // the checksum while one is awaited (a poll in its place comes again).
        if (b == kPoll && !ClockChecksum(b)) {
            EndClock("CM11A clock exchange ended by a poll");
            return ServePoll();
        }
        return ClockStep(b);
    case RxState::AwaitQuiet:
        if (b == kPoll) return ServePoll();
        if (b == kPowerFail) return PowerFailed();
        // Not quiet yet: the pair waits for a quiet line, but not beyond the reply time-out.
        if (platform_.NowMs() < resyncDeadlineMs_) quietTimer_->Arm(kResyncQuietMs);
        return;
    case RxState::Idle:
        break;
    }

    if (b == kPoll && PollIsPoll()) return ServePoll();
    if (queue_.empty() || ExpectedReply(queue_.front()) < 0) {
        // Nothing is awaited: only here is 0x5B a macro report (a stored macro ran; two
        // offset bytes follow, which are neither polls nor replies).
        if (b == kPowerFail) return PowerFailed();
        if (b == kMacroReport) return BeginMacroReport();
        if (!queue_.empty()) {
            reporter_.DebugLog("X10ErrorReceiveing in State " + std::to_string(static_cast<int>(queue_.front().State)));
            reporter_.ReportEvent(core::kAppName, "CM11A Receive Receiveing in State " +
                                                      std::to_string(static_cast<int>(queue_.front().State)) + " " +
                                                      ToHex(b, reporter_));
        }
        return;
    }
    HeadReply(b);
}

// A byte while the head awaits its checksum or its 0x55.
void Cm11aEngine::HeadReply(std::uint8_t b) {
    X10Queue& head = queue_.front();
    const int expected = ExpectedReply(head);
    switch (head.State) {
    case TxState::AwaitAddressChecksum:
    case TxState::AwaitFunctionChecksum:
        if (b == expected) {
            head.State = head.State == TxState::AwaitAddressChecksum ? TxState::AwaitAddressReady
                                                                     : TxState::AwaitFunctionReady;
            ArmReplyTimer(head);
            byteSinceWrite_ = false;
            Write(std::string(1, '\0'));
            return;
        }
        // The interface that lost power answers nothing but its 0xA5 requests until it gets
        // the clock; taken as wrong replies they would drop every queued command unanswered.
        if (b == kPowerFail) return PowerFailed();
        StopTimer();
        return WrongReply(head);  // 0x5B here is a wrong checksum like any other
    case TxState::AwaitAddressReady:
    case TxState::AwaitFunctionReady:
        if (b == kReady) {
            if (head.State == TxState::AwaitFunctionReady) return Complete(Outcome::Confirmed, "");
            StopTimer();
            head.State = TxState::SendFunction;
            return StartHead();
        }
        if (b == kPowerFail) return PowerFailed();
        // The interface is busy on the power line and sends 0x55 when it is done: a stray
        // or garbled byte changes nothing, and the reply time-out still runs.
        return DebugByte(head.State == TxState::AwaitFunctionReady ? "while the function's 55 is awaited"
                                                                   : "while the address's 55 is awaited",
                         b);
    case TxState::SendAddress:
    case TxState::SendFunction:
        return;
    }
}

void Cm11aEngine::ServePoll() {
    StopTimer();
    quietTimer_->SetEnabled(false);
    rxState_ = RxState::AwaitUploadLength;  // the head waits until the upload is in
    repeatedPolls_ = 0;
    reportBuffer_.clear();
    reportRemaining_ = 0;
    comm_.SetTxStatus("Report Request from CM11A interrupted at step " +
                      std::to_string(queue_.empty() ? 0 : static_cast<int>(queue_.front().State)));
    const bool restart = !queue_.empty() && queue_.front().State != TxState::AwaitFunctionReady;
    InterruptHead("a poll came in place of the 55");
    if (restart) queue_.front().Retry = 0;
    Write(std::string(1, static_cast<char>(kPollAnswer)));
    timer_->SetInterval(kReplyTimeoutMs);
    timer_->SetEnabled(true);
    // Repeated polls still waiting in this chunk are answered by the same 0xC3.
    while (pendingPos_ < pendingInput_.size() && static_cast<std::uint8_t>(pendingInput_[pendingPos_]) == kPoll) {
        ++pendingPos_;
    }
}

void Cm11aEngine::PowerFailed() {
    StopTimer();
    quietTimer_->SetEnabled(false);
    // The interface sends 0xA5 only once it has lost power: a function it had on the power
    // line was cut short, so unlike a lost or late 0x55 this one starts again from its
    // address once the clock is set.
    if (!queue_.empty() && queue_.front().State == TxState::AwaitFunctionReady) {
        reporter_.DebugLog("SendCM11A " + queue_.front().DC + " cut short by a power failure: sent again");
        queue_.front().State = TxState::SendAddress;
    }
    StartClock("a power-fail request came in place of the 55");
}

void Cm11aEngine::StartResync() {
    rxState_ = RxState::AwaitQuiet;
    resyncDeadlineMs_ = platform_.NowMs() + static_cast<std::uint64_t>(kReplyTimeoutMs);
    quietTimer_->Arm(kResyncQuietMs);
}

void Cm11aEngine::UploadEnded() {
    reportRemaining_ = 0;
    StopTimer();
    const std::string upload = std::exchange(reportBuffer_, std::string());
    if (overflowing_ && platform_.NowMs() - lastOverflowMs_ < static_cast<std::uint64_t>(kOverflowEpisodeMs)) {
        // The interface cannot send this much at 4800 baud: what overflows is not its
        // traffic, and "uploads" found in it would flood the network with invented events.
        if (reporter_.Debug()) reporter_.DebugLog("CM11A upload ignored while the input overflows: " + HexJoin(upload));
    } else {
        core::Guarded(reporter_, "ReceiveX10 Character", [&] {
            for (const X10Activity& heard :
                 decoder_.Decode(upload, reportLength_, static_cast<std::uint8_t>(lastTxAddress_))) {
                const std::string name(X10FunctionNames[static_cast<std::size_t>(heard.Function)]);
                const bool amount = heard.Function == kFunctionDim || heard.Function == kFunctionBright;
                const std::string brightness = std::to_string(heard.AmountPercent);
                // A house-wide function heard without an address names its house.
                const std::vector<std::string> devices =
                    heard.Devices.empty() ? std::vector<std::string>{std::string(1, heard.House)} : heard.Devices;
                for (const std::string& device : devices) {
                    if (!settings_.Announced(device)) continue;
                    const std::string body =
                        amount ? xap::ItemList({{"Event", name}, {"Device", device}, {"Brightness", brightness}})
                        : heard.ExtData >= 0
                            ? xap::ItemList({{"Event", name}, {"Device", device},
                                             {"Data", std::to_string(heard.ExtData)},
                                             {"ExtCommand", std::to_string(heard.ExtCommand)}})
                            : xap::ItemList({{"Event", name}, {"Device", device}});
                    reporter_.SendXap("", "xAP-x10.Event", "xAP-x10.Event", body);
                }
                Emit(heard);
            }
        });
    }
    // Listeners told of what was heard start nothing before the upload is over.
    rxState_ = RxState::Idle;
    if (!queue_.empty()) queue_.front().Retry += 1;
    StartHead();
}

}  // namespace quorvel::cm11a
