#include "xap/xap_node.h"

#include "core/reporting.h"
#include "core/settings.h"
#include "xap/xap_message.h"

#include <algorithm>
#include <cstdint>
#include <exception>

namespace quorvel::xap {

namespace {

using core::Lower;  // ASCII only, whatever the system locale

std::string BarsToLineFeeds(std::string s) {
    std::replace(s.begin(), s.end(), '|', '\n');
    return s;
}

std::vector<std::string_view> SplitDots(std::string_view s) {
    std::vector<std::string_view> parts;
    for (;;) {
        const std::size_t dot = s.find('.');
        parts.push_back(s.substr(0, dot));
        if (dot == std::string_view::npos) return parts;
        s.remove_prefix(dot + 1);
    }
}

// The leading number of a text (blanks skipped, optional sign), 0 when there is none.
long long LeadingNumber(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && s[i] == ' ') ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
    long long v = 0;
    for (int digits = 0; i < s.size() && s[i] >= '0' && s[i] <= '9' && digits < 15; ++i, ++digits) {
        v = v * 10 + (s[i] - '0');
    }
    return negative ? -v : v;
}

}  // namespace

XapNode::XapNode(platform::Platform& platform, core::Reporter& reporter, AddressLister hostAddresses)
    : platform_(platform), reporter_(reporter), hostAddresses_(std::move(hostAddresses)) {
    SocketsInitialize();
    hbeatTimer_ = platform_.CreateTimer();
    hbeatTimer_->SetHandler([this] { HBeatTimer_Timer(); });
    hbeatTimer_->SetInterval(kHeartbeatPresetMs);
    hbeatTimer_->SetEnabled(true);
    receiveTimer_ = platform_.CreateTimer();
    receiveTimer_->SetHandler([this] { ReceiveTimer_Timer(); });
    receiveTimer_->SetEnabled(false);
}

XapNode::~XapNode() {
    if (!closed_) Form_Unload();
}

// ---------------------------------------------------------------- identity

void XapNode::SetXapSource(std::string v) {
    source_ = std::move(v);
    RebuildHeartbeatPrefix();
}

void XapNode::SetXapTarget(std::string v) {
    target_ = std::move(v);
    RebuildHeartbeatPrefix();
}

void XapNode::SetXapUID(std::string v) {
    uid_ = std::move(v);
    headerOpening_ = BarsToLineFeeds("xap-header|{|v=12|hop=1|uid=");
    RebuildHeartbeatPrefix();
}

void XapNode::RebuildHeartbeatPrefix() {
    hbPrefix_ = BarsToLineFeeds("xap-hbeat|{|v=12|hop=1|uid=" + uid_ + "|class=xap-hbeat.alive|source=" +
                                source_ + "|interval=");
}

// ---------------------------------------------------------------- start

bool XapNode::MatchInterfaceAddress(std::string_view pattern, std::string_view address) {
    const auto p = SplitDots(pattern);
    const auto a = SplitDots(address);
    if (p.size() != 4 || a.size() != 4) return false;
    for (std::size_t i = 0; i < 4; ++i) {
        const long long pv = LeadingNumber(p[i]);
        const long long av = LeadingNumber(a[i]);
        if (av != (av & pv)) return false;
    }
    return true;
}

std::string XapNode::GetIP() {
    try {
        const std::vector<std::string> addresses = hostAddresses_ ? hostAddresses_() : std::vector<std::string>{};
        if (addresses.empty()) return {};
        for (const std::string& address : addresses) {
            if (MatchInterfaceAddress(interfaceAddress_, address)) return address;
        }
        return addresses.front();
    } catch (const std::exception& e) {
        reporter_.Fail(e);
        reporter_.LogToFile(core::kAppName, "GetIP");
        return {};
    }
}

int XapNode::Init() {
    localAddress_ = GetIP();
    broadcastInUse_ = Lower(broadcastAddress_) == "default" ? kLimitedBroadcast : broadcastAddress_;

    if (!winsock1_) {
        winsock1_ = platform_.CreateUdpSocket();
        winsock1_->SetReceiveHandler([this](std::string_view d) { ProcessReceivedMessage(d); });
    }
    winsock1_->Close();
    if (winsock2_) winsock2_->Close();

    int port = kFirstNodePort;
    bool found = false;
    std::string lastFailure;
    for (int tries = 0; tries < kPortSearchTries; ++tries) {
        if (winsock1_->Bind("127.0.0.1", static_cast<std::uint16_t>(port))) {
            found = true;
            break;
        }
        ++port;
        lastFailure = "State=" + std::to_string(winsock1_->State()) + ", Error=" +
                      std::to_string(winsock1_->ErrorNumber()) + ":" + winsock1_->ErrorText();
    }

    int result = 0;
    if (found) {
        // These machines' host name may resolve to 127.0.0.1 itself: the same address and
        // port cannot be bound twice, so the first socket then sends as well.
        singleSocket_ = localAddress_.empty() || localAddress_ == "127.0.0.1";
        result = port;
        if (!singleSocket_) {
            if (!winsock2_) {
                winsock2_ = platform_.CreateUdpSocket();
                winsock2_->SetReceiveHandler([this](std::string_view d) { ProcessReceivedMessage(d); });
            }
            if (!winsock2_->Bind(localAddress_, static_cast<std::uint16_t>(port))) {
                // The host name resolves to an address this machine does not have (a stale
                // hosts entry): the first socket sends instead of the node not starting.
                singleSocket_ = true;
                ReportSenderFallback(localAddress_, winsock2_->ErrorText());
            }
        }
        port_ = port;
    } else {
        result = -1;
        port_ = port;
        reporter_.LogToFile(core::kAppName, "xAP.Init port search for host " + broadcastInUse_ +
                                               " failed with Error " + lastFailure);
    }
    if (found && result <= 0) return result;
    hbSuffix_ = "0\nport=" + std::to_string(port) + "\n}\n";
    return result;
}

