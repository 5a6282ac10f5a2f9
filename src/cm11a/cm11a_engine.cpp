#include "cm11a/cm11a_engine.h"

#include "cm11a/codes.h"
#include "xap/xap_sender.h"

#include <algorithm>

namespace quorvel::cm11a {

namespace {

constexpr const char* kEventClass = "xAP-x10.Event";

// Received dim/bright amount (the interface's 0..210 scale) as a percentage, rounded.
int BrightnessPercent(std::uint8_t b) { return (b * 100 + 105) / 210; }

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
      timer_(platform.CreateTimer()) {
    timer_->SetHandler([this] { CM11ATimer_Timer(); });
    comm_.SetSendCommand([this](const std::string& dc, int command, int brightness) {
        SendCM11A(dc, command, brightness);
    });
}

Cm11aEngine::~Cm11aEngine() {
    comm_.SetSendCommand(nullptr);
    timer_->SetEnabled(false);
}

// ---------------------------------------------------------------------------------------
// Entry points

bool Cm11aEngine::InitCM11A(const std::string& port) {
    Step step(*this);
    queue_.clear();
    heard_.clear();
    pendingInput_.clear();
    reportBuffer_.clear();
    reportRemaining_ = 0;
    reportExpected_ = false;
    pollIsPoll_ = true;
    StopTimer();
    bool open = false;
    core::Guarded(reporter_, "InitCM11A", [&] {
        if (link_.PortOpen(port)) {
            link_.AnswerPowerFail();
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
            if (!dc.empty()) {
                ReportDropped(dc);
                Tell(refused, false);
            }
            return;
        }
        linkDownReported_ = false;
        if (!Enqueue(dc, command, brightness, origin) && !dc.empty()) Tell(refused, false);
        if (step.Outermost()) {
            if (!timer_->Enabled() && !queue_.empty()) SendX10(queue_.front());
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
    // connection.
    if (!timer_->Enabled() && !queue_.empty()) queue_.front().State = 0;
    StartHead();
    Drain();
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
    ServiceTimeout();
}

void Cm11aEngine::CM11ADataArrival(const std::string& bytes, int code) {
    Step step(*this);
    core::Guarded(reporter_, "CM11ADataArrival", [&] {
        comm_.AppendStatus("\r\n" + std::to_string(code));
        comm_.AppendData(HexJoin(bytes));
        comm_.ScrollEchoWindows();
    });
    if (code == 2) pendingInput_ += bytes;
    // Bytes that arrive while a step runs wait in PendingInput behind the bytes before them.
    if (step.Outermost()) Drain();
}

void Cm11aEngine::Drain() {
    for (;;) {
        if (!pendingInput_.empty()) {
            const auto b = static_cast<std::uint8_t>(pendingInput_.front());
            pendingInput_.erase(0, 1);
            ReceiveX10Character(b);
        } else if (timeoutHeld_) {
            timeoutHeld_ = false;
            DoTimeout();
        } else if (startHeld_) {
            startHeld_ = false;
            StartHead();
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
                                                 std::to_string(brightness) + " is outside 0..31");
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
        if (!link_.PortOpen(settings_.ComPort)) return;
        if (!timer_->Enabled() && !queue_.empty()) SendX10(queue_.front());
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
            if (item.Retry > 3) return GiveUp(item);
            if (item.Retry == 0 && settings_.Announced(item.DC)) Announce(item);
            const std::uint8_t header = AddressHeader(item.Brightness);
            const auto address = static_cast<std::uint8_t>(item.Header);
            pollIsPoll_ = Checksum(header, address) != kPoll;
            item.State = 1;
            ArmTimer();
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
            Write(std::string{static_cast<char>(header), static_cast<char>(function)});
            return;
        }
        case 5:
            return X10Error(&item, "Expecting checksum, but sending from state 5");
        case 6:
            if (item.Retry > 3) return GiveUp(item);
            item.State = 7;
            ArmTimer();
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
    const std::string byte(1, static_cast<char>(b));
    reporter_.DebugLog("ReceiveX10Character " + HexJoin(byte));
    StopTimer();
    const bool p = pollIsPoll_;
    pollIsPoll_ = true;

    if (reportRemaining_ > 0) {  // upload byte
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
    if (b == kPoll && p) {  // the interface wants to upload
        reportExpected_ = true;
        repeatedPolls_ = 0;
        reportBuffer_.clear();
        comm_.SetTxStatus("Report Request from CM11A interrupted at step " +
                          std::to_string(queue_.empty() ? 0 : queue_.front().State));
        Write(std::string(1, static_cast<char>(kPollAnswer)));
        ArmTimer();
        std::size_t repeated = 0;
        while (repeated < pendingInput_.size() && static_cast<std::uint8_t>(pendingInput_[repeated]) == kPoll) {
            ++repeated;
        }
        pendingInput_.erase(0, repeated);
        if (!queue_.empty()) {
            queue_.front().Retry = 0;
            queue_.front().State = 0;
        }
        return;
    }
    if (queue_.empty()) {
        if (b == kPowerFail) link_.AnswerPowerFail();
        return;
    }
    X10Queue& head = queue_.front();
    // The interface that lost power answers nothing but its 0xA5 requests until it gets
    // 0x9B; taken as wrong replies they would drop every queued command unanswered. A reply
    // awaited with the value 0xA5 (a checksum can be that) is still a reply.
    const int expected = ExpectedReply(head);
    if (b == kPowerFail && (head.State == 0 || (expected >= 0 && b != expected))) {
        link_.AnswerPowerFail();
        head.State = 0;
    } else if (head.State < 0 || head.State > 7) {
        // not a state of the handshake: nothing to judge
    } else if (expected < 0) {
        // A sending state (0, 2, 4, 6): the interface should be silent.
        X10Error(nullptr, "Receiveing in State " + std::to_string(head.State) + " " + ToHex(b, reporter_));
    } else if (b != expected) {
        WrongReply(head);
    } else if (head.State == 7) {
        const X10Queue done = head;
        queue_.pop_front();  // the final 0x55: the command is done
        Tell(done, true);
    } else {
        head.State += 1;     // checksum or ready byte as awaited: on to the next step
    }
    StartHead();
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
    head.State = 0;
}

void Cm11aEngine::UploadEnded() {
    reportExpected_ = false;
    core::Guarded(reporter_, "ReceiveX10 Character", [&] { ProcessReceivedX10Command(); });
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

    if (mask == 1 && reportLength_ == 2) Hear(static_cast<std::uint8_t>(lastTxAddress_));
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
