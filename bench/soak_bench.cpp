// Every command on the power line exactly once: 300 mixed requests (on, off, dim and bright
// over 8 devices) per fault kind, against the simulated interface (tools/cm11a-sim's model)
// at the real device's speed (4800 baud, 50 Hz mains) in simulated time. Requests come in
// batches of three; a fault is injected into about every other batch. For each batch the
// functions the interface carried out are compared with the ones requested. Prints figures.
#include "../tools/cm11a-sim/cm11a_model.h"

#include "cm11a/cm11a_engine.h"
#include "engine_bench_setup.h"
#include "cm11a/codes.h"
#include "cm11a/comm_window_model.h"
#include "core/reporting.h"
#include "core/settings.h"
#include "platform/sim/sim_platform.h"
#include "xap/xap_sender.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

using namespace quorvel;

namespace {

constexpr cm11asim::Timing kRealSpeed{1.0, 1000, 4800, 50};
constexpr int kRequests = 300;
constexpr int kBatch = 3;
// A link that hangs is closed and opened again; a serial server takes about this long.
constexpr std::uint64_t kReconnectMs = 1500;

struct NullNode : xap::XapSender {
    std::string SendXap(const std::string&, const std::string&, const std::string&, const std::string&,
                        const std::string&, const std::string&) override {
        return "";
    }
};

// Writes reach the model at once; a reopen closes the link for kReconnectMs, during which
// the link reports that it is connecting.
class ModelLink : public cm11a::LinkPort {
public:
    ModelLink(platform::SimPlatform& sim, cm11asim::Interface& model) : sim_(sim), model_(model) {}
    bool PortOpen(const std::string&) override { return open_; }
    void WriteToCM11A(const std::string& bytes) override {
        if (open_) model_.Receive(bytes, static_cast<cm11asim::Millis>(sim_.NowMs()));
    }
    bool Connecting() const override { return !open_; }
    void Reopen(const std::string&) override {
        open_ = false;
        reopenAt_ = sim_.NowMs() + kReconnectMs;
        ++reopens;
    }
    // True when the link opened again just now.
    bool Due() {
        if (open_ || sim_.NowMs() < reopenAt_) return false;
        open_ = true;
        model_.LineChanged();
        return true;
    }
    bool Open() const { return open_; }
    int reopens = 0;

private:
    platform::SimPlatform& sim_;
    cm11asim::Interface& model_;
    bool open_ = true;
    std::uint64_t reopenAt_ = 0;
};

struct Soak {
    Soak() : reporter(sim), comm(sim, reporter), model(kRealSpeed), link(sim, model),
             engine(sim, reporter, settings, comm, link) {
        bench::QuietEngineSetup(reporter, settings, node);
        engine.SetActivityObserver([this](const cm11a::X10Activity& a) {
            if (a.Origin != cm11a::X10Origin::PowerLine && !a.Completed) ++dropped;
        });
        engine.InitCM11A(settings.ComPort);
    }
    void Step() {
        sim.Advance(1);
        if (link.Due()) engine.LinkOpened();
        model.Tick(static_cast<cm11asim::Millis>(sim.NowMs()));
        const std::string out = model.TakeOutput();
        if (!out.empty() && link.Open()) engine.CM11ADataArrival(out, 2);
    }
    cm11asim::Millis Now() const { return static_cast<cm11asim::Millis>(sim.NowMs()); }

