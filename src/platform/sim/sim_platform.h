// Simulated time for unit tests: nothing happens until the test advances the clock, and
// then timers and posted tasks run in the order of their due times (ties in the order
// they were scheduled).
#pragma once

#include "platform/platform.h"
#include "platform/sim/sim_links.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace quorvel::platform {

class SimPlatform : public Platform {
public:
    SimPlatform();
    ~SimPlatform() override;

    std::uint64_t NowMs() const override { return now_; }
    std::string LocalDateTime() const override;
    // Runs what is due now (a test's event pump).
    void ProcessEvents();
    // Runs what is due; when nothing is, moves the clock to the next due task (at most
    // maxMs on) and runs it.
    void WaitForEvents(int maxMs);
    std::unique_ptr<Timer> CreateTimer() override;
    std::unique_ptr<SerialPort> CreateSerialPort() override;
    std::unique_ptr<TcpSocket> CreateTcpSocket() override;
    std::unique_ptr<UdpSocket> CreateUdpSocket() override;
    void Quit(int exitCode) override;

    // Simulated network: sockets of this platform bind to any address; a datagram reaches
    // the sockets bound to its destination port on its destination address or on every
    // address (empty or 0.0.0.0), through the event pump. Nothing leaves the process.
    struct Datagram {
        std::string FromAddress;
        std::uint16_t FromPort = 0;
        std::string ToHost;
        std::uint16_t ToPort = 0;
        std::string Data;
    };
    // A socket outside the code under test holds address:port (binds to it fail).
    void TakeUdpPort(const std::string& address, std::uint16_t port);
    // Every datagram sent by a simulated socket, in order.
    const std::vector<Datagram>& SentDatagrams() const;
    void ClearSentDatagrams();
    // Delivers data to host:port, delayMs from now, as a peer outside the code under test.
    void InjectDatagram(const std::string& host, std::uint16_t port, std::string data,
                        std::uint64_t delayMs = 0);
    // Makes every simulated send fail (true) or work again (false).
    void SetUdpSendFails(bool fails);
    // Makes sends from sockets bound to address fail (an address that left the machine);
    // the empty text ends it.
    void SetUdpSendFailsFrom(const std::string& address);

    // Schedules a task to run delayMs from now (by Advance or, when already due, by
    // ProcessEvents).
    void Post(std::function<void()> task, std::uint64_t delayMs = 0);
    // Moves the clock forward by ms, running everything that falls due on the way.
    void Advance(std::uint64_t ms);
    // Sets the clock to an absolute value (for wrap-around checks); runs nothing.
    void SetNow(std::uint64_t ms) { now_ = ms; }
    // Wall-clock text returned by LocalDateTime.
    void SetLocalDateTime(std::string text) { localTime_ = std::move(text); }

    int ProcessEventsCalls() const { return pumpCalls_; }
    int WaitForEventsCalls() const { return waitCalls_; }
    // The newest live serial port / TCP socket made by this platform (null when none).
    SimSerialPort* LastSerialPort() const { return serialPorts_.empty() ? nullptr : serialPorts_.back(); }
    SimTcpSocket* LastTcpSocket() const { return tcpSockets_.empty() ? nullptr : tcpSockets_.back(); }
    bool QuitRequested() const { return quitRequested_; }
    int ExitCode() const { return exitCode_; }

    // Internal: used by simulated timers.
    using Key = std::pair<std::uint64_t, std::uint64_t>;  // due time, sequence
    Key Schedule(std::uint64_t due, std::function<void()> task);
    void Cancel(const Key& key);
    // Internal: used by the simulated links.
    void Register(SimSerialPort* port) { serialPorts_.push_back(port); }
    void Unregister(SimSerialPort* port) { std::erase(serialPorts_, port); }
    void Register(SimTcpSocket* socket) { tcpSockets_.push_back(socket); }
    void Unregister(SimTcpSocket* socket) { std::erase(tcpSockets_, socket); }

    class Network;  // internal

private:
    bool RunDue(std::uint64_t until);
    std::unique_ptr<Network> net_;

    std::uint64_t now_ = 0;
    std::uint64_t seq_ = 0;
    std::map<Key, std::function<void()>> queue_;
    std::string localTime_ = "2026-01-01 12:00:00";
    int pumpCalls_ = 0;
    int waitCalls_ = 0;
    std::vector<SimSerialPort*> serialPorts_;
    std::vector<SimTcpSocket*> tcpSockets_;
    bool quitRequested_ = false;
    int exitCode_ = 0;
    std::shared_ptr<bool> alive_;
};

}  // namespace quorvel::platform
