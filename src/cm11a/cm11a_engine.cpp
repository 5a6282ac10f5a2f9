// The engine's entry points: start-up, new commands, the link opening, the timers and the
// bounded intake of received bytes.
#include "cm11a/cm11a_engine.h"

#include "cm11a/codes.h"

#include <algorithm>
#include <string_view>

namespace quorvel::cm11a {

std::string_view RxStateName(RxState s) {
    switch (s) {
    case RxState::Idle: return "Idle";
    case RxState::AwaitUploadLength: return "AwaitUploadLength";
    case RxState::InUpload: return "InUpload";
    case RxState::InMacroReport: return "InMacroReport";
    case RxState::AwaitClockChecksum: return "AwaitClockChecksum";
    case RxState::AwaitClockReady: return "AwaitClockReady";
    case RxState::AwaitQuiet: return "AwaitQuiet";
    case RxState::AwaitStatus: return "AwaitStatus";
    }
    return "?";
}

Cm11aEngine::Cm11aEngine(platform::Platform& platform, core::Reporter& reporter,
                         const core::Settings& settings, CommWindowModel& comm, LinkPort& link)
    : platform_(platform), reporter_(reporter), settings_(settings), comm_(comm), link_(link),
      timer_(platform.CreateTimer()), quietTimer_(platform.CreateTimer()),
      statusTimer_(platform.CreateTimer()) {
    timer_->SetHandler([this] { CM11ATimer_Timer(); });
    quietTimer_->SetHandler([this] { QuietTimer_Timer(); });
    statusTimer_->SetHandler([this] { core::Guarded(reporter_, "StatusTimer", [&] { RequestStatus(); }); });
    comm_.SetSendCommand([this](const std::string& dc, int command, int brightness) {
        return SendTyped(dc, command, brightness, X10Origin::Typed);
    });
}

Cm11aEngine::~Cm11aEngine() {
    comm_.SetSendCommand(nullptr);
    timer_->SetEnabled(false);
    quietTimer_->SetEnabled(false);
    statusTimer_->SetEnabled(false);
}

bool Cm11aEngine::InitCM11A(const std::string& port) {
    // The link may have opened before (the settings name the port first): its clock
    // exchange goes on, and the interface gets no second message.
    const auto clockUnderway = [this] {
        return rxState_ == RxState::AwaitClockChecksum || rxState_ == RxState::AwaitClockReady;
    };
    const bool keepClock = clockUnderway();
    queue_.clear();
    lastServed_.clear();
    decoder_.Clear();
    pendingInput_.clear();
    pendingPos_ = 0;
    reportBuffer_.clear();
    reportRemaining_ = 0;
    macroRemaining_ = 0;
    // The status is asked for once the clock is set, and every hour.
    statusWanted_ = true;
    statusTimer_->Arm(kStatusIntervalMs);
    if (!keepClock) {
        rxState_ = RxState::Idle;
        quietTimer_->SetEnabled(false);
    }
    StopTimer();
    bool open = false;
    core::Guarded(reporter_, "InitCM11A", [&] { open = link_.PortOpen(port); });
    // Opening the link may have sent the clock message just now (LinkOpened).
    if (open && !clockUnderway()) StartClock("start-up");
    return open;
}

namespace {
std::string SenderKey(const std::string& sender, X10Origin origin) {
    if (!sender.empty()) return sender;
    switch (origin) {
    case X10Origin::BscCommand: return "BSC";
    case X10Origin::Typed: return "typed";
    case X10Origin::Mqtt: return "MQTT";
    default: return "xAP";
    }
}
}  // namespace

void Cm11aEngine::SendCM11A(const std::string& dc, int command, int brightness, X10Origin origin, int extData,
                            int extCommand, const std::string& senderName) {
    const std::string sender = SenderKey(senderName, origin);
    core::Guarded(reporter_, "SendCM11A", [&] {
        if (!link_.PortOpen(settings_.ComPort)) {
            if (dc.empty()) return;
            // While the link is being opened (or opened again) the command waits for it; it
            // starts when the link opens (LinkOpened).
            if (link_.Connecting()) {
                if (Enqueue(dc, command, brightness, origin, extData, extCommand, sender)) {
                    reporter_.DebugLog("SendCM11A " + dc + " waits for the CM11A link");
                } else {
                    Refuse(dc, command, brightness, origin);
                }
            } else {
                ReportDropped(dc);
                Refuse(dc, command, brightness, origin);
            }
            return;
        }
        linkDownReported_ = false;
        if (!dc.empty() && !Enqueue(dc, command, brightness, origin, extData, extCommand, sender)) {
            Refuse(dc, command, brightness, origin);
        }
        StartHead();
    });
}

std::string Cm11aEngine::SendTyped(const std::string& dc, int command, int brightness, X10Origin origin) {
    const std::uint64_t before = enqueued_;
    const std::size_t waiting = queue_.size();
    SendCM11A(dc, command, brightness, origin);
    if (enqueued_ > before) return {};  // queued (on a full queue, in another sender's place)
    if (waiting >= kQueueLimit) return std::to_string(kQueueLimit) + " commands are already waiting";
    const std::string state = link_.LinkState();
    return state.empty() || state.rfind("link up", 0) == 0 ? "not queued (see the log)" : "the CM11A link is down: " + state;
}

void Cm11aEngine::LinkOpened() {
    linkDownReported_ = false;
    // The opening that InitCM11A asked for may be told twice; one clock message is enough.
    if (rxState_ == RxState::AwaitClockChecksum || rxState_ == RxState::AwaitClockReady) return;
    // Whatever the old connection was in the middle of is gone: the interface gets its clock
    // and the head starts again from its address (or ends, if its function already went).
    quietTimer_->SetEnabled(false);
    StopTimer();
    reportBuffer_.clear();
    reportRemaining_ = 0;
    rxState_ = RxState::Idle;
    // A new connection is a fresh start: the time-outs counted on the old one do not count.
    if (!queue_.empty()) queue_.front().Retry = 0;
    statusWanted_ = true;
    statusAnnounced_ = false;
    core::Guarded(reporter_, "LinkOpened", [&] { StartClock("the link opened"); });
}

void Cm11aEngine::PortChanged() {
    portChangePending_ = true;
    if (!MidExchange()) SwitchPort();  // otherwise StartHead moves it once the exchange has ended
}

bool Cm11aEngine::MidExchange() const {
    return rxState_ != RxState::Idle || (!queue_.empty() && queue_.front().State != TxState::SendAddress);
}

void Cm11aEngine::SwitchPort() {
    portChangePending_ = false;
    reporter_.DebugLog("CM11A port changed to " + settings_.ComPort);
    core::Guarded(reporter_, "PortChanged", [&] { link_.UsePort(settings_.ComPort); });
}

void Cm11aEngine::QuietTimer_Timer() {
    quietTimer_->SetEnabled(false);
    core::Guarded(reporter_, "QuietTimer", [&] {
        if (rxState_ == RxState::AwaitQuiet) {
            rxState_ = RxState::Idle;  // the line is quiet: the pair goes out again
        } else if (rxState_ == RxState::AwaitClockChecksum || rxState_ == RxState::AwaitClockReady) {
            EndClock("CM11A clock exchange ended without the interface's answer");
        } else if (rxState_ == RxState::AwaitStatus) {
            if (statusBuffer_.empty()) EndStatus("CM11A status request unanswered");
            else StatusAnswerEnded();
        }
        StartHead();
    });
}

void Cm11aEngine::CM11ATimer_Timer() {
    StopTimer();
    const bool silent = !byteSinceWrite_ && !queue_.empty() && rxState_ == RxState::Idle;
    core::Guarded(reporter_, "CM11ATimer", [&] { ReplyTimedOut(); });
    // An interface that answers nothing at all, twice in a row, while the link stays open:
    // the adapter hangs. It is closed and opened again, once until it answers again.
    if (silent && ++silentTimeouts_ >= kSilentTimeoutsBeforeReopen && !reopenedWhileSilent_) {
        reopenedWhileSilent_ = true;
        silentTimeouts_ = 0;
        core::Guarded(reporter_, "CM11ATimer", [&] {
            link_.Reopen("the CM11A sent nothing for " + std::to_string(kSilentTimeoutsBeforeReopen) +
                         " replies in a row");
        });
    }
}

void Cm11aEngine::CM11ADataArrival(const std::string& bytes, int code) {
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
    if (code != 2 || bytes.empty()) return;
    if (overflowing_ && platform_.NowMs() - lastOverflowMs_ >= static_cast<std::uint64_t>(kOverflowEpisodeMs)) {
        overflowing_ = false;
        reporter_.DebugLog("CM11A input overflow over: " + std::to_string(overflowBytes_) + " bytes discarded");
    }
    const std::size_t take = std::min(kMaxPendingInput, bytes.size());
    if (take < bytes.size()) NoteOverflow(bytes.size() - take);
    if (large && reporter_.Debug()) {
        reporter_.DebugLog("CM11ADataArrival " + std::to_string(bytes.size()) + " bytes " + leftOut + HexJoin(tail));
    }
    byteLinesLeft_ = large ? 0 : static_cast<int>(kShownChunkTail);
    pendingInput_.assign(bytes, 0, take);
    pendingPos_ = 0;
    Drain();
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
                                              " received bytes in one piece, " + std::to_string(discarded) +
                                              " discarded (the interface or the serial server sends garbage?)");
}

void Cm11aEngine::Drain() {
    while (pendingPos_ < pendingInput_.size()) {
        ReceiveX10Character(static_cast<std::uint8_t>(pendingInput_[pendingPos_++]));
    }
    pendingInput_.clear();
    pendingPos_ = 0;
}

void Cm11aEngine::Write(const std::string& bytes) { link_.WriteToCM11A(bytes); }

void Cm11aEngine::DebugByte(const char* what, std::uint8_t b) {
    if (!reporter_.Debug()) return;
    reporter_.DebugLog(std::string("CM11A stray byte ") + HexJoin(std::string(1, static_cast<char>(b))) + " " + what);
}

bool Cm11aEngine::PollIsPoll() const {
    if (rxState_ != RxState::Idle || queue_.empty()) return true;
    const X10Queue& head = queue_.front();
    const bool awaitingChecksum =
        head.State == TxState::AwaitAddressChecksum || head.State == TxState::AwaitFunctionChecksum;
    return !awaitingChecksum || ExpectedReply(head) != kPoll;
}

}  // namespace quorvel::cm11a
