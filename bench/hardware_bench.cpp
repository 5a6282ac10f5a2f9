// Measures the CM11A side against the simulated interface (tools/cm11a-sim's model) at the
// real device's speed, in simulated time: recovery after a power failure, after a serial
// device came back, and commands completed with stray bytes on the line. Also measures, in
// real time, how fast the engine takes input from the interface for chunk sizes from 1 kB
// to 4 MB. Prints figures only.
#include "../tools/cm11a-sim/cm11a_model.h"

#include "cm11a/cm11a_engine.h"
#include "engine_bench_setup.h"
#include "cm11a/cm11a_link.h"
#include "cm11a/comm_window_model.h"
#include "core/reporting.h"
#include "core/settings.h"
#include "platform/sim/sim_platform.h"
#include "xap/xap_sender.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

using namespace quorvel;

namespace {

struct CountingNode : xap::XapSender {
    std::string SendXap(const std::string&, const std::string& cls, const std::string&, const std::string& data,
                        const std::string&, const std::string&) override {
        if (cls == "xAP-x10.Event") events.push_back(data);
        return "";
    }
    std::vector<std::string> events;
};

// The engine wired to the interface model: writes reach the model at once, the model's
// bytes reach the engine on the next simulated millisecond.
class ModelLink : public cm11a::LinkPort {
public:
    ModelLink(platform::SimPlatform& sim, cm11asim::Interface& model, cm11a::CommWindowModel& comm)
        : sim_(sim), model_(model), comm_(comm) {}
    bool PortOpen(const std::string&) override { return true; }
    void WriteToCM11A(const std::string& bytes) override {
        written += bytes;
        model_.Receive(bytes, static_cast<cm11asim::Millis>(sim_.NowMs()));
        comm_.EchoHex(bytes);
    }
    std::string written;

private:
    platform::SimPlatform& sim_;
    cm11asim::Interface& model_;
    cm11a::CommWindowModel& comm_;
};

struct Bench {
    explicit Bench(cm11asim::Timing timing)
        : reporter(sim), comm(sim, reporter), model(timing), link(sim, model, comm),
          engine(sim, reporter, settings, comm, link) {
        bench::QuietEngineSetup(reporter, settings, node);
    }
    // One simulated millisecond: the model runs, its bytes go to the engine.
    void Step() {
        sim.Advance(1);
        model.Tick(static_cast<cm11asim::Millis>(sim.NowMs()));
        const std::string out = model.TakeOutput();
        if (!out.empty()) engine.CM11ADataArrival(out, 2);
    }
    template <typename F>
    bool RunUntil(F done, std::uint64_t limitMs) {
        const std::uint64_t end = sim.NowMs() + limitMs;
        while (!done() && sim.NowMs() < end) Step();
        return done();
    }

