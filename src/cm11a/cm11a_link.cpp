#include "cm11a/cm11a_link.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <thread>

namespace quorvel::cm11a {

namespace {

// The numeric value of a text read the way a person writes a number: leading blanks, then
// digits up to the first other character. Nothing when there is no digit; values beyond
// 1000000 are clamped there (they are invalid anyway).
std::optional<long> LeadingNumber(std::string_view s) {
    s = core::Trim(s);
    long value = 0;
    bool any = false;
    for (char c : s) {
        if (c < '0' || c > '9') break;
        any = true;
        value = std::min(value * 10 + (c - '0'), 1000000L);
    }
    if (!any) return std::nullopt;
    return value;
}

constexpr long kMaxSerialNumber = 256;

}  // namespace

ComPortTarget ParseComPort(const std::string& text) {
    ComPortTarget t;
    const std::string_view s = core::Trim(text);
    if (s.empty()) {
        t.Problem = "No port given";
        return t;
    }
    if (s.front() == '/') {
        t.kind = ComPortTarget::Kind::Serial;
        t.Device = std::string(s);
        return t;
    }
    const auto colon = s.find(':');
    if (colon != std::string_view::npos) {
        const std::string_view host = core::Trim(s.substr(0, colon));
        const auto port = LeadingNumber(s.substr(colon + 1));
        if (host.empty()) {
            t.Problem = "No TCP address in \"" + text + "\"";
        } else if (!port || *port < 1 || *port > 65535) {
            t.Problem = "Invalid TCP port in \"" + text + "\"";
        } else {
            t.kind = ComPortTarget::Kind::Tcp;
            t.Host = std::string(host);
            t.Port = static_cast<std::uint16_t>(*port);
        }
        return t;
    }
    const auto n = LeadingNumber(s);
    if (!n || *n < 1 || *n > kMaxSerialNumber) {
        t.Problem = "Invalid port number \"" + text + "\"";
        return t;
    }
    t.kind = ComPortTarget::Kind::Serial;
    t.Device = "/dev/ttyS" + std::to_string(*n - 1);
    return t;
}

bool IsTcpPortText(const std::string& text) {
    const std::string_view s = core::Trim(text);
    return !s.empty() && s.front() != '/' && s.find(':') != std::string_view::npos;
}

Cm11aLink::Cm11aLink(platform::Platform& platform, core::Reporter& reporter,
                     const core::Settings& settings, std::function<bool()> shuttingDown)
    : platform_(platform),
      reporter_(reporter),
      settings_(settings),
      shuttingDown_(std::move(shuttingDown)),
      connectTimer_(platform.CreateTimer()),
      reconnectTimer_(platform.CreateTimer()),
      reopenTimer_(platform.CreateTimer()),
      serial_(platform.CreateSerialPort()),
      socket_(platform.CreateTcpSocket()),
      sleeper_([](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }) {
    // Design-time state of the connect timer: disabled, 10 s.
    connectTimer_->SetInterval(10000);
    connectTimer_->SetHandler([this] { ConnectTimer_Timer(); });
    reconnectTimer_->SetHandler([this] { ReconnectTimer_Timer(); });
    reopenTimer_->SetHandler([this] { ReopenTimer_Timer(); });
    socket_->SetConnectedHandler([this] { Winsock1_Connect(); });
    socket_->SetClosedHandler([this] { Winsock1_Close(); });
    socket_->SetErrorHandler([this](int n, const std::string& d) { Winsock1_Error(n, d); });
    socket_->SetDataHandler([this](const std::string& b) { Winsock1_DataArrival(b); });
    serial_->SetDataHandler([this](const std::string& b) { MSComm1_OnComm(b, 2); });
    serial_->SetErrorHandler([this](int code, const std::string& text) { MSComm1_OnError(code, text); });
}

Cm11aLink::~Cm11aLink() {
    connectTimer_->SetEnabled(false);
    reconnectTimer_->SetEnabled(false);
    reopenTimer_->SetEnabled(false);
    socket_->Close();
    serial_->Close();
}

void Cm11aLink::Report(const std::string& text) { reporter_.ReportEvent(core::kAppName, text); }

bool Cm11aLink::OpenPort(const std::string& port) {
    connectTries_ = 0;
    bool result = false;
    // Handlers run while we wait may test the link again; they see it as it is and start
    // nothing of their own until this open is done.
    const bool outer = !opening_;
    opening_ = true;
    bool opened = false;  // the link was closed and is open now
    try {
        const ComPortTarget target = ParseComPort(port);
        if (target.kind == ComPortTarget::Kind::Invalid) {
            linkDown_ = true;
            OpenFailed(port, target.Problem, 1);
        } else if (target.kind == ComPortTarget::Kind::Serial) {
            tcpMode_ = false;
            const bool wasOpen = serial_->IsOpen() && serialDevice_ == target.Device;
            result = OpenSerial(target, false);
            opened = result && !wasOpen;
        } else {
            tcpMode_ = true;
            if (socket_->IsConnected() && target.Host == host_ && target.Port == tcpPort_) {
                result = true;
            } else {
                reconnectTimer_->SetEnabled(false);
                host_ = target.Host;
                tcpPort_ = target.Port;
                StartConnect();
                connectTimer_->Arm(kConnectIntervalMs);
                // The timer ends the wait on its last tick; the deadline only guards against
                // a timer that someone keeps re-arming.
                const std::uint64_t deadline =
                    platform_.NowMs() + kConnectIntervalMs * (kMaxConnectTicks + 1);
                while (connectTimer_->Enabled()) {
                    platform_.WaitForEvents(250);
                    if (socket_->IsConnected() || platform_.NowMs() >= deadline) break;
                }
                connectTimer_->SetEnabled(false);
                result = socket_->IsConnected();
                opened = result;
                if (!result) {
                    linkDown_ = true;
                    if (downPort_ != port) {
                        downPort_ = port;
                        Report("Unable to connect to CM11A via TCP " + port);
                    } else {
                        reporter_.DebugLog("Unable to connect to CM11A via TCP " + port);
                    }
                    // Keep trying in the background, spaced out, so that the link comes
                    // back by itself when the server does.
                    if (!(shuttingDown_ && shuttingDown_())) ReconnectAfterDrop();
                }
            }
        }
    } catch (const std::exception& e) {
        reporter_.Fail(e);
        Report("CM11A OpenPort ");
    }
    try {
        if (statusSink_) {
            statusSink_(result ? "Port " + port + " Open / " + std::to_string(connectTries_) + " tries"
                               : "Port " + port + " Not Connected");
        }
        platform_.ProcessEvents();
    } catch (const std::exception& e) {
        reporter_.Fail(e);
        Report("CM11A OpenPort ");
    }
    if (outer) opening_ = false;
    // Commands kept while the link was being opened can go now.
    if (opened && outer && openedSink_) openedSink_();
    return result;
}

void Cm11aLink::OpenFailed(const std::string& port, const std::string& failure, int number) {
    if (downPort_ == port) {
        reporter_.DebugLog("CM11A OpenPort " + port + ": " + failure);
        return;
    }
    downPort_ = port;
    reporter_.Fail(failure, number);
    Report("CM11A OpenPort ");
}

void Cm11aLink::LinkUp(const std::string& where) {
    if (linkDown_) Report("CM11A link up on " + where);
    linkDown_ = false;
    downPort_.clear();
    sendFailReported_ = false;
    reopenDelayMs_ = 0;
    reopenTimer_->SetEnabled(false);
}

bool Cm11aLink::Connecting() const {
    if (opening_) return true;
    const platform::TcpState state = socket_->State();
    return tcpMode_ && (state == platform::TcpState::HostLookup || state == platform::TcpState::Connecting);
}

void Cm11aLink::Reopen(const std::string& why) {
    if (shuttingDown_ && shuttingDown_()) return;
    if (tcpMode_) {
        if (!socket_->IsConnected()) return;
        Report("CM11A link " + host_ + ":" + std::to_string(tcpPort_) + " reconnected: " + why);
        connected_ = false;
        ReconnectAfterDrop();
        return;
    }
    if (!serial_->IsOpen()) return;
    Report("CM11A serial port " + serialDevice_ + " closed and opened again: " + why);
    serial_->Close();
    const ComPortTarget target = ParseComPort(settings_.ComPort);
    if (target.kind == ComPortTarget::Kind::Serial && !OpenSerial(target, false)) linkDown_ = true;
}

void Cm11aLink::ScheduleReopen() {
    if ((shuttingDown_ && shuttingDown_()) || reopenTimer_->Enabled()) return;
    reopenDelayMs_ = reopenDelayMs_ == 0 ? kReopenMinMs : std::min(reopenDelayMs_ * 2, kReopenMaxMs);
    reopenTimer_->Arm(reopenDelayMs_);
}

void Cm11aLink::ReopenTimer_Timer() {
    reopenTimer_->SetEnabled(false);
    if ((shuttingDown_ && shuttingDown_()) || opening_) return;
    const ComPortTarget target = ParseComPort(settings_.ComPort);
    if (target.kind != ComPortTarget::Kind::Serial || (serial_->IsOpen() && serialDevice_ == target.Device)) return;
    tcpMode_ = false;
    // A device that disappeared and came back (a USB adapter plugged in again, a by-id
    // link recreated) is opened again by its path.
    if (OpenSerial(target, true) && openedSink_) openedSink_();
}

bool Cm11aLink::OpenSerial(const ComPortTarget& target, bool quiet) {
    if (serial_->IsOpen()) {
        // An open port is left as it is, unless the setting now names another device.
        if (serialDevice_ == target.Device) return true;
        serial_->Close();
    }
    platform::SerialSettings line;  // 4800 baud, no parity, 8 data bits, 1 stop bit, no flow control
    serial_->Configure(line);
    serialDevice_ = target.Device;
    if (!serial_->Open(target.Device)) {
        const std::string failure = serial_->LastErrorText() + " (" + target.Device + ")";
        linkDown_ = true;
        if (quiet) {
            reporter_.DebugLog("CM11A serial port " + target.Device + " not open yet: " + failure);
        } else {
            OpenFailed(settings_.ComPort.empty() ? target.Device : settings_.ComPort, failure, serial_->LastErrorCode());
        }
        ScheduleReopen();
        return false;
    }
    if (!serial_->IsOpen()) return false;
    LinkUp(target.Device);
    return true;
}

bool Cm11aLink::PortOpen(const std::string& port) {
    try {
        if (!IsTcpPortText(port)) {
            if (serial_->IsOpen() && !tcpMode_) {
                const ComPortTarget target = ParseComPort(port);
                if (target.kind == ComPortTarget::Kind::Serial && target.Device == serialDevice_) return true;
            }
        } else if (socket_->IsConnected() && tcpMode_) {
            const ComPortTarget target = ParseComPort(port);
            if (target.Host == host_ && target.Port == tcpPort_) return true;
        }
        // A test made while an open is waiting (from a handler it let run) does not start
        // a second open: the link is simply not open yet.
        if (opening_) return false;
        // While a spaced-out reconnect to the same server is pending, a test of the link
        // does not block for another connect wait: the reconnect brings the link back.
        if (IsTcpPortText(port) && (reconnectTimer_->Enabled() || Connecting())) {
            const ComPortTarget target = ParseComPort(port);
            if (target.Host == host_ && target.Port == tcpPort_) return false;
        }
        // Once the connector is stopping, a closed link stays closed.
        if (shuttingDown_ && shuttingDown_()) return false;
        return OpenPort(port);
    } catch (const std::exception& e) {
        reporter_.Fail(e);
        Report("PortOpen ");
        return false;
    }
}

void Cm11aLink::ClosePort(const std::string& port) {
    if (IsTcpPortText(port)) {
        reconnectTimer_->SetEnabled(false);
        connectTimer_->SetEnabled(false);
        socket_->Close();
        connected_ = false;
    } else {
        reopenTimer_->SetEnabled(false);
        if (serial_->IsOpen()) serial_->Close();
    }
}

void Cm11aLink::WriteToCM11A(const std::string& bytes) {
    if (!PortOpen(settings_.ComPort)) {
        // Once per outage; every further loss goes to the debug log.
        if (sendFailReported_) {
            reporter_.DebugLog("Unable to Send to CM11A, Port not open");
        } else {
            sendFailReported_ = true;
            Report("Unable to Send to CM11A, Port not open");
        }
        return;
    }
    const bool written = tcpMode_ ? socket_->Write(bytes) : serial_->Write(bytes);
    if (!written) {
        reporter_.Fail("the link refused " + std::to_string(bytes.size()) + " bytes");
        Report("WriteToCM11A ");
    }
    if (echoSink_) echoSink_(bytes);
}

void Cm11aLink::AnswerPowerFail() {
    WriteToCM11A(std::string(1, static_cast<char>(0x9B)));
    DelayMs(10);
}

void Cm11aLink::DelayMs(std::uint32_t ms) {
    // The tick counter is 32 bits wide; the elapsed time is the difference taken modulo
    // 2^32, which stays right across the wrap.
    const auto ticks = [this] { return static_cast<std::uint32_t>(platform_.NowMs()); };
    const std::uint32_t start = ticks();
    // A sleep normally covers the whole pause at once; the bound keeps a clock that does not
    // move from holding the thread for ever.
    for (int round = 0; round < 8; ++round) {
        const std::uint32_t elapsed = ticks() - start;
        if (elapsed > ms) return;
        sleeper_(static_cast<int>(std::min<std::uint32_t>(ms - elapsed + 1, 60000)));
    }
}

void Cm11aLink::StartConnect() {
    socket_->Close();
    socket_->Connect(host_, tcpPort_);
}

void Cm11aLink::ConnectTimer_Timer() {
    ++connectTries_;
    if (!socket_->IsConnected() && connectTries_ < kMaxConnectTicks) {
        StartConnect();
    } else {
        connectTimer_->SetEnabled(false);
    }
}

void Cm11aLink::Winsock1_Connect() {
    connectTimer_->SetEnabled(false);
    reconnectTimer_->SetEnabled(false);
    connectedAtMs_ = platform_.NowMs();
    connected_ = true;
    LinkUp(host_ + ":" + std::to_string(tcpPort_));
    // A reconnect made in the background: whoever waits for the link may go on.
    if (!opening_ && openedSink_) openedSink_();
}

void Cm11aLink::Winsock1_Close() {
    if (shuttingDown_ && shuttingDown_()) return;
    Report("CM11A TCP Port Connect Closed");
    ReconnectAfterDrop();
}

void Cm11aLink::Winsock1_Error(int number, const std::string& description) {
    if (shuttingDown_ && shuttingDown_()) return;
    Report("CM11A Winsock1_Error at State " + std::to_string(static_cast<int>(socket_->State())) + ", " +
           std::to_string(number) + " " + description);
    ReconnectAfterDrop();
}

void Cm11aLink::ReconnectAfterDrop() {
    // A healthy connection that dropped (however the drop is told) is tried again at once;
    // the growing pace is for a server that keeps failing.
    if (connected_ && platform_.NowMs() - connectedAtMs_ >= static_cast<std::uint64_t>(kStableConnectionMs)) {
        reconnectDelayMs_ = 0;
        reconnectTimer_->SetEnabled(false);
    }
    if (connected_) linkDown_ = true;
    connected_ = false;
    socket_->Close();
    if (host_.empty()) return;
    // While an open is counting its connect retries, the next tick reconnects.
    if (connectTimer_->Enabled()) return;
    // Reconnects go through the event loop and are spaced out, so that a server that
    // refuses or drops every connection at once does not make us spin and flood the log.
    if (!reconnectTimer_->Enabled()) reconnectTimer_->Arm(std::max(1, reconnectDelayMs_));
    reconnectDelayMs_ = reconnectDelayMs_ == 0 ? kReconnectMinMs
                                               : std::min(reconnectDelayMs_ * 2, kReconnectMaxMs);
}

void Cm11aLink::ReconnectTimer_Timer() {
    reconnectTimer_->SetEnabled(false);
    if ((shuttingDown_ && shuttingDown_()) || !tcpMode_ || host_.empty()) return;
    if (socket_->IsConnected() || connectTimer_->Enabled()) return;
    StartConnect();
}

void Cm11aLink::Winsock1_DataArrival(const std::string& bytes) {
    try {
        if (chunkSink_) chunkSink_(bytes, 2);
    } catch (const std::exception& e) {
        reporter_.Fail(e);
        Report("CM11A Winsock1_DataArrival ");
    }
}

void Cm11aLink::MSComm1_OnComm(const std::string& bytes, int code) {
    try {
        if (chunkSink_) chunkSink_(bytes, code);
    } catch (const std::exception& e) {
        reporter_.Fail(e);
        Report("MSComm1_OnCommERROR ");
    }
}

void Cm11aLink::MSComm1_OnError(int code, const std::string& text) {
    // The fault code shows in the traffic view like any other event code.
    MSComm1_OnComm(std::string(), code);
    if (code == platform::serial_error::kTimeout || !serial_->IsOpen()) return;
    // A port that failed (typically a USB adapter that went away) is closed, so that the
    // next test of the link opens the device afresh.
    serial_->Close();
    linkDown_ = true;
    downPort_ = settings_.ComPort;  // the loss is this outage's one report
    reporter_.Fail(text, code);
    Report("CM11A serial port " + serialDevice_ + " closed after error " + std::to_string(code));
    reopenDelayMs_ = 0;
    ScheduleReopen();
}

}  // namespace quorvel::cm11a
