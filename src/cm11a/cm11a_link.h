// The link to the CM11A: a local serial port or a TCP connection to a serial server,
// chosen by the ComPort setting. Opens, tests, closes and writes the link, supervises the
// TCP connection (connect retries, reconnect after a drop) and hands received bytes and
// serial faults to the protocol engine.
#pragma once

#include "core/reporting.h"
#include "core/settings.h"
#include "cm11a/link_port.h"
#include "platform/platform.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace quorvel::cm11a {

// What a ComPort text names.
struct ComPortTarget {
    enum class Kind { Serial, Tcp, Invalid };
    Kind kind = Kind::Invalid;
    std::string Device;     // Serial: the device path
    std::string Host;       // Tcp: the address before the first ":"
    std::uint16_t Port = 0; // Tcp: the port after it
    std::string Problem;    // Invalid: why
};

// "1" -> /dev/ttyS0 (n -> /dev/ttyS<n-1>); "/dev/..." -> that device (may hold ":");
// "host:port" -> TCP, split at the first ":". Leading blanks and trailing non-digits of a
// number are ignored, as in a numeric reading of the text.
ComPortTarget ParseComPort(const std::string& text);

// True when the text selects the TCP link (a ":" in a text that is not a device path).
bool IsTcpPortText(const std::string& text);

class Cm11aLink : public LinkPort {
public:
    // Connect retries: one every kConnectIntervalMs, at most kMaxConnectTicks - 1 of them.
    static constexpr int kConnectIntervalMs = 2000;
    static constexpr int kMaxConnectTicks = 6;
    // Automatic reconnects after a drop are spaced out from kReconnectMinMs up to
    // kReconnectMaxMs, doubling while the server keeps failing; a connection that lasted
    // kStableConnectionMs counts as healthy and its drop is followed by an immediate retry.
    static constexpr int kReconnectMinMs = 2000;
    static constexpr int kReconnectMaxMs = 60000;
    static constexpr int kStableConnectionMs = 10000;
    // A serial port that failed or could not be opened is tried again in the background,
    // from kReopenMinMs doubling up to kReopenMaxMs, so that traffic heard on the power line
    // is read again without waiting for an outgoing command.
    static constexpr int kReopenMinMs = 1000;
    static constexpr int kReopenMaxMs = 30000;

    // The interface sends at most 480 bytes a second (4800 baud). Input beyond
    // kInputBudgetBytes in one kInputWindowMs (about twenty times that) cannot come from it:
    // it is dropped where it enters, with one report per episode (an episode ends after
    // kInputEpisodeMs without a drop), so that a runaway peer neither keeps the connector
    // busy nor floods the xAP side with events decoded from garbage.
    static constexpr std::size_t kInputBudgetBytes = 1024;
    static constexpr int kInputWindowMs = 100;
    static constexpr int kInputEpisodeMs = 10000;

    using ChunkSink = std::function<void(const std::string& bytes, int code)>;
    using EchoSink = std::function<void(const std::string& bytes)>;
    using StatusSink = std::function<void(const std::string& text)>;

    Cm11aLink(platform::Platform& platform, core::Reporter& reporter, const core::Settings& settings,
              std::function<bool()> shuttingDown);
    ~Cm11aLink() override;
    Cm11aLink(const Cm11aLink&) = delete;
    Cm11aLink& operator=(const Cm11aLink&) = delete;

    // Received chunks and serial fault codes (CM11ADataArrival), echo of written bytes
    // (EchoHex), and the status line of the communications window (aOpenStatus).
    void SetChunkSink(ChunkSink sink) { chunkSink_ = std::move(sink); }
    void SetEchoSink(EchoSink sink) { echoSink_ = std::move(sink); }
    void SetStatusSink(StatusSink sink) { statusSink_ = std::move(sink); }
    // Called whenever the link has been opened (at once, or later by a connection made in
    // the background, a reconnect or a reopen), so that commands waiting for it start.
    void SetOpenedSink(std::function<void()> sink) { openedSink_ = std::move(sink); }