    platform::SimPlatform sim;
    core::Reporter reporter;
    core::Settings settings;
    CountingNode node;
    cm11a::CommWindowModel comm;
    cm11asim::Interface model;
    ModelLink link;
    cm11a::Cm11aEngine engine;
};

constexpr cm11asim::Timing kRealSpeed{1.0, 1000, 4800, 60};

// From the first 0xA5 to the 0x55 that completes the interrupted command.
void PowerFailFigure() {
    std::vector<double> times;
    for (int offsetMs : {5, 200, 450, 700}) {  // where in the command the power fails
        Bench b(kRealSpeed);
        b.engine.SendCM11A("A1", 2);
        b.RunUntil([] { return false; }, static_cast<std::uint64_t>(offsetMs));
        b.model.PowerFail(static_cast<cm11asim::Millis>(b.sim.NowMs()));
        const std::uint64_t start = b.sim.NowMs();
        const bool done = b.RunUntil([&] { return b.engine.TransmitQueue().empty(); }, 60000);
        times.push_back(done ? static_cast<double>(b.sim.NowMs() - start) : -1);
    }
    std::printf("power failure in the middle of A1 on (at 5, 200, 450, 700 ms into the command):\n"
                "  first 0xA5 to the command's last 0x55:");
    for (double t : times) std::printf(" %.0f ms", t);
    std::printf("\n");
}

// From the moment the device is back to the first heard event, after outages of several
// lengths (the background reopen is paced 1 s doubling to 30 s).
void RecreatedDeviceFigure() {
    std::printf("serial device gone, then back with a wall switch heard (background reopen):\n");
    for (std::uint64_t outageMs : {3000ull, 20000ull, 120000ull, 600000ull}) {
        platform::SimPlatform sim;
        core::Reporter reporter(sim);
        reporter.SetConsole([](const std::string&) {});
        core::Settings settings;
        settings.ComPort = "/dev/serial/by-id/usb-cm11a";
        CountingNode node;
        reporter.SetNode(&node);
        reporter.SetXapRunning(true);
        cm11a::CommWindowModel comm(sim, reporter);
        cm11a::Cm11aLink link(sim, reporter, settings, [] { return false; });
        cm11a::Cm11aEngine engine(sim, reporter, settings, comm, link);
        link.SetChunkSink([&](const std::string& bytes, int code) { engine.CM11ADataArrival(bytes, code); });
        link.SetOpenedSink([&] { engine.LinkOpened(); });
        platform::SimSerialPort* port = sim.LastSerialPort();
        port->AddDevice(settings.ComPort);
        engine.InitCM11A(settings.ComPort);
        port->Unplug(settings.ComPort);
        sim.Advance(outageMs);
        port->AddDevice(settings.ComPort);
        const std::uint64_t back = sim.NowMs();
        // The interface polls about once a second until the computer answers; the upload
        // follows the answer. Played here in steps of 10 ms.
        std::uint64_t lastPoll = 0;
        bool pollAnswered = false;
        std::size_t answered = 0;
        while (node.events.empty() && sim.NowMs() - back < 120000) {
            if (port->IsOpen()) {
                const std::size_t writes = port->Writes().size();
                if (!pollAnswered && (lastPoll == 0 || sim.NowMs() - lastPoll >= 1000)) {
                    port->Deliver("\x5A");
                    lastPoll = sim.NowMs();
                }
                if (writes > answered && port->Writes().back() == "\xC3") {
                    pollAnswered = true;
                    port->Deliver(std::string("\x03\x02\x66\x62", 4));  // A1 on
                }
                answered = writes;
            }
            sim.Advance(10);
        }
        std::printf("  outage %6.0f s: event %6.2f s after the device came back\n", outageMs / 1000.0,
                    node.events.empty() ? -1.0 : (sim.NowMs() - back) / 1000.0);
    }
}

// 1,000 commands with 1 % of the interface's bytes preceded by a random stray byte.
void StrayFigure() {
    Bench b(kRealSpeed);
    b.model.FaultStray(1);
    const int total = 1000;
    int queued = 0;
    std::uint64_t start = b.sim.NowMs();
    const char* devices[] = {"A1", "B2", "C3", "D4", "E5"};
    while (queued < total) {
        if (b.engine.TransmitQueue().size() < 5) {
            b.engine.SendCM11A(devices[queued % 5], queued % 2 == 0 ? 2 : 3);
            ++queued;
        }
        b.Step();
    }
    b.RunUntil([&] { return b.engine.TransmitQueue().empty(); }, 3600000);
    const std::string line = [&] {
        std::string all;
        for (const auto& l : b.model.LineLog()) all += l + "\n";
        return all;
    }();
    int functions = 0;
    for (std::size_t p = line.find(" -> "); p != std::string::npos; p = line.find(" -> ", p + 4)) ++functions;
    std::printf("1,000 commands, 1 %% stray bytes from the interface: %d carried out on the power line, "
                "%zu announced, %.1f s of simulated time (%.2f s a command)\n",
                functions, b.node.events.size(), (b.sim.NowMs() - start) / 1000.0,
                (b.sim.NowMs() - start) / 1000.0 / total);
}

// Real time the engine takes for one chunk of random bytes (no command waiting). The link
// only echoes what the engine writes, as the product's link does.
struct EchoLink : cm11a::LinkPort {
    explicit EchoLink(cm11a::CommWindowModel& comm) : comm_(comm) {}
    bool PortOpen(const std::string&) override { return true; }
    void WriteToCM11A(const std::string& bytes) override { comm_.EchoHex(bytes); }
    cm11a::CommWindowModel& comm_;
};

void ThroughputFigure() {
    std::printf("engine input, chunks of random bytes (at most %zu bytes of a chunk are decoded):\n",
                cm11a::Cm11aEngine::kMaxPendingInput);
    std::mt19937 rng(7);
    for (std::size_t size : {std::size_t{1} << 10, std::size_t{4} << 10, std::size_t{16} << 10,
                             std::size_t{256} << 10, std::size_t{1} << 20, std::size_t{4} << 20}) {
        platform::SimPlatform sim;
        core::Reporter reporter(sim);
        reporter.SetConsole([](const std::string&) {});
        CountingNode node;
        reporter.SetNode(&node);
        reporter.SetXapRunning(true);
        core::Settings settings;
        settings.Ignore = ",,";
        cm11a::CommWindowModel comm(sim, reporter);
        EchoLink link(comm);
        cm11a::Cm11aEngine engine(sim, reporter, settings, comm, link);
        std::string chunk(size, '\0');
        for (char& c : chunk) c = static_cast<char>(rng());
        const int rounds = size <= (16u << 10) ? 400 : 40;
        std::size_t decoded = 0;
        const auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < rounds; ++i) {
            engine.CM11ADataArrival(chunk, 2);
            decoded += std::min(size, cm11a::Cm11aEngine::kMaxPendingInput);
            sim.Advance(1);
        }
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        std::printf("  %8zu bytes: %8.3f ms a chunk, %9.1f MB/s taken in, %6.1f MB/s decoded\n", size,
                    s / rounds * 1000, static_cast<double>(size) * rounds / s / 1e6, decoded / s / 1e6);
    }
}

}  // namespace

int main() {
    PowerFailFigure();
    RecreatedDeviceFigure();
    StrayFigure();
    ThroughputFigure();
    return 0;
}
