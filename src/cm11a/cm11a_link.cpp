#include "cm11a/cm11a_link.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string_view>

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
      socket_(platform.CreateTcpSocket()) {
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
    activePort_ = port;
    connectTries_ = 0;
    bool result = false;
    bool opened = false;  // the link was closed and is open now
    bool pending = false;  // a TCP connection is being made: its outcome comes later
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
                // The connection is made in the background: Winsock1_Connect tells when it
                // is up, the connect timer's last tick that it could not be made.
                reconnectTimer_->SetEnabled(false);
                host_ = target.Host;
                tcpPort_ = target.Port;
                connectPort_ = port;
                StartConnect();
                connectTimer_->Arm(kConnectIntervalMs);
                pending = true;
            }
        }
    } catch (const std::exception& e) {
        reporter_.Fail(e);
        Report("CM11A OpenPort ");
    }
    if (!pending) ShowStatus(port, result);
    // Commands kept while the link was closed can go now.
    if (opened && openedSink_) openedSink_();
    return result;
}

void Cm11aLink::ShowStatus(const std::string& port, bool open) {
    try {
        if (statusSink_) {
            statusSink_(open ? "Port " + port + " Open / " + std::to_string(connectTries_) + " tries"
                             : "Port " + port + " Not Connected");
        }
    } catch (const std::exception& e) {
        reporter_.Fail(e);
        Report("CM11A OpenPort ");
    }
}

void Cm11aLink::ConnectFailed() {
    linkDown_ = true;
    lastProblem_ = "cannot connect to " + connectPort_;
    ShowStatus(connectPort_, false);
    if (downPort_ != connectPort_) {
        downPort_ = connectPort_;
        Report("Unable to connect to CM11A via TCP " + connectPort_);
    } else {
        reporter_.DebugLog("Unable to connect to CM11A via TCP " + connectPort_);
    }
    // Keep trying in the background, spaced out, so that the link comes back by itself
    // when the server does.
    if (!(shuttingDown_ && shuttingDown_())) ReconnectAfterDrop();
}

void Cm11aLink::UsePort(const std::string& port) {
    // Whatever is open or being opened goes, then the new port opens (a serial device at
    // once, a serial server in the background).
    connectTimer_->SetEnabled(false);
    reconnectTimer_->SetEnabled(false);
    reopenTimer_->SetEnabled(false);
    socket_->Close();
    connected_ = false;
    if (serial_->IsOpen()) serial_->Close();
    reconnectDelayMs_ = 0;
    reopenDelayMs_ = 0;
    downPort_.clear();
    if (shuttingDown_ && shuttingDown_()) return;
    (void)OpenPort(port);
}

void Cm11aLink::OpenFailed(const std::string& port, const std::string& failure, int number) {
    lastProblem_ = failure;
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
    lastProblem_.clear();
    downPort_.clear();
    sendFailReported_ = false;
    reopenDelayMs_ = 0;
    reopenTimer_->SetEnabled(false);
}

std::string Cm11aLink::LinkState() const {
    if (tcpMode_ && socket_->IsConnected()) return "link up on " + host_ + ":" + std::to_string(tcpPort_);
    if (!tcpMode_ && serial_->IsOpen()) return "link up on " + serialDevice_;
    if (activePort_.empty()) return "no link: not opened yet";
    if (Connecting() && tcpMode_) {
        return "no link: connecting to " + host_ + ":" + std::to_string(tcpPort_) +
               (lastProblem_.empty() ? std::string() : " (" + lastProblem_ + ")");
    }
    return "no link: " + (lastProblem_.empty() ? activePort_ + " is closed" : lastProblem_);
}

bool Cm11aLink::Connecting() const {
    if (shuttingDown_ && shuttingDown_()) return false;
    if (!tcpMode_) return reopenTimer_->Enabled();
    const platform::TcpState state = socket_->State();
    return connectTimer_->Enabled() || reconnectTimer_->Enabled() || state == platform::TcpState::HostLookup ||
           state == platform::TcpState::Connecting;
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
    const ComPortTarget target = ParseComPort(activePort_);
    if (target.kind == ComPortTarget::Kind::Serial && !OpenSerial(target, false)) linkDown_ = true;
}

void Cm11aLink::ScheduleReopen() {
    if ((shuttingDown_ && shuttingDown_()) || reopenTimer_->Enabled()) return;
    reopenDelayMs_ = reopenDelayMs_ == 0 ? kReopenMinMs : std::min(reopenDelayMs_ * 2, kReopenMaxMs);
    reopenTimer_->Arm(reopenDelayMs_);
}

void Cm11aLink::ReopenTimer_Timer() {
    reopenTimer_->SetEnabled(false);
    if (shuttingDown_ && shuttingDown_()) return;
    const ComPortTarget target = ParseComPort(activePort_);
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
        lastProblem_ = failure;
        if (quiet) {
            reporter_.DebugLog("CM11A serial port " + target.Device + " not open yet: " + failure);
        } else {
            OpenFailed(activePort_.empty() ? target.Device : activePort_, failure, serial_->LastErrorCode());
        }
        ScheduleReopen();
        return false;
    }
    if (!serial_->IsOpen()) return false;
    LinkUp(target.Device);
    return true;
}