// ---------------------------------------------------------------- receiving

void XapNode::ProcessReceivedMessage(std::string_view data) {
    try {
        if (filterHeartbeats_ && Lower(data.substr(0, 8)) != "xap-head") return;
        // An empty text means "queue empty" to the receiver; it would stop its drain with
        // messages still waiting behind it.
        if (data.empty()) return;
        Enqueue(data);
    } catch (const std::exception& e) {
        reporter_.Fail(e);
        reporter_.LogToFile(core::kAppName, "ProcessReceivedMessage");
    }
}

namespace {
// An echo query: its class in the header.
bool IsEcho(std::string_view data) {
    return core::ContainsNoCase(data.substr(0, data.find('}')), "wdt.echo");
}
}  // namespace

void XapNode::Enqueue(std::string_view data) {
    if (urgent_.size() < kUrgentLimit && IsEcho(data)) {
        urgent_.emplace_back(data);
    } else {
        EnqueueInOrder(data);
    }
    ArmHandOver();
}

void XapNode::EnqueueInOrder(std::string_view data) {
    bool dropped = false;
    while (!queue_.empty() &&
           (queue_.size() >= kQueueLimit || queueBytes_ + data.size() > kQueueByteLimit)) {
        queueBytes_ -= queue_.front().size();
        queue_.pop_front();
        dropped = true;
    }
    if (dropped && !overflowReported_) {
        overflowReported_ = true;
        reporter_.LogToFile(core::kAppName, "ProcessReceivedMessage receive queue full (" +
                                               std::to_string(kQueueLimit) +
                                               " messages): dropping the oldest");
    }
    queue_.emplace_back(data);
    queueBytes_ += data.size();
}

void XapNode::ArmHandOver() {
    // Quiet time after the last datagram of a burst, but no message waits longer than the
    // hand-over bound after its arrival, however closely the next ones follow.
    const std::uint64_t now = platform_.NowMs();
    if (!burstOpen_) {
        burstOpen_ = true;
        burstStartMs_ = now;
    }
    const std::uint64_t deadline = std::max(burstStartMs_ + kLatestHandOverMs, now + 1);
    const std::uint64_t expiry = std::min(now + kQuietMs, deadline);
    // Only ever move the hand-over later, and never past the bound: restarting the timer
    // for every datagram once it is pinned to the bound would push it out again and again.
    if (receiveTimer_->Enabled() && (expiry <= expiryMs_ || expiryMs_ <= now)) return;
    expiryMs_ = expiry;
    receiveTimer_->SetInterval(static_cast<int>(expiry - now));
    receiveTimer_->SetEnabled(true);
}

void XapNode::ReceiveTimer_Timer() {
    receiveTimer_->SetEnabled(false);
    burstOpen_ = false;
    if (receiver_) receiver_();
}

std::string XapNode::GetMessage() {
    if (!urgent_.empty()) {
        std::string m = std::move(urgent_.front());
        urgent_.pop_front();
        return m;
    }
    if (queue_.empty()) {
        overflowReported_ = false;
        return {};
    }
    std::string m = std::move(queue_.front());
    queue_.pop_front();
    queueBytes_ -= m.size();
    if (queue_.empty()) overflowReported_ = false;
    return m;
}

// ---------------------------------------------------------------- sending

platform::UdpSocket* XapNode::Sender() {
    if (winsock2_ && winsock2_->Bound()) return winsock2_.get();
    if (singleSocket_ && winsock1_ && winsock1_->Bound()) return winsock1_.get();
    return nullptr;
}

bool XapNode::SendDatagram(std::string_view text) {
    platform::UdpSocket* socket = Sender();
    if (socket != nullptr && socket->Send(broadcastInUse_, kXapPort, text)) return true;
    // The sending address may have left the machine: look it up again and send once more.
    if (port_ > 0 && !closed_ && RecoverSender()) {
        socket = Sender();
        if (socket != nullptr && socket->Send(broadcastInUse_, kXapPort, text)) return true;
    }
    NoteSendFailure(socket != nullptr ? socket->ErrorText() : std::string("the node is not bound"));
    return false;
}