    // Opens the link named by port. A serial device opens at once; a TCP connection is
    // started and false returned: its outcome is told later (the opened sink, or one report
    // when the connect retries run out, after which it keeps trying in the background).
    // Never lets events run.
    bool OpenPort(const std::string& port);
    // The link in use stays in use, whatever port names, until UsePort moves it.
    bool PortOpen(const std::string& port) override;
    void ClosePort(const std::string& port);
    void WriteToCM11A(const std::string& bytes) override;
    // True while the link is on its way back: a connection being made, a reconnect or a
    // reopen of the serial device pending.
    bool Connecting() const override;
    void Reopen(const std::string& why) override;
    void UsePort(const std::string& port) override;

    bool TcpMode() const { return tcpMode_; }
    int ConnectTries() const { return connectTries_; }
    platform::Timer& ConnectTimer() { return *connectTimer_; }
    platform::Timer& ReconnectTimer() { return *reconnectTimer_; }
    platform::Timer& ReopenTimer() { return *reopenTimer_; }
    // An outage is in progress (reported once; its end is reported as "CM11A link up on ...").
    bool LinkDown() const { return linkDown_; }
    // The link in a few words for a status line: "link up on /dev/ttyUSB0", "no link: <why>".
    std::string LinkState() const override;

    // Event handlers (public so that tests and the application can reach them).
    void ConnectTimer_Timer();
    void Winsock1_Connect();
    void Winsock1_Close();
    void Winsock1_Error(int number, const std::string& description);
    void Winsock1_DataArrival(const std::string& bytes);
    void MSComm1_OnComm(const std::string& bytes, int code);
    void MSComm1_OnError(int code, const std::string& text);

private:
    bool OpenSerial(const ComPortTarget& target, bool quiet);
    void ReopenTimer_Timer();
    void ScheduleReopen();
    // The link opened: ends an outage (with one report) and lets waiting commands go.
    void LinkUp(const std::string& where);
    // Reports an open failure once per outage of the same port text; later ones go to the
    // debug log only.
    void OpenFailed(const std::string& port, const std::string& failure, int number);
    void StartConnect();
    // The connect retries ran out: one report, then reconnects in the background.
    void ConnectFailed();
    // The status line of the communications window.
    void ShowStatus(const std::string& port, bool open);
    void ReconnectAfterDrop();
    void ReconnectTimer_Timer();
    void Report(const std::string& text);
    // The part of bytes that fits this window's input budget; the rest is counted as dropped.
    std::string WithinBudget(const std::string& bytes);

    platform::Platform& platform_;
    core::Reporter& reporter_;
    const core::Settings& settings_;
    std::function<bool()> shuttingDown_;
    std::function<void()> openedSink_;

    std::unique_ptr<platform::Timer> connectTimer_;
    std::unique_ptr<platform::Timer> reconnectTimer_;
    std::unique_ptr<platform::Timer> reopenTimer_;
    std::unique_ptr<platform::SerialPort> serial_;
    std::unique_ptr<platform::TcpSocket> socket_;

    ChunkSink chunkSink_;
    EchoSink echoSink_;
    StatusSink statusSink_;

    bool tcpMode_ = false;
    int connectTries_ = 0;
    std::string serialDevice_;    // device the serial port was opened on
    std::string host_;            // endpoint of the last connection started
    std::string connectPort_;     // the port text that connection was started for
    std::string activePort_;      // the port text in use (the last one opened)
    std::uint16_t tcpPort_ = 0;
    std::uint64_t connectedAtMs_ = 0;
    int reconnectDelayMs_ = 0;    // delay of the next automatic reconnect
    int reopenDelayMs_ = 0;       // delay of the next background reopen of the serial port
    bool connected_ = false;      // the TCP connection was established (and not yet lost)
    bool linkDown_ = false;       // an outage was seen and the link has not come back yet
    std::string downPort_;        // the port text whose open failure was reported
    std::string lastProblem_;     // why the link went down or could not be opened
    bool sendFailReported_ = false;  // "Unable to Send ..." was reported in this outage
    std::uint64_t windowStartMs_ = 0;  // the input budget's current window
    std::size_t windowBytes_ = 0;       // taken in during it
    bool dropping_ = false;             // an episode of dropped input is under way
    std::uint64_t lastDropMs_ = 0;
    std::uint64_t droppedBytes_ = 0;    // in the current episode
};

}  // namespace quorvel::cm11a
