// Cost of reading one request (parse, class and target check, item lookups) and of
// building one event the way the node's send does.
#include "xap/xap_message.h"
#include "xap/xap_node.h"
#include "xap/xap_sender.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

using quorvel::xap::XapMessage;

const std::string kRequest =
    "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=xAP-X10.request\nsource=acme.controller.den\n"
    "target=zeb.CM11A.MYPC\n}\nxAP-X10.request\n{\ndevice=A1,A2,B3\ncommand=on\ncount=1\n}\n";
const std::string kOpening = "xap-header\n{\nv=12\nhop=1\nuid=";

void ReadRequest(benchmark::State& state) {
    for (auto _ : state) {
        XapMessage m;
        m.FromXap(kRequest);
        bool ok = m.CompareClass("xAP-X10.request") && m.CompareTarget("zeb.CM11A.MYPC");
        std::string device = m.GetItem("xAP-X10.request", "device");
        std::string command = m.GetItem("xAP-X10.request", "command");
        std::string count = m.GetItem("xAP-X10.request", "count");
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(device);
        benchmark::DoNotOptimize(command);
        benchmark::DoNotOptimize(count);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(ReadRequest);

// The node's SendXap without the socket: split the item list, build, produce the text.
void BuildEvent(benchmark::State& state) {
    const std::string data = quorvel::xap::ItemList({{"Event", "on"}, {"Device", "A1"}});
    const std::string target, cls = "xAP-x10.Event", source = "zeb.CM11A.MYPC", uid = "FF008700";
    for (auto _ : state) {
        std::string text = quorvel::xap::XapNode::BuildMessage(kOpening, target, cls, source, uid, cls, data);
        benchmark::DoNotOptimize(text);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BuildEvent);

}  // namespace

BENCHMARK_MAIN();