bool Cm11aLink::PortOpen(const std::string& requested) {
    try {
        // The port in use stays until UsePort moves the link between two commands: a test
        // made with a newer ComPort text answers for the link in use while that is open or
        // on its way back.
        const bool keep = !activePort_.empty() && requested != activePort_ &&
                          (serial_->IsOpen() || socket_->IsConnected() || (tcpMode_ && Connecting()));
        const std::string& port = keep ? activePort_ : requested;
        if (!IsTcpPortText(port)) {
            if (serial_->IsOpen() && !tcpMode_) {
                const ComPortTarget target = ParseComPort(port);
                if (target.kind == ComPortTarget::Kind::Serial && target.Device == serialDevice_) return true;
            }
        } else if (socket_->IsConnected() && tcpMode_) {
            const ComPortTarget target = ParseComPort(port);
            if (target.Host == host_ && target.Port == tcpPort_) return true;
        }
        // While a connection to the same server is being made or a spaced-out reconnect is
        // pending, a test of the link starts nothing new: that attempt brings the link back.
        if (IsTcpPortText(port) && tcpMode_ && Connecting()) {
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
    if (!PortOpen(activePort_.empty() ? settings_.ComPort : activePort_)) {
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

void Cm11aLink::StartConnect() {
    socket_->Close();
    socket_->Connect(host_, tcpPort_);
}

void Cm11aLink::ConnectTimer_Timer() {
    ++connectTries_;
    if (socket_->IsConnected()) {
        connectTimer_->SetEnabled(false);
    } else if (connectTries_ < kMaxConnectTicks) {
        StartConnect();
    } else {
        connectTimer_->SetEnabled(false);
        ConnectFailed();
    }
}

void Cm11aLink::Winsock1_Connect() {
    connectTimer_->SetEnabled(false);
    reconnectTimer_->SetEnabled(false);
    connectedAtMs_ = platform_.NowMs();
    connected_ = true;
    // A connection that worked: should it drop, the reconnect wait starts again from its
    // shortest.
    reconnectDelayMs_ = std::min(reconnectDelayMs_, kReconnectMinMs);
    LinkUp(host_ + ":" + std::to_string(tcpPort_));
    ShowStatus(connectPort_.empty() ? host_ + ":" + std::to_string(tcpPort_) : connectPort_, true);
    // Whoever waits for the link may go on.
    if (openedSink_) openedSink_();
}

void Cm11aLink::Winsock1_Close() {
    if (shuttingDown_ && shuttingDown_()) return;
    lastProblem_ = "the serial server closed the connection";
    Report("CM11A TCP Port Connect Closed");
    ReconnectAfterDrop();
}

void Cm11aLink::Winsock1_Error(int number, const std::string& description) {
    if (shuttingDown_ && shuttingDown_()) return;
    lastProblem_ = description;
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

std::string Cm11aLink::WithinBudget(const std::string& bytes) {
    const std::uint64_t now = platform_.NowMs();
    if (now - windowStartMs_ >= static_cast<std::uint64_t>(kInputWindowMs)) {
        windowStartMs_ = now;
        windowBytes_ = 0;
    }
    const std::size_t take = std::min(bytes.size(), kInputBudgetBytes - std::min(windowBytes_, kInputBudgetBytes));
    windowBytes_ += take;
    if (take == bytes.size()) return bytes;
    if (dropping_ && now - lastDropMs_ >= static_cast<std::uint64_t>(kInputEpisodeMs)) {
        reporter_.DebugLog("CM11A link: " + std::to_string(droppedBytes_) + " bytes of input dropped");
        dropping_ = false;
    }
    if (!dropping_) {
        dropping_ = true;
        droppedBytes_ = 0;
        Report("CM11A link delivers more than the interface can send: input dropped");
    }
    droppedBytes_ += bytes.size() - take;
    lastDropMs_ = now;
    return bytes.substr(0, take);
}

void Cm11aLink::Winsock1_DataArrival(const std::string& bytes) {
    try {
        const std::string taken = WithinBudget(bytes);
        if (chunkSink_ && !taken.empty()) chunkSink_(taken, 2);
    } catch (const std::exception& e) {
        reporter_.Fail(e);
        Report("CM11A Winsock1_DataArrival ");
    }
}

void Cm11aLink::MSComm1_OnComm(const std::string& bytes, int code) {
    try {
        if (bytes.empty()) {
            if (chunkSink_) chunkSink_(bytes, code);
            return;
        }
        const std::string taken = WithinBudget(bytes);
        if (chunkSink_ && !taken.empty()) chunkSink_(taken, code);
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
    downPort_ = activePort_;  // the loss is this outage's one report
    lastProblem_ = text;
    reporter_.Fail(text, code);
    Report("CM11A serial port " + serialDevice_ + " closed after error " + std::to_string(code));
    reopenDelayMs_ = 0;
    ScheduleReopen();
}

}  // namespace quorvel::cm11a
