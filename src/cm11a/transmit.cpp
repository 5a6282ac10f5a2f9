// The transmit side: the queue of commands, the handshake of the head command with the
// interface, its reply time-out, and the one place every command ends (Complete).
#include "cm11a/cm11a_engine.h"

#include "cm11a/codes.h"
#include "cm11a/extended.h"
#include "xap/xap_sender.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace quorvel::cm11a {

namespace {

constexpr const char* kEventClass = "xAP-x10.Event";

bool Sending(TxState s) { return s == TxState::SendAddress || s == TxState::SendFunction; }

}  // namespace

bool Cm11aEngine::Enqueue(const std::string& dc, int command, int brightness, X10Origin origin, int extData,
                          int extCommand, const std::string& sender) {
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
    const bool extended = command == kFunctionExtended;
    if (extended && (extData < 0 || extData > 255 || extCommand < 0 || extCommand > 255)) {
        // A plain function 7 means nothing to any module: only the whole frame goes out.
        reporter_.ReportEvent(core::kAppName, "SendCM11A refused " + dc +
                                                 ": an extended command needs its data and command bytes (0..255)");
        return false;
    }
    if (queue_.size() >= kQueueLimit) {
        // Full: a sender with fewer commands waiting takes the place of the newest command of
        // the sender with most, so that one sender can never lock the others out.
        const auto larger = LargerSender(sender);
        if (!larger) {
            reporter_.ReportEvent(core::kAppName, "SendCM11A refused " + dc + ": " + std::to_string(kQueueLimit) +
                                                     " commands are already waiting");
            return false;
        }
        const auto newest = std::find_if(queue_.rbegin(), std::prev(queue_.rend()),
                                         [&](const X10Queue& q) { return q.Sender == *larger; });
        const X10Queue dropped = *newest;
        queue_.erase(std::next(newest).base());
        reporter_.ReportEvent(core::kAppName, "SendCM11A dropped " + dropped.DC + " of " + dropped.Sender.substr(0, 100) +
                                                 ": the queue is full and another sender waits");
        Tell(dropped, false);
    }
    X10Queue item;
    item.DC = dc;
    item.Header = *address;
    item.Command = command;
    item.Brightness = brightness;
    item.Origin = static_cast<int>(origin);
    if (extended) item.ExtData = extData, item.ExtCommand = extCommand;
    item.Sender = sender;
    reporter_.DebugLog("SendCM11A AddToQueue Count=" + std::to_string(queue_.size()));
    queue_.push_back(std::move(item));
    ++enqueued_;
    if (queue_.size() == 1) lastServed_[sender] = ++turns_;
    return true;
}

std::optional<std::string> Cm11aEngine::LargerSender(const std::string& sender, std::size_t* share) const {
    std::map<std::string_view, std::size_t> waiting;
    for (auto it = queue_.size() > 1 ? std::next(queue_.begin()) : queue_.end(); it != queue_.end(); ++it) {
        ++waiting[it->Sender];
    }
    const auto largest = std::max_element(waiting.begin(), waiting.end(),
                                          [](const auto& a, const auto& b) { return a.second < b.second; });
    const auto mine = waiting.find(sender);
    const std::size_t own = mine == waiting.end() ? 0 : mine->second;
    if (largest == waiting.end() || largest->second <= own + 1) return std::nullopt;
    if (share != nullptr) *share = (largest->second - own) / 2;
    return std::string(largest->first);
}

std::size_t Cm11aEngine::QueueRoom(const std::string& sender) const {
    if (queue_.size() < kQueueLimit) return kQueueLimit - queue_.size();
    std::size_t share = 0;
    return LargerSender(sender, &share) ? share : 0;
}

void Cm11aEngine::NextHead() {
    if (queue_.empty()) {
        lastServed_.clear();  // nobody waits: the turns start afresh
        return;
    }
    auto next = queue_.begin();
    std::uint64_t nextTurn = UINT64_MAX;
    for (auto it = queue_.begin(); it != queue_.end() && nextTurn > 0; ++it) {
        const auto served = lastServed_.find(it->Sender);
        const std::uint64_t turn = served == lastServed_.end() ? 0 : served->second;
        if (turn < nextTurn) {
            next = it;
            nextTurn = turn;
        }
    }
    if (next != queue_.begin()) {
        X10Queue item = std::move(*next);
        queue_.erase(next);
        queue_.push_front(std::move(item));
    }
    // Senders are remembered while commands wait; made-up names cannot pile up beyond that.
    if (lastServed_.size() > kQueueLimit) lastServed_.clear();
    lastServed_[queue_.front().Sender] = ++turns_;
}

