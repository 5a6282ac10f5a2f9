// The xAP node: the connector's one contact with the xAP network. It binds a private UDP
// port (searched upwards from 32768) that the local hub forwards traffic to, keeps the xAP
// identity, sends heartbeats and messages as broadcasts to port 3639, and queues received
// messages for one receiver, which it calls back from a timer, never from inside a receive
// event.
#pragma once

#include "platform/host_addresses.h"
#include "platform/platform.h"
#include "platform/udp.h"
#include "xap/xap_sender.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel::core {
class Reporter;
}

namespace quorvel::xap {

// The broadcast address that the setting "Default" stands for.
inline constexpr const char* kLimitedBroadcast = "255.255.255.255";
inline constexpr std::uint16_t kXapPort = 3639;         // the hub's port; every send goes there
inline constexpr std::uint16_t kFirstNodePort = 32768;  // start of the private port search
inline constexpr int kPortSearchTries = 200;

class XapNode : public XapSender, public MessageSource {
public:
    // The host's IPv4 addresses in resolver order (GetIP chooses among them).
    using AddressLister = std::function<std::vector<std::string>()>;

    // Received messages wait at most this long after the last of a burst...
    static constexpr int kQuietMs = 50;
    // ...and never longer than this after their own arrival.
    static constexpr int kLatestHandOverMs = 250;
    // Queue bounds; past them the oldest messages are dropped.
    static constexpr std::size_t kQueueLimit = 10000;
    static constexpr std::size_t kQueueByteLimit = 64u * 1024u * 1024u;
    // Echo queries skip the queue (a watchdog's echo must not wait behind a flood); this many
    // may wait at once, more go to the back of the queue like any message.
    static constexpr std::size_t kUrgentLimit = 64;
    static constexpr int kHeartbeatPresetMs = 20000;
    // After a failed send the host's address is looked up again at most this often...
    static constexpr std::uint64_t kResolveSpacingMs = 5000;
    // ...and failed sends are written to the log at most this often.
    static constexpr std::uint64_t kSendFailureReportSpacingMs = 60000;

    XapNode(platform::Platform& platform, core::Reporter& reporter,
            AddressLister hostAddresses = platform::HostIPv4Addresses);
    ~XapNode() override;
    XapNode(const XapNode&) = delete;
    XapNode& operator=(const XapNode&) = delete;

    // The receiver: called once per expiry of ReceiveTimer; it drains with GetMessage.
    void RegisterNewMessageCallback(std::function<void()> onMessage) { receiver_ = std::move(onMessage); }
    std::string GetMessage() override;

    bool FilterHeartbeats() const { return filterHeartbeats_; }
    void SetFilterHeartbeats(bool on) { filterHeartbeats_ = on; }
    const std::string& BroadcastAddress() const { return broadcastAddress_; }
    void SetBroadcastAddress(std::string v) { broadcastAddress_ = std::move(v); }
    const std::string& InterfaceAddress() const { return interfaceAddress_; }
    void SetInterfaceAddress(std::string v) { interfaceAddress_ = std::move(v); }

    const std::string& XapSource() const { return source_; }
    void SetXapSource(std::string v);
    const std::string& XapTarget() const { return target_; }
    void SetXapTarget(std::string v);
    const std::string& XapUID() const { return uid_; }
    void SetXapUID(std::string v);
    const std::string& XapClass() const { return class_; }
    void SetXapClass(std::string v) { class_ = std::move(v); }

    // Binds the sockets. Returns the port (> 0), or -1 when no port of the range was free.
    // When the host's address cannot be bound (it is not on this machine) the first socket
    // also sends, and that is reported once.
    int Init();
    // Sends one heartbeat and sets the heartbeat timer to the clamped interval (seconds).
    void SendHeartbeat(long LongInterval);
    std::string SendXap(const std::string& sTarget, const std::string& sClass,
                        const std::string& sSection, const std::string& sData,
                        const std::string& sSubaddress, const std::string& sUID) override;