    platform::SimPlatform sim;
    core::Reporter reporter;
    core::Settings settings;
    NullNode node;
    cm11a::CommWindowModel comm;
    cm11asim::Interface model;
    ModelLink link;
    cm11a::Cm11aEngine engine;
    int dropped = 0;
};

struct Fault {
    const char* name;
    // Armed at the start of a batch; returns a late action (at a random time in the batch)
    // or nothing.
    std::function<std::function<void(Soak&)>(Soak&, std::mt19937&)> arm;
};

struct Figures {
    int requested = 0, onLine = 0, lost = 0, repeated = 0, dropped = 0, reopens = 0, lostConfirms = 0;
    double seconds = 0;
};

// "A on", "B dim 45%": the function lines of the model's power-line log, as "A on".
std::string FunctionOf(const std::string& line) {
    if (line.rfind("sent ", 0) != 0 || line.size() < 8 || line[6] != ' ') return "";
    const std::size_t end = line.find_first_of(" ", 7);
    return line.substr(5, end - 5);
}

Figures Run(const Fault& fault, unsigned seed) {
    Soak s;
    std::mt19937 rng(seed);
    const char* devices[] = {"A1", "A2", "B3", "C4", "E5", "G1", "M13", "P16"};
    while (!s.model.Idle() || s.engine.Receiving() != cm11a::RxState::Idle) s.Step();  // the start-up clock
    Figures f;
    const std::uint64_t start = s.sim.NowMs();
    for (int sent = 0; sent < kRequests; sent += kBatch) {
        std::function<void(Soak&)> late;
        if (rng() % 2 == 0) late = fault.arm(s, rng);
        const std::uint64_t lateAt = s.sim.NowMs() + rng() % 3000;
        std::map<std::string, int> want;
        for (int i = 0; i < kBatch; ++i) {
            const std::string dc = devices[rng() % 8];
            const int function = 2 + static_cast<int>(rng() % 4);  // on, off, dim, bright
            const int steps = function >= 4 ? 1 + static_cast<int>(rng() % 22) : 0;
            s.engine.SendCM11A(dc, function, steps);
            want[std::string(1, dc[0]) + " " + std::string(cm11a::X10FunctionNames[static_cast<std::size_t>(function)])]++;
        }
        f.requested += kBatch;
        const std::size_t logBefore = s.model.LineLog().size();
        const std::uint64_t limit = s.sim.NowMs() + 300000;
        while (s.sim.NowMs() < limit) {
            if (late && s.sim.NowMs() >= lateAt) std::exchange(late, nullptr)(s);
            const bool done = !late && s.engine.TransmitQueue().empty() && s.model.Idle() && s.link.Open() &&
                              s.engine.Receiving() == cm11a::RxState::Idle;
            if (done) break;
            s.Step();
        }
        s.model.FaultLoss(0);
        s.model.FaultReady(cm11asim::Interface::ReadyFault::kLost, 0);
        for (int i = 0; i < 20; ++i) s.Step();
        std::map<std::string, int> got;
        const auto& log = s.model.LineLog();
        for (std::size_t i = logBefore; i < log.size(); ++i) {
            if (log[i] == "function 00 lost") ++f.lostConfirms;
            const std::string fn = FunctionOf(log[i]);
            if (!fn.empty()) got[fn]++;
        }
        for (const auto& [fn, n] : want) {
            const int g = got.count(fn) ? got[fn] : 0;
            f.onLine += g;
            if (g < n) f.lost += n - g;
            if (g > n) f.repeated += g - n;
        }
        for (const auto& [fn, n] : got) {
            if (!want.count(fn)) f.repeated += n, f.onLine += n;
        }
    }
    f.dropped = s.dropped;
    f.reopens = s.link.reopens;
    f.seconds = static_cast<double>(s.sim.NowMs() - start) / 1000.0;
    return f;
}

}  // namespace

int main() {
    using Late = std::function<void(Soak&)>;
    const std::vector<Fault> faults = {
        {"none", [](Soak&, std::mt19937&) { return Late(); }},
        {"function's 0x55 lost", [](Soak& s, std::mt19937&) { s.model.FaultReady(cm11asim::Interface::ReadyFault::kLost, 1); return Late(); }},
        {"function's 0x55 garbled", [](Soak& s, std::mt19937&) { s.model.FaultReady(cm11asim::Interface::ReadyFault::kGarbled, 1); return Late(); }},
        {"poll in place of the 0x55", [](Soak& s, std::mt19937&) { s.model.FaultReady(cm11asim::Interface::ReadyFault::kPoll, 1); return Late(); }},
        {"function's 0x55 after 5.5-9 s", [](Soak& s, std::mt19937& r) {
             s.model.FaultReady(cm11asim::Interface::ReadyFault::kLate, 1, 5500 + static_cast<int>(r() % 3500));
             return Late();
         }},
        {"wrong checksum (0x5B for G1)", [](Soak& s, std::mt19937&) { s.model.FaultChecksum(1); return Late(); }},
        {"0x5B in place of a checksum", [](Soak& s, std::mt19937&) { s.model.FaultChecksum(1, 0x5B); return Late(); }},
        {"silence burst of 2-5 replies", [](Soak& s, std::mt19937& r) { s.model.FaultMute(2 + static_cast<int>(r() % 4)); return Late(); }},
        {"poll crossing a command (mixed houses)", [](Soak&, std::mt19937&) {
             return Late([](Soak& s) { s.model.HearRaw(std::string("\x04\x66\xEE\xE2", 4), s.Now()); });
         }},
        {"house-wide function heard", [](Soak&, std::mt19937&) {
             return Late([](Soak& s) { s.model.HearRaw(std::string("\x01\x10", 2), s.Now()); });
         }},
        {"power failure", [](Soak&, std::mt19937&) { return Late([](Soak& s) { s.model.PowerFail(s.Now()); }); }},
        {"2 % of bytes lost, both ways", [](Soak& s, std::mt19937&) { s.model.FaultLoss(2); return Late(); }},
    };
    std::printf("%-40s %9s %7s %5s %8s %7s %7s %9s %8s\n", "fault injected", "requested", "on line", "lost",
                "repeated", "dropped", "reopens", "00 lost", "sim s");
    unsigned seed = 22;
    for (const Fault& fault : faults) {
        const Figures f = Run(fault, seed++);
        std::printf("%-40s %9d %7d %5d %8d %7d %7d %9d %8.0f\n", fault.name, f.requested, f.onLine, f.lost, f.repeated,
                    f.dropped, f.reopens, f.lostConfirms, f.seconds);
    }
    return 0;
}
