// The connector's side of the CM11A protocol: the transmit queue and its handshake with
// the interface (transmit.cpp), the receive state machine for polls, uploads, macro reports
// and power-fail requests (receive.cpp), the clock message (clock_message.cpp) and the
// announcement of uploaded traffic (decoded by UploadDecoder).
//
// Every entry point runs to its end before the next: writing to the interface never lets
// events run, so no call comes back into the engine while it is in the middle of a step.
// Every command of ours ends in Complete(), once: confirmed, not confirmed (its function
// went out but the interface's 0x55 did not come), or dropped.
#pragma once

#include "core/reporting.h"
#include "core/settings.h"
#include "cm11a/comm_window_model.h"
#include "cm11a/link_port.h"
#include "cm11a/status.h"
#include "cm11a/upload_decoder.h"
#include "cm11a/x10_activity.h"
#include "cm11a/x10_queue.h"
#include "platform/platform.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel::cm11a {

// What the engine waits for from the interface apart from the replies to the head command.
enum class RxState {
    Idle,                // nothing of the interface's own: bytes are replies to the head, polls, 0xA5, 0x5B
    AwaitUploadLength,   // a poll was answered with 0xC3
    InUpload,            // upload bytes still to come
    InMacroReport,       // the two offset bytes after 0x5B
    AwaitClockChecksum,  // the clock message went out
    AwaitClockReady,     // its checksum was confirmed with 0x00
    AwaitQuiet,          // a wrong checksum: the pair goes out again once the line is quiet
    AwaitStatus,         // the status request 0x8B went out: its fourteen bytes to come
};
std::string_view RxStateName(RxState s);

// How a command of ours ended.
enum class Outcome { Confirmed, NotConfirmed, Dropped };

class Cm11aEngine {
public:
    static constexpr int kReplyTimeoutMs = 5000;
    // A dim or bright keeps the interface on the power line about 0.19 s a step at 50 Hz
    // (9.6 mains cycles); its 0x55 is awaited this much longer per step.
    static constexpr int kDimStepMs = 250;
    static constexpr std::uint8_t kPoll = 0x5A;
    static constexpr std::uint8_t kPollAnswer = 0xC3;
    static constexpr std::uint8_t kReady = 0x55;
    static constexpr std::uint8_t kPowerFail = 0xA5;
    static constexpr std::uint8_t kClockSet = 0x9B;
    static constexpr std::uint8_t kMacroReport = 0x5B;
    static constexpr int kMaxUploadLength = 10;
    // Dim steps the interface carries out (22 is the full range).
    static constexpr int kMaxBrightness = 22;
    // After a wrong checksum the line must have been quiet this long before the pair goes
    // out again: a little longer than the pair and its answer take at 4800 baud (3 bytes,
    // about 6 ms), with room for a serial server's latency.
    static constexpr int kResyncQuietMs = 30;
    // How long the clock message waits for the interface's checksum and for its 0x55
    // before the queue goes on anyway.
    static constexpr int kClockAnswerMs = 500;
    // Received bytes waiting to be handled: far above what the interface sends in one
    // exchange; beyond it input is discarded (a runaway peer must not exhaust us).
    static constexpr std::size_t kMaxPendingInput = 4096;
    // A large chunk shows only its last bytes in the traffic pane and the debug log.
    static constexpr std::size_t kShownChunkTail = 256;
    // Overflows closer together than this belong to one episode (one report).
    static constexpr int kOverflowEpisodeMs = 10000;
    // Commands waiting for the interface (each takes about a second on the power line).
    static constexpr std::size_t kQueueLimit = 1000;
    // Reply time-outs a command survives before the second one ends it: four attempts.
    static constexpr int kMaxRetries = 3;
    // A wrong checksum restarts the pair without counting a time-out; an interface that
    // keeps answering out of step would otherwise hold the queue for ever.
    static constexpr int kMaxWrongReplies = 4;
    // Consecutive reply time-outs without a byte from the interface after which the link
    // is closed and opened again (an adapter that hangs).
    static constexpr int kSilentTimeoutsBeforeReopen = 2;
    // The status is asked for at start-up, at every link opening, after a macro report and
    // this often; its fourteen bytes take 30 ms at 4800 baud.
    static constexpr int kStatusIntervalMs = 3600 * 1000;
    static constexpr int kStatusAnswerMs = 1000;
    // The answer's bytes follow one another; a gap this long ends what came instead (a poll,
    // a power-fail request or a macro report: the interface spoke first).
    static constexpr int kStatusByteGapMs = 100;
    // The interface's clock is set again when the status shows it this far off, and once a
    // day; further off than kClockReportS it is reported (once until it is right again).
    static constexpr long kClockToleranceS = 30;
    static constexpr long kClockReportS = 60;
    static constexpr std::uint64_t kClockRenewMs = 24ULL * 3600 * 1000;
    // Minutes on battery after which the battery timer is reported (once until it is reset).
    static constexpr int kBatteryLowMinutes = 5000;
    // Class and block of the announcement that a macro stored in the interface ran.
    static constexpr std::string_view kMacroClass = "xAP-x10.Macro";