    // The text SendXap broadcasts: one message with one block whose items come from an item
    // list (items without the name/value separator are skipped).
    static std::string BuildMessage(const std::string& headerOpening, const std::string& sTarget,
                                    const std::string& sClass, const std::string& source,
                                    const std::string& uid, const std::string& sSection,
                                    std::string_view sData);

    // The socket library needs no start or release here; both stay for the orderly path.
    void SocketsInitialize() {}
    void SocketsCleanup() {}
    static int hibyte(std::int16_t wParam) { return (wParam / 256) & 255; }
    static int lobyte(std::int16_t wParam) { return wParam & 255; }

    // Orderly close: queued messages discarded, sockets closed, timers stopped.
    void Form_Unload();

    // Pattern test of GetIP: every bit set in an address byte must be set in the pattern's.
    static bool MatchInterfaceAddress(std::string_view pattern, std::string_view address);

    // State, for the owner and for tests.
    int Port() const { return port_; }
    const std::string& BroadcastInUse() const { return broadcastInUse_; }
    const std::string& LocalAddress() const { return localAddress_; }
    // True when one socket serves both roles (the local address is 127.0.0.1 or none).
    bool SingleSocket() const { return singleSocket_; }
    const std::string& HeaderOpening() const { return headerOpening_; }
    const std::string& HeartbeatPrefix() const { return hbPrefix_; }
    const std::string& HeartbeatSuffix() const { return hbSuffix_; }
    std::size_t QueuedCount() const { return queue_.size() + urgent_.size(); }
    platform::Timer& HBeatTimer() { return *hbeatTimer_; }
    platform::Timer& ReceiveTimer() { return *receiveTimer_; }

private:
    std::string GetIP();
    void RebuildHeartbeatPrefix();
    void ProcessReceivedMessage(std::string_view data);
    void Enqueue(std::string_view data);
    void EnqueueInOrder(std::string_view data);
    // Arms the receive timer for the hand-over of what was queued.
    void ArmHandOver();
    void ReceiveTimer_Timer();
    void HBeatTimer_Timer();
    platform::UdpSocket* Sender();
    bool SendDatagram(std::string_view text);
    // Binds the sending socket again to the host's address as it resolves now, or falls
    // back to the first socket. False when it is too soon to look again.
    bool RecoverSender();
    void ReportSenderFallback(const std::string& address, const std::string& why);
    void NoteSendFailure(const std::string& why);

    platform::Platform& platform_;
    core::Reporter& reporter_;
    AddressLister hostAddresses_;

    std::string broadcastAddress_ = "Default";
    std::string interfaceAddress_ = "Default";
    std::string broadcastInUse_;
    std::string localAddress_;
    int port_ = 0;
    bool singleSocket_ = false;
    bool closed_ = false;

    std::string source_, target_, uid_, class_;
    std::string headerOpening_;  // "xap-header" ... "uid=", handed to every message built
    std::string hbPrefix_, hbSuffix_;

    std::unique_ptr<platform::UdpSocket> winsock1_;  // 127.0.0.1:port, what the hub forwards
    std::unique_ptr<platform::UdpSocket> winsock2_;  // local address:port, every send
    std::unique_ptr<platform::Timer> hbeatTimer_;
    std::unique_ptr<platform::Timer> receiveTimer_;
    int hbeatTicks_ = 0;

    std::deque<std::string> queue_;
    std::deque<std::string> urgent_;  // echo queries, handed over before the queue
    std::size_t queueBytes_ = 0;
    bool burstOpen_ = false;            // messages queued since the last hand-over
    std::uint64_t burstStartMs_ = 0;    // arrival of the first of them
    std::uint64_t expiryMs_ = 0;     // when the armed ReceiveTimer fires
    bool overflowReported_ = false;     // one report per overflow, until the queue empties
    bool filterHeartbeats_ = true;
    std::string fallbackReportedFor_;   // the address whose fallback was reported
    bool resolvedAfterFailure_ = false;
    std::uint64_t lastResolveMs_ = 0;
    bool failureReported_ = false;
    std::uint64_t lastFailureReportMs_ = 0;
    std::uint64_t failedSends_ = 0;
    std::function<void()> receiver_;
};

}  // namespace quorvel::xap
