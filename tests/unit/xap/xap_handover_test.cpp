#include "core/reporting.h"
#include "platform/sim/sim_platform.h"
#include "xap/xap_node.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

// However closely datagrams follow each other, every message is handed over no later than
// 250 ms after it arrived: the quiet-time timer must not be pushed out by each new arrival
// once it is pinned to that bound.
TEST(XapHandOver, BoundHoldsForEverySpacing) {
    for (const std::uint64_t spacing : {1u, 2u, 30u}) {
        SCOPED_TRACE(spacing);
        quorvel::platform::SimPlatform sim;
        quorvel::core::Reporter reporter(sim);
        quorvel::xap::XapNode node(sim, reporter, [] { return std::vector<std::string>{"127.0.0.1"}; });
        node.SetBroadcastAddress("127.255.255.255");
        const auto port = static_cast<std::uint16_t>(node.Init());
        std::map<std::string, std::uint64_t> arrived;
        std::uint64_t worst = 0;
        std::size_t handed = 0;
        node.RegisterNewMessageCallback([&] {
            for (std::string m = node.GetMessage(); !m.empty(); m = node.GetMessage()) {
                worst = std::max(worst, sim.NowMs() - arrived.at(m));
                ++handed;
            }
        });
        const std::uint64_t count = 3000 / spacing;
        for (std::uint64_t i = 0; i < count; ++i) {
            const std::string m = "xap-header " + std::to_string(i);
            arrived[m] = i * spacing;
            sim.InjectDatagram("127.0.0.1", port, m, i * spacing);
        }
        sim.Advance(3100);
        EXPECT_EQ(handed, count);
        EXPECT_LE(worst, 250u);
    }
}
