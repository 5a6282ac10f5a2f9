// The connector's side of the CM11A protocol: the transmit queue and its handshake with
// the interface, the reply time-out, the receive state machine (polls, uploads, power-fail
// requests) and the decoding of uploaded power-line traffic into "xAP-x10.Event" messages.
//
// Received bytes are handled exactly once and in arrival order. Writing to the interface
// echoes the bytes and lets pending events run, so data arrival, the time-out and new
// commands can come in while the engine is in the middle of a step; such calls are held
// (input in PendingInput, the time-out and the start of a new command as flags) and
// carried out, in order, as soon as the step that was running has finished.
#pragma once

#include "core/reporting.h"
#include "core/settings.h"
#include "cm11a/comm_window_model.h"
#include "cm11a/link_port.h"
#include "cm11a/x10_queue.h"
#include "platform/platform.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quorvel::cm11a {

// Who asked for an X10 function, or where it came from.
enum class X10Origin { XapRequest = 0, BscCommand = 1, Typed = 2, PowerLine = 3, Mqtt = 4 };

// One X10 function that went over the power line (sent by us and confirmed by the
// interface, or heard in an upload), or one of our commands that was given up.
struct X10Activity {
    X10Origin Origin = X10Origin::XapRequest;
    bool Completed = true;             // false: a command of ours dropped unsent
    char House = 'A';                  // house letter of the function
    int Function = 0;                  // X10 function code 0..15
    int AmountPercent = 0;             // dim/bright amount, 0..100
    std::vector<std::string> Devices;  // addressed devices (upper case), in order
};

class Cm11aEngine {
public:
    static constexpr int kReplyTimeoutMs = 5000;
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
    // before the interrupted command starts again anyway.
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
    // Addresses heard without a function yet; the oldest give way beyond this.
    static constexpr std::size_t kHeardLimit = 64;
    // A wrong reply restarts the item at once without counting a time-out; an interface
    // that keeps answering out of step would otherwise hold the queue for ever.
    static constexpr int kMaxWrongReplies = 4;

    Cm11aEngine(platform::Platform& platform, core::Reporter& reporter, const core::Settings& settings,
                CommWindowModel& comm, LinkPort& link);
    ~Cm11aEngine();
    Cm11aEngine(const Cm11aEngine&) = delete;
    Cm11aEngine& operator=(const Cm11aEngine&) = delete;

    // Resets the queue, the heard addresses and the receive state, then opens the link
    // (port: the ComPort setting) and answers a pending power-fail request. True when the
    // link is open.
    bool InitCM11A(const std::string& port);
    // Validates and queues a command and starts the head when the interface is idle. An
    // empty dc only starts the head.
    void SendCM11A(const std::string& dc, int command, int brightness = 0,
                   X10Origin origin = X10Origin::XapRequest);
    // Told of every function completed on, heard from or dropped before the power line.
    void SetActivityObserver(std::function<void(const X10Activity&)> observer) { observer_ = std::move(observer); }
    // A reply did not come: count a retry and restart the head from its address.
    void ServiceTimeout();
    // Tick handler of CM11ATimer.
    void CM11ATimer_Timer();
    // The link came back by itself (a reconnect): the waiting head starts again.
    void LinkOpened();
    // The ComPort setting changed: the link moves to the new port now when the interface
    // is idle, otherwise once the command in progress has ended (never inside an exchange).
    void PortChanged();
    bool PortChangePending() const { return portChangePending_; }
    // Tick handler of the quiet timer (resynchronisation and clock exchange).
    void QuietTimer_Timer();
    // A chunk from the link; code 2 delivers bytes, every code is shown in the status pane.
    void CM11ADataArrival(const std::string& bytes, int code);

    // Read-only views for the window and for tests.
    const cm11a::TransmitQueue& TransmitQueue() const { return queue_; }
    const std::vector<std::uint8_t>& HeardAddresses() const { return heard_; }
    int LastTxAddress() const { return lastTxAddress_; }
    bool PollIsPoll() const { return pollIsPoll_; }
    bool ReportExpected() const { return reportExpected_; }
    int ReportRemaining() const { return reportRemaining_; }
    std::string PendingInput() const { return pendingInput_.substr(pendingPos_); }
    const platform::Timer& CM11ATimer() const { return *timer_; }
    // Waiting for quiet before a pair goes out again, or inside the clock exchange.
    bool Resyncing() const { return resyncing_; }
    bool InClockExchange() const { return clockPhase_ != ClockPhase::None; }
    // The clock message for the interface at the given local time ("YYYY-MM-DD hh:mm:ss"):
    // 0x9B and six bytes.
    static std::string ClockMessage(const std::string& localDateTime, char houseLetter);

private:
    class Step;

    void Drain();
    void StartHead();  // the "continue" form of SendCM11A ("", 0, 0)
    bool Enqueue(const std::string& dc, int command, int brightness, X10Origin origin);
    void Tell(const X10Queue& item, bool completed);
    void DoTimeout();
    void ArmTimer();
    void StopTimer();
    void SendX10(X10Queue& item);
    void GiveUp(X10Queue& item);
    void Announce(const X10Queue& item);
    void X10Error(X10Queue* item, const std::string& message);
    void ReceiveX10Character(std::uint8_t b);
    void ReceiveStep(std::uint8_t b);
    bool InterfaceBusy() const;
    // A command's handshake, an upload or a macro report is under way.
    bool MidExchange() const;
    void AnswerClock();
    bool ClockStep(std::uint8_t b);
    void EndClock(const char* why);
    void StartResync();
    void NoteOverflow(std::size_t discarded);
    void UploadEnded();
    void WrongReply(X10Queue& head);
    // The byte the interface must answer in the item's state, or -1 in a sending state.
    static int ExpectedReply(const X10Queue& item);
    void ReportDropped(const std::string& dc);
    void Hear(std::uint8_t address);
    void ProcessReceivedX10Command();
    void SendEvent(const std::string& name, const std::string& device, const std::string* brightness);
    void Write(const std::string& bytes);
    // Moves the link to settings_.ComPort.
    void SwitchPort();

    platform::Platform& platform_;
    core::Reporter& reporter_;
    const core::Settings& settings_;
    CommWindowModel& comm_;
    LinkPort& link_;
    std::unique_ptr<platform::Timer> timer_;
    std::unique_ptr<platform::Timer> quietTimer_;

    cm11a::TransmitQueue queue_;
    std::vector<std::uint8_t> heard_;
    int lastTxAddress_ = 0;
    bool pollIsPoll_ = true;
    std::string pendingInput_;
    std::size_t pendingPos_ = 0;  // bytes of pendingInput_ already handled
    bool reportExpected_ = false;
    int reportRemaining_ = 0;
    int reportLength_ = 0;
    std::string reportBuffer_;

    bool portChangePending_ = false;
    bool linkDownReported_ = false;  // the first command dropped for a closed link was reported
    int repeatedPolls_ = 0;       // polls received while the upload length is awaited
    int macroRemaining_ = 0;      // offset bytes of a macro report still to come
    int depth_ = 0;               // engine steps running (nesting through the event pump)
    bool timeoutHeld_ = false;    // the time-out fired during a step
    bool startHeld_ = false;      // a command was queued during a step

    enum class ClockPhase { None, AwaitChecksum, AwaitReady };
    ClockPhase clockPhase_ = ClockPhase::None;
    std::uint8_t clockSum_ = 0;       // checksum of the six clock bytes
    std::uint8_t clockSumWithSet_ = 0;  // the same with 0x9B counted
    bool resyncing_ = false;
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