bool XapNode::RecoverSender() {
    const std::uint64_t now = platform_.NowMs();
    if (resolvedAfterFailure_ && now - lastResolveMs_ < kResolveSpacingMs) return false;
    resolvedAfterFailure_ = true;
    lastResolveMs_ = now;
    if (!winsock1_ || !winsock1_->Bound()) return false;
    const std::string address = GetIP();
    const auto port = static_cast<std::uint16_t>(port_);
    if (winsock2_) winsock2_->Close();
    if (!address.empty() && address != "127.0.0.1") {
        if (!winsock2_) {
            winsock2_ = platform_.CreateUdpSocket();
            winsock2_->SetReceiveHandler([this](std::string_view d) { ProcessReceivedMessage(d); });
        }
        if (winsock2_->Bind(address, port)) {
            localAddress_ = address;
            singleSocket_ = false;
            return true;
        }
    }
    localAddress_ = address;
    singleSocket_ = true;  // before the report, which is itself sent
    if (!address.empty() && address != "127.0.0.1") ReportSenderFallback(address, winsock2_->ErrorText());
    return true;
}

void XapNode::ReportSenderFallback(const std::string& address, const std::string& why) {
    if (address == fallbackReportedFor_) return;
    fallbackReportedFor_ = address;
    reporter_.ReportEvent(core::kAppName, "xAP: cannot send from " + address +
                                              ", the address the host name resolves to (" + why +
                                              "); sending from 127.0.0.1 instead");
}

void XapNode::NoteSendFailure(const std::string& why) {
    ++failedSends_;
    const std::uint64_t now = platform_.NowMs();
    if (failureReported_ && now - lastFailureReportMs_ < kSendFailureReportSpacingMs) return;
    failureReported_ = true;
    lastFailureReportMs_ = now;
    // Into the log, never onto the network that just failed.
    reporter_.LogToFile(core::kAppName, "SendXap to " + broadcastInUse_ + ":" + std::to_string(kXapPort) +
                                            " failed: " + why + " (" + std::to_string(failedSends_) +
                                            " failed since the last report)");
    failedSends_ = 0;
}

void XapNode::SendHeartbeat(long LongInterval) {
    long s = LongInterval;
    if (LongInterval > 60) {
        s = 60;
    } else if (LongInterval < 1) {
        s = 0;
    } else if (LongInterval < 5) {
        s = 5;
    }
    hbeatTimer_->SetInterval(static_cast<int>(s * 1000));
    hbeatTimer_->SetEnabled(s > 0);
    if (!SendDatagram(hbPrefix_ + std::to_string(s) + hbSuffix_)) {
        platform::UdpSocket* socket = Sender();
        reporter_.DebugLog("SendHeartbeat not sent" +
                           (socket ? ": " + socket->ErrorText() : std::string(" (not bound)")));
    }
}

void XapNode::HBeatTimer_Timer() {
    hbeatTicks_ = (hbeatTicks_ + 1) % 10;
    if (hbeatTicks_ == 0) SendHeartbeat((hbeatTimer_->Interval() + 500) / 1000);
}

std::string XapNode::BuildMessage(const std::string& headerOpening, const std::string& sTarget,
                                  const std::string& sClass, const std::string& source,
                                  const std::string& uid, const std::string& sSection,
                                  std::string_view sData) {
    XapMessage message(headerOpening);
    message.SetMsgClass(sClass);
    message.SetMsgSource(source);
    message.SetMsgTarget(sTarget);
    message.SetMsgUID(uid);
    message.AddHeader();
    message.AddSection(sSection);
    for (;;) {
        const std::size_t end = sData.find('\0');
        const std::string_view item = sData.substr(0, end);
        const std::size_t sep = item.find('\1');
        if (sep != std::string_view::npos) message.AddItem(sSection, item.substr(0, sep), item.substr(sep + 1));
        if (end == std::string_view::npos) break;
        sData.remove_prefix(end + 1);
    }
    return message.ToXap();
}

std::string XapNode::SendXap(const std::string& sTarget, const std::string& sClass,
                             const std::string& sSection, const std::string& sData,
                             const std::string& sSubaddress, const std::string& sUID) {
    try {
        SendDatagram(BuildMessage(headerOpening_, sTarget, sClass,
                                  sSubaddress.empty() ? source_ : source_ + ":" + sSubaddress,
                                  sUID.empty() ? uid_ : sUID, sSection, sData));
    } catch (const std::exception&) {
        // The send is lost; the caller carries on.
    }
    return {};
}

// ---------------------------------------------------------------- stop

void XapNode::Form_Unload() {
    closed_ = true;
    queue_.clear();
    urgent_.clear();
    queueBytes_ = 0;
    SocketsCleanup();
    if (winsock1_) winsock1_->Close();
    if (winsock2_) winsock2_->Close();
    receiveTimer_->SetEnabled(false);
    hbeatTimer_->SetEnabled(false);
}

}  // namespace quorvel::xap
