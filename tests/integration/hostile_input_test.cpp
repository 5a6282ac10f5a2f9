// Hostile and runaway xAP input against the real connector: a request naming far more devices
// than the transmit queue holds, and datagrams full of repeated item names. What goes out,
// what is logged and how fast the connector stops stay bounded.
#include "rig.h"

#include <gtest/gtest.h>

#include <sstream>
#include <thread>

using namespace quorvel::itest;
using namespace std::chrono_literals;

namespace {

// Hub, simulator and connector (Debug on) in a temporary application folder, with a client
// that keeps every datagram the hub forwards.
class HostileRig {
public:
    explicit HostileRig(bool withInterface) {
        hub_ = StartHub(app_.path());
        std::string port = kNoSerialPort;
        if (withInterface) {
            sim_ = std::make_unique<SimProcess>(app_.path());
            port = "127.0.0.1:" + std::to_string(sim_->tcpPort);
        }
        WriteSafeIni(app_.path(), port + "\r\nDebug=1");
        client_.SendTo(3639, "xap-hbeat\n{\nv=12\nhop=1\nuid=FF777800\nclass=xap-hbeat.alive\nsource=acme.hostile.box"
                             "\ninterval=60\nport=" + std::to_string(client_.port()) + "\n}\n");
        quorvel_ = std::make_unique<Process>(BinDir() / "quorvel", Headless(app_.path()), app_.path(), "quorvel");
    }
    ~HostileRig() {
        for (Process* p : {quorvel_.get(), sim_ ? &sim_->proc() : nullptr, hub_.get()}) {
            if (p == nullptr) continue;
            p->Signal(SIGTERM);
            p->Wait(10s);
        }
    }

    bool HubUp() const { return hub_ != nullptr; }
    // The connector announced its port and (with the interface) answered its power-fail
    // requests twice: its link is open.
    bool Ready() {
        if (!Collect(30s, [&] { return CountFrom("Homeseer.Event", "Using xAP port ") > 0; })) return false;
        if (!sim_) return true;
        return WaitFor([&] {
            const std::string log = sim_->Command("log");
            std::size_t n = 0;
            for (std::size_t p = log.find("rx 9B"); p != std::string::npos; p = log.find("rx 9B", p + 1)) ++n;
            return n >= 2;
        }, 20s);
    }
    // Reads what the hub forwards until done() or timeout; false on timeout.
    template <typename F>
    bool Collect(std::chrono::milliseconds timeout, F done) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() >= end) return false;
            std::string d = client_.Read(100ms);
            if (!d.empty()) received_.push_back(std::move(d));
        }
        return true;
    }
    // Datagrams from the connector of class cls ("" any but events and heartbeats) holding text.
    std::size_t CountFrom(const std::string& cls, const std::string& text = "") const {
        std::size_t n = 0;
        for (const auto& d : received_) {
            if (XapField(d, "source").rfind("zeb.CM11A.", 0) != 0) continue;
            const std::string c = XapField(d, "class");
            const bool wanted = cls.empty() ? c != "xAP-x10.Event" && c != "xap-hbeat.alive" : c == cls;
            if (wanted && d.find(text) != std::string::npos) ++n;
        }
        return n;
    }
    void ClearReceived() { received_.clear(); }
    void Send(const std::string& datagram) { client_.SendTo(3639, datagram); }
    std::string Log() const { return ReadFile(app_.path() / "Data" / "Quorvel.txt"); }
    Process& quorvel() { return *quorvel_; }
    SimProcess& sim() { return *sim_; }

private:
    TempDir app_;
    Socket client_ = Socket::Udp();
    std::vector<std::string> received_;
    std::unique_ptr<Process> hub_, quorvel_;
    std::unique_ptr<SimProcess> sim_;
};

#define REQUIRE_UP(rig)                                                                          \
    do {                                                                                         \
        if (!(rig).HubUp()) GTEST_SKIP() << "UDP port 3639 is taken and no private network namespace"; \
        ASSERT_TRUE((rig).Ready()) << (rig).quorvel().Stderr();                                  \
    } while (0)

