// The simulated network of SimPlatform.
#include "platform/sim/sim_platform.h"

#include <map>
#include <set>

namespace quorvel::platform {

namespace {

bool AnyAddress(const std::string& a) { return a.empty() || a == "0.0.0.0"; }

constexpr int kUnconnectedState = 0;
constexpr int kBoundState = 4;
constexpr int kAddressInUseError = 8;
constexpr int kNetworkError = 7;

}  // namespace

class SimUdpSocket;

class SimPlatform::Network {
public:
    struct Binding {
        std::string address;
        std::uint16_t port;
        int socketId;  // 0: held outside the code under test
    };

    bool Conflicts(const std::string& address, std::uint16_t port) const {
        for (const Binding& b : bindings) {
            if (b.port == port && (b.address == address || AnyAddress(b.address) || AnyAddress(address))) {
                return true;
            }
        }
        return false;
    }
    void Unbind(int socketId) {
        std::erase_if(bindings, [&](const Binding& b) { return b.socketId == socketId; });
    }

    std::vector<Binding> bindings;
    std::map<int, SimUdpSocket*> sockets;
    int nextId = 1;
    std::vector<SimPlatform::Datagram> sent;
    bool sendFails = false;
    std::string sendFailsFrom;  // sockets bound to this address cannot send
};

class SimUdpSocket : public UdpSocket {
public:
    SimUdpSocket(SimPlatform& sim, SimPlatform::Network& net) : sim_(sim), net_(net), id_(net.nextId++) {
        net_.sockets[id_] = this;
    }
    ~SimUdpSocket() override {
        Close();
        net_.sockets.erase(id_);
    }

    bool Bind(const std::string& address, std::uint16_t port) override {
        if (bound_ || net_.Conflicts(address, port)) {
            errorNumber_ = kAddressInUseError;
            errorText_ = "The bound address is already in use";
            return false;
        }
        net_.bindings.push_back({address, port, id_});
        bound_ = true;
        address_ = address;
        port_ = port;
        return true;
    }

    bool Send(const std::string& host, std::uint16_t port, std::string_view data) override {
        if (net_.sendFails || (bound_ && !net_.sendFailsFrom.empty() && address_ == net_.sendFailsFrom)) {
            errorNumber_ = kNetworkError;
            errorText_ = "Network unreachable";
            return false;
        }
        SimPlatform::Datagram d{bound_ ? (AnyAddress(address_) ? "0.0.0.0" : address_) : "0.0.0.0",
                                bound_ ? port_ : std::uint16_t{0}, host, port, std::string(data)};
        net_.sent.push_back(d);
        Deliver(sim_, net_, host, port, std::move(d.Data), 0);
        return true;
    }

    void SetReceiveHandler(std::function<void(std::string_view)> handler) override {
        handler_ = std::move(handler);
    }

    void Close() override {
        if (bound_) net_.Unbind(id_);
        bound_ = false;
    }

    bool Bound() const override { return bound_; }
    int State() const override { return bound_ ? kBoundState : kUnconnectedState; }
    int ErrorNumber() const override { return errorNumber_; }
    std::string ErrorText() const override { return errorText_; }

    // Posts the datagram to every socket bound to host (or to any address) on port.
    static void Deliver(SimPlatform& sim, SimPlatform::Network& net, const std::string& host,
                        std::uint16_t port, std::string data, std::uint64_t delayMs) {
        for (const auto& b : net.bindings) {
            if (b.socketId == 0 || b.port != port) continue;
            if (b.address != host && !AnyAddress(b.address)) continue;
            const int id = b.socketId;
            SimPlatform::Network* netp = &net;
            sim.Post(
                [netp, id, port, data] {
                    auto it = netp->sockets.find(id);
                    if (it == netp->sockets.end()) return;
                    SimUdpSocket* s = it->second;
                    if (!s->bound_ || s->port_ != port) return;  // closed meanwhile
                    if (s->handler_) s->handler_(data);
                },
                delayMs);
        }
    }

private:
    SimPlatform& sim_;
    SimPlatform::Network& net_;
    int id_;
    bool bound_ = false;
    std::string address_;
    std::uint16_t port_ = 0;
    std::function<void(std::string_view)> handler_;
    int errorNumber_ = 0;
    std::string errorText_;
};

static SimPlatform::Network& SimNet(std::unique_ptr<SimPlatform::Network>& net) {
    if (!net) net = std::make_unique<SimPlatform::Network>();
    return *net;
}

SimPlatform::SimPlatform() : alive_(std::make_shared<bool>(true)) {}
SimPlatform::~SimPlatform() = default;

std::unique_ptr<UdpSocket> SimPlatform::CreateUdpSocket() {
    return std::make_unique<SimUdpSocket>(*this, SimNet(net_));
}

void SimPlatform::TakeUdpPort(const std::string& address, std::uint16_t port) {
    SimNet(net_).bindings.push_back({address, port, 0});
}

const std::vector<SimPlatform::Datagram>& SimPlatform::SentDatagrams() const {
    static const std::vector<Datagram> none;
    return net_ ? net_->sent : none;
}

void SimPlatform::ClearSentDatagrams() {
    if (net_) net_->sent.clear();
}

void SimPlatform::InjectDatagram(const std::string& host, std::uint16_t port, std::string data,
                                 std::uint64_t delayMs) {
    SimUdpSocket::Deliver(*this, SimNet(net_), host, port, std::move(data), delayMs);
}

void SimPlatform::SetUdpSendFails(bool fails) { SimNet(net_).sendFails = fails; }

void SimPlatform::SetUdpSendFailsFrom(const std::string& address) { SimNet(net_).sendFailsFrom = address; }

}  // namespace quorvel::platform