    Cm11aEngine(platform::Platform& platform, core::Reporter& reporter, const core::Settings& settings,
                CommWindowModel& comm, LinkPort& link);
    ~Cm11aEngine();
    Cm11aEngine(const Cm11aEngine&) = delete;
    Cm11aEngine& operator=(const Cm11aEngine&) = delete;

    // Resets the queue, the heard addresses and the receive state, then opens the link
    // (port: the ComPort setting); an open link gets the clock message. True when the link
    // is open.
    bool InitCM11A(const std::string& port);
    // Validates and queues a command and starts it when the interface is free. While the
    // link is being opened the command waits for it; for a link that cannot be opened it
    // is dropped. An empty dc only starts the head.
    // An extended command (function 7) goes out only as a whole extended frame: extData and
    // extCommand 0..255; without them it is refused with a report. sender: the round-robin
    // key (empty: the origin's name).
    void SendCM11A(const std::string& dc, int command, int brightness = 0,
                   X10Origin origin = X10Origin::XapRequest, int extData = -1, int extCommand = 0,
                   const std::string& sender = {});
    // SendCM11A for a command typed by a person: why it was not queued, empty when it was.
    std::string SendTyped(const std::string& dc, int command, int brightness, X10Origin origin);
    // Commands the queue takes from sender now: its free places, or when it is full, those
    // that senders with more commands waiting give up to it.
    std::size_t QueueRoom(const std::string& sender) const;
    // Told of every command completed or dropped and of every function heard.
    void SetActivityObserver(std::function<void(const X10Activity&)> observer) { observer_ = std::move(observer); }
    // Tick handler of CM11ATimer: a reply did not come.
    void CM11ATimer_Timer();
    // The link (re)opened: the clock message goes out, then the waiting head starts afresh.
    void LinkOpened();
    // The ComPort setting changed: the link moves to the new port now when the interface is
    // idle, otherwise once the exchange in progress has ended (never inside one).
    void PortChanged();
    bool PortChangePending() const { return portChangePending_; }
    // Asks the interface for its status as soon as no exchange is under way.
    void RequestStatus();
    // Told of every status the interface sent.
    void SetStatusObserver(std::function<void(const InterfaceStatus&)> observer) { statusObserver_ = std::move(observer); }
    const std::optional<InterfaceStatus>& Status() const { return status_; }
    // Tick handler of the quiet timer (resynchronisation, clock and status exchanges).
    void QuietTimer_Timer();
    // A chunk from the link; code 2 delivers bytes, every code is shown in the status pane.
    void CM11ADataArrival(const std::string& bytes, int code);

    // Read-only views for the window and for tests.
    const cm11a::TransmitQueue& TransmitQueue() const { return queue_; }
    const std::vector<std::uint8_t>& HeardAddresses() const { return decoder_.Heard(); }
    int LastTxAddress() const { return lastTxAddress_; }
    RxState Receiving() const { return rxState_; }
    // A received 0x5A is a poll (false while the checksum awaited is itself 0x5A).
    bool PollIsPoll() const;
    int ReportRemaining() const { return reportRemaining_; }
    const platform::Timer& CM11ATimer() const { return *timer_; }
    // The clock message for the interface at the given local time ("YYYY-MM-DD hh:mm:ss"):
    // 0x9B and six bytes.
    static std::string ClockMessage(const std::string& localDateTime, char houseLetter);

private:
    // transmit.cpp
    bool Enqueue(const std::string& dc, int command, int brightness, X10Origin origin, int extData, int extCommand,
                 const std::string& sender);
    // The sender with most commands waiting behind the head, when it has more than one more
    // than sender (share: how many it would give up); its newest command gives way.
    std::optional<std::string> LargerSender(const std::string& sender, std::size_t* share = nullptr) const;
    // After the head left: the sender served longest ago (or never) goes next, its oldest first.
    void NextHead();
    void Refuse(const std::string& dc, int command, int brightness, X10Origin origin);
    void ReportDropped(const std::string& dc);
    void StartHead();
    void SendX10(X10Queue& item);
    void Announce(const X10Queue& item);
    void ArmReplyTimer(const X10Queue& item);
    void StopTimer();
    void ReplyTimedOut();
    void InterruptHead(const char* why);
    void Complete(Outcome outcome, const std::string& why);
    void WrongReply(X10Queue& head);
    // The byte the interface must answer in the item's state, or -1 in a sending state.
    static int ExpectedReply(const X10Queue& item);
    void Tell(const X10Queue& item, bool completed);
    void Emit(const X10Activity& activity);