std::string Header(const std::string& cls) {
    return "xap-header\n{\nv=12\nhop=1\nuid=FF777800\nclass=" + cls + "\nsource=acme.hostile.box\n}\n";
}

std::size_t Occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

}  // namespace

TEST(HostileInput, GiantRequestFillsTheQueueSendsOneReportAndStillStopsAtOnce) {
    HostileRig rig(true);
    REQUIRE_UP(rig);
    // The interface takes the first command and never answers: every other one stays queued.
    ASSERT_EQ(rig.sim().Command("fault silent on"), "ok\n");

    std::string devices;
    for (int i = 0; i < 17000; ++i) {
        devices += (i ? "," : "") + std::string(1, static_cast<char>('A' + i % 16)) + std::to_string(1 + i / 16 % 16);
    }
    const std::string request = Header("xAP-X10.request") + "xAP-X10.request\n{\ndevice=" + devices + "\ncommand=on\n}\n";
    ASSERT_GT(request.size(), 58000u);
    ASSERT_LT(request.size(), 65000u);
    rig.ClearReceived();
    rig.Send(request);

    // Beside the announcement of the command that starts, a handful of datagrams at most.
    rig.Collect(4s, [] { return false; });
    EXPECT_LE(rig.CountFrom(""), 10u);
    EXPECT_EQ(rig.CountFrom("Homeseer.Event", "Readmessage refused 16000 of 17000 devices: 16000 beyond"), 1u)
        << rig.quorvel().Stderr().substr(0, 4000);
    EXPECT_LE(rig.CountFrom("xAP-x10.Event"), 1u);
    ASSERT_TRUE(WaitFor([&] { return rig.Log().find("AddToQueue Count=999 ") != std::string::npos; }, 5s));
    EXPECT_EQ(rig.Log().find("AddToQueue Count=1000 "), std::string::npos);

    // 1,000 commands wait and a backlog of twenty more such requests has just arrived: the
    // connector still stops at once.
    for (int i = 0; i < 20; ++i) {
        rig.Send(request);
        std::this_thread::sleep_for(2ms);  // paced so that the socket buffers keep them all
    }
    std::this_thread::sleep_for(100ms);
    const auto start = std::chrono::steady_clock::now();
    rig.quorvel().Signal(SIGTERM);
    ASSERT_TRUE(rig.quorvel().Wait(10s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_EQ(rig.quorvel().ExitCode(), 0);
}

TEST(HostileInput, RepeatedItemNamesGiveOneBoundedLogLinePerDatagram) {
    HostileRig rig(false);
    REQUIRE_UP(rig);
    // About 60 kB: one block whose item name repeats, each with a long value.
    std::string block = "xAP-X10.request\n{\n";
    while (block.size() < 60000) block += "device=" + std::string(1000, 'A') + "\n";
    const std::string datagram = Header("xAP-X10.request") + block + "}\n";

    rig.Send(datagram);
    ASSERT_TRUE(WaitFor([&] { return rig.Log().find("From XAP ") != std::string::npos; }, 10s)) << rig.Log();
    EXPECT_EQ(Occurrences(rig.Log(), "From XAP "), 1u);

    // A stream of them: a few lines and then one summary line, every line short.
    const std::string ours = "XapMessage xap-header|{|v=12|hop=1|uid=FF777800";
    for (std::size_t i = 2; i <= 50; ++i) {
        rig.Send(datagram);  // one at a time: a burst of them would overrun the socket buffers
        ASSERT_TRUE(WaitFor([&] { return Occurrences(rig.Log(), ours) >= i; }, 10s)) << i;
    }
    const std::string log = rig.Log();
    EXPECT_LE(Occurrences(log, "From XAP "), 6u);
    std::istringstream lines(log);
    for (std::string l; std::getline(lines, l);) EXPECT_LE(l.size(), 2100u) << l.substr(0, 200);
    EXPECT_LT(log.size(), 300000u);
    ExpectCleanStop(rig.quorvel());
}