void Cm11aEngine::Refuse(const std::string& dc, int command, int brightness, X10Origin origin) {
    X10Queue refused;
    refused.DC = dc;
    refused.Command = command;
    refused.Brightness = brightness;
    refused.Origin = static_cast<int>(origin);
    Tell(refused, false);
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

// Writes the head's next pair when the line is free: nothing of the interface's own is
// going on and the head is in a sending state.
void Cm11aEngine::StartHead() {
    // A new port is taken up between commands, before the next one starts.
    if (portChangePending_ && !MidExchange()) SwitchPort();
    // The interface's status is asked for between commands, never inside an exchange.
    if (statusWanted_ && !MidExchange() && StartStatus()) return;
    auto free = [this] { return rxState_ == RxState::Idle && !queue_.empty() && Sending(queue_.front().State); };
    if (!free()) return;
    if (!link_.PortOpen(settings_.ComPort)) return;
    if (free()) SendX10(queue_.front());  // opening the link may have started the clock message
}

void Cm11aEngine::SendX10(X10Queue& item) {
    const std::string status = item.DC + "=" + std::to_string(item.Command) + " at step " +
                               std::to_string(static_cast<int>(item.State)) + ", Ignore=" + settings_.Ignore +
                               ", Retry=" + std::to_string(item.Retry);
    comm_.SetTxStatus(status);
    reporter_.DebugLog("SendX10 " + status);
    std::string pair;
    if (item.State == TxState::SendAddress) {
        if (item.Retry > kMaxRetries) return Complete(Outcome::Dropped, "CM11A Transmit Retry exceeded from state");
        if (!item.Announced) {
            item.Announced = true;
            if (settings_.Announced(item.DC)) Announce(item);
        }
        lastTxAddress_ = item.Header;
        // An extended frame names its unit itself: it has no address step.
        const bool addressStep = item.ExtData < 0;
        pair = Frame(item, addressStep);
        item.State = addressStep ? TxState::AwaitAddressChecksum : TxState::AwaitFunctionChecksum;
    } else if (item.State == TxState::SendFunction) {
        pair = Frame(item, false);
        item.State = TxState::AwaitFunctionChecksum;
    } else {
        return;  // a reply is awaited
    }
    ArmReplyTimer(item);
    byteSinceWrite_ = false;
    Write(pair);
}

std::string Cm11aEngine::Frame(const X10Queue& item, bool address) {
    const auto a = static_cast<std::uint8_t>(item.Header);
    if (item.ExtData >= 0) return ExtendedFrame(a, item.ExtData, item.ExtCommand);
    if (address) return {static_cast<char>(AddressHeader(item.Brightness)), static_cast<char>(a)};
    return {static_cast<char>(FunctionHeader(item.Brightness)), static_cast<char>(FunctionByte(a, item.Command))};
}

void Cm11aEngine::Announce(const X10Queue& item) {
    if (item.Command == kFunctionStatusRequest) return;
    const std::string_view name = X10FunctionNames[static_cast<std::size_t>(item.Command & 0x0F)];
    std::string body;
    if (item.Command == kFunctionDim || item.Command == kFunctionBright) {
        body = xap::ItemList({{"Event", name}, {"Device", item.DC}, {"Brightness", std::to_string(item.Brightness)}});
    } else if (item.ExtData >= 0) {
        body = xap::ItemList({{"Event", name}, {"Device", item.DC}, {"Data", std::to_string(item.ExtData)},
                              {"ExtCommand", std::to_string(item.ExtCommand)}});
    } else {
        body = xap::ItemList({{"Event", name}, {"Device", item.DC}});
    }
    reporter_.SendXap("", kEventClass, kEventClass, body);
}

void Cm11aEngine::ArmReplyTimer(const X10Queue& item) {
    int ms = kReplyTimeoutMs;
    // The 0x55 of a dim or bright comes only after all its steps went over the power line.
    const bool steps = item.Command == kFunctionDim || item.Command == kFunctionBright;
    if (item.State == TxState::AwaitFunctionReady && steps) ms += item.Brightness * kDimStepMs;
    timer_->SetInterval(ms);
    timer_->SetEnabled(true);
}

void Cm11aEngine::StopTimer() { timer_->SetEnabled(false); }

void Cm11aEngine::ReplyTimedOut() {
    if (rxState_ == RxState::AwaitUploadLength || rxState_ == RxState::InUpload) {
        // The interface went quiet in the middle of an upload: what follows cannot belong
        // to it, so it is dropped rather than decoded from the next replies.
        reporter_.DebugLog("CM11A upload abandoned after time-out: " + HexJoin(reportBuffer_));
        rxState_ = RxState::Idle;
        reportRemaining_ = 0;
        reportBuffer_.clear();
    }
    if (!queue_.empty() && !Sending(queue_.front().State)) {
        X10Queue& head = queue_.front();
        if (head.State == TxState::AwaitFunctionReady) {
            return Complete(Outcome::NotConfirmed, "no 55 within the reply time-out");
        }
        head.Retry += 1;
        head.State = TxState::SendAddress;
    }
    StartHead();
}

// The interface turned to something of its own (a poll, a power-fail request, a new
// connection) while the head was in its handshake: a function already confirmed with 0x00
// is on the power line and ends here; anything else starts again from its address later.
void Cm11aEngine::InterruptHead(const char* why) {
    if (queue_.empty()) return;
    X10Queue& head = queue_.front();
    if (head.State == TxState::AwaitFunctionReady) return Complete(Outcome::NotConfirmed, why);
    head.State = TxState::SendAddress;
    StopTimer();
}

void Cm11aEngine::WrongReply(X10Queue& head) {
    head.WrongReplies += 1;
    if (head.WrongReplies >= kMaxWrongReplies) {
        return Complete(Outcome::Dropped, "CM11A Transmit wrong replies exceeded from state");
    }
    // The pair goes out again once the line is quiet, so that stray bytes still on their
    // way are not taken as the answer to the repeated pair.
    head.State = head.State == TxState::AwaitFunctionChecksum ? TxState::SendFunction : TxState::SendAddress;
    StartResync();
}

void Cm11aEngine::Complete(Outcome outcome, const std::string& why) {
    if (queue_.empty()) return;
    const X10Queue done = queue_.front();
    queue_.pop_front();
    NextHead();
    StopTimer();
    const std::string what = done.DC + "=" + std::to_string(done.Command);
    switch (outcome) {
    case Outcome::Confirmed:
        reporter_.DebugLog("SendCM11A " + what + " done");
        break;
    case Outcome::NotConfirmed:
        reporter_.DebugLog("SendCM11A " + what + " not confirmed (" + why + "); its function went out");
        break;
    case Outcome::Dropped:
        reporter_.DebugLog("X10Error" + why);
        reporter_.ReportEvent(core::kAppName, why + " " + std::to_string(static_cast<int>(done.State)) +
                                                  " on command " + ToHex(done.Header, reporter_));
        break;
    }
    Tell(done, outcome != Outcome::Dropped);
    StartHead();
}

int Cm11aEngine::ExpectedReply(const X10Queue& item) {
    switch (item.State) {
    case TxState::AwaitAddressChecksum: return FrameChecksum(Frame(item, true));
    case TxState::AwaitFunctionChecksum: return FrameChecksum(Frame(item, false));
    case TxState::AwaitAddressReady:
    case TxState::AwaitFunctionReady: return kReady;
    case TxState::SendAddress:
    case TxState::SendFunction: break;
    }
    return -1;
}

void Cm11aEngine::Tell(const X10Queue& item, bool completed) {
    X10Activity a;
    a.Origin = static_cast<X10Origin>(item.Origin);
    a.Completed = completed;
    a.House = core::UpperAscii(item.DC.empty() ? 'A' : item.DC[0]);
    a.Function = item.Command;
    a.AmountPercent = std::min(100, (item.Brightness * 100 + kMaxBrightness / 2) / kMaxBrightness);
    const auto address = AddressByte(item.DC);
    if (address) a.Devices.push_back(DeviceCode(*address));
    if (item.ExtData >= 0) a.ExtData = item.ExtData, a.ExtCommand = item.ExtCommand;
    Emit(a);
}

void Cm11aEngine::Emit(const X10Activity& activity) {
    if (observer_) core::Guarded(reporter_, "X10 activity", [&] { observer_(activity); });
}

}  // namespace quorvel::cm11a
