// The BSC endpoints at their largest, all 256 X10 addresses known: the time to answer one
// query for every endpoint (parsing the query and building each xAPBSC.info text the way the
// node does), and the periodic info traffic in datagrams per minute, counted in simulated
// time over a whole cycle.
#include "bsc/bsc_service.h"
#include "platform/sim/sim_platform.h"
#include "xap/xap_node.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

using namespace quorvel;

// Builds each message's text as the node would before its socket write, and counts them.
class BuildingNode : public xap::XapSender {
public:
    std::string SendXap(const std::string& target, const std::string& cls, const std::string& section,
                        const std::string& data, const std::string& sub, const std::string& uid) override {
        bytes += xap::XapNode::BuildMessage("xap-header\n{\nv=12\nhop=1\nuid=", target, cls,
                                            "zeb.CM11A.MYPC:" + sub, uid, section, data)
                     .size();
        ++count;
        return {};
    }
    std::size_t count = 0;
    std::size_t bytes = 0;
};

struct AllKnown {
    AllKnown() : reporter(sim), bsc(sim, reporter, settings, {}) {
        bsc.Start(&node, "zeb.CM11A.MYPC", "FF008700", true);
        for (int i = 0; i < state::kDeviceCount; ++i) {
            cm11a::X10Activity a;
            a.House = static_cast<char>('A' + i / 16);
            a.Function = i % 2 == 0 ? 2 : 3;
            a.Devices = {state::DeviceName(i)};
            bsc.OnActivity(a);
        }
        node.count = node.bytes = 0;
    }
    platform::SimPlatform sim;
    core::Reporter reporter;
    core::Settings settings;
    BuildingNode node;
    bsc::BscService bsc;
};

const std::string kQuery =
    "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=xAPBSC.query\nsource=acme.panel.hall\n"
    "target=zeb.CM11A.MYPC:*\n}\nrequest\n{\n}\n";

void QueryAll256(benchmark::State& state) {
    AllKnown rig;
    for (auto _ : state) rig.bsc.Readmessage(kQuery);
    state.counters["infos_per_query"] = static_cast<double>(rig.node.count) / static_cast<double>(state.iterations());
    state.counters["bytes_per_query"] = static_cast<double>(rig.node.bytes) / static_cast<double>(state.iterations());
}
BENCHMARK(QueryAll256)->Unit(benchmark::kMicrosecond);

void PeriodicInfo256(benchmark::State& state) {
    double perMinute = 0, closestMs = 0;
    for (auto _ : state) {
        AllKnown rig;
        std::uint64_t last = 0, closest = UINT64_MAX;
        std::size_t seen = 0;
        const std::uint64_t cycle = bsc::BscService::kInfoSlotMs * static_cast<std::uint64_t>(state::kDeviceCount);
        for (std::uint64_t t = 0; t < cycle; t += 100) {
            rig.sim.Advance(100);
            if (rig.node.count != seen) {
                if (seen > 0) closest = std::min(closest, rig.sim.NowMs() - last);
                if (rig.node.count - seen > 1) closest = 0;  // two in one step: a burst
                seen = rig.node.count;
                last = rig.sim.NowMs();
            }
        }
        perMinute = static_cast<double>(rig.node.count) * 60000.0 / static_cast<double>(cycle);
        closestMs = static_cast<double>(closest);
    }
    state.counters["datagrams_per_min"] = perMinute;
    state.counters["closest_gap_ms"] = closestMs;
}
BENCHMARK(PeriodicInfo256)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