    // receive.cpp
    void Drain();
    void ReceiveX10Character(std::uint8_t b);
    void ReceiveStep(std::uint8_t b);
    void ServePoll();
    void PowerFailed();
    void HeadReply(std::uint8_t b);
    void UploadEnded();
    void NoteOverflow(std::size_t discarded);
    void StartResync();

    // clock_message.cpp
    void StartClock(const char* why);
    void ClockStep(std::uint8_t b);
    bool ClockChecksum(std::uint8_t b) const;  // b answers the clock message just sent
    void EndClock(const char* why);

    // status_request.cpp
    bool StartStatus();
    void StatusStep(std::uint8_t b);
    void EndStatus(const char* why);
    // What came after the status request is complete (or a gap ended it): the status, a
    // macro report and the status, or the interface's own request, which is served.
    void StatusAnswerEnded();
    void StatusReceived(const InterfaceStatus& status);
    void BeginMacroReport();  // 0x5B came: two offset bytes follow
    void MacroReported(int offset);

    // The bytes of the head's address or function step.
    static std::string Frame(const X10Queue& item, bool address);

    void Write(const std::string& bytes);
    void DebugByte(const char* what, std::uint8_t b);
    // A command's handshake, an upload, a macro report or the clock exchange is under way.
    bool MidExchange() const;
    // Moves the link to the ComPort setting.
    void SwitchPort();

    platform::Platform& platform_;
    core::Reporter& reporter_;
    const core::Settings& settings_;
    CommWindowModel& comm_;
    LinkPort& link_;
    std::unique_ptr<platform::Timer> timer_;
    std::unique_ptr<platform::Timer> quietTimer_;
    std::unique_ptr<platform::Timer> statusTimer_;

    cm11a::TransmitQueue queue_;
    std::map<std::string, std::uint64_t> lastServed_;  // sender -> turn its command became head
    std::uint64_t turns_ = 0;
    std::uint64_t enqueued_ = 0;  // commands ever taken into the queue
    UploadDecoder decoder_;
    RxState rxState_ = RxState::Idle;
    int lastTxAddress_ = 0;
    std::string pendingInput_;
    std::size_t pendingPos_ = 0;  // bytes of pendingInput_ already handled
    int reportRemaining_ = 0;
    int reportLength_ = 0;
    std::string reportBuffer_;
    int repeatedPolls_ = 0;       // polls received while the upload length is awaited
    int macroRemaining_ = 0;      // offset bytes of a macro report still to come
    int macroOffset_ = 0;
    bool statusWanted_ = false;   // a status request goes out once no exchange is under way
    std::string statusBuffer_;
    std::optional<InterfaceStatus> status_;
    std::uint64_t lastClockSetMs_ = 0;
    bool clockOffReported_ = false;
    bool batteryReported_ = false;
    bool statusAnnounced_ = false;  // the status read since the link opened was announced
    std::function<void(const InterfaceStatus&)> statusObserver_;

    bool portChangePending_ = false;
    bool linkDownReported_ = false;  // the first command dropped for a closed link was reported
    std::uint8_t clockSum_ = 0;       // checksum of the six clock bytes
    std::uint8_t clockSumWithSet_ = 0;  // the same with 0x9B counted
    std::uint64_t resyncDeadlineMs_ = 0;
    bool byteSinceWrite_ = true;  // a byte arrived since the last write that awaits a reply
    int silentTimeouts_ = 0;      // consecutive time-outs without any byte from the interface
    bool reopenedWhileSilent_ = false;
    std::size_t overflowBytes_ = 0;  // discarded in the current overflow episode
    std::uint64_t lastOverflowMs_ = 0;
    bool overflowing_ = false;
    int byteLinesLeft_ = 0;       // per-byte debug lines still shown for the current chunk
    std::function<void(const X10Activity&)> observer_;
};

}  // namespace quorvel::cm11a
