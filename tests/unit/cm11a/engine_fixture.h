// Shared pieces of the CM11A engine tests: a scripted link that records every write and
// echoes it like the product's link (so the event pump runs inside each write), a node
// that records sent xAP messages, and a fixture in simulated time.
#pragma once

#include "core/reporting.h"
#include "core/settings.h"
#include "cm11a/cm11a_engine.h"
#include "cm11a/comm_window_model.h"
#include "cm11a/link_port.h"
#include "platform/sim/sim_platform.h"
#include "test_support/recording_node.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace quorvel::cm11a::test {

// Bytes as a string, from a list of values.
inline std::string B(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s.push_back(static_cast<char>(v));
    return s;
}

class ScriptedLink : public LinkPort {
public:
    explicit ScriptedLink(CommWindowModel& comm) : comm_(comm) {}
    bool PortOpen(const std::string& port) override {
        lastPort = port;
        return open;
    }
    void WriteToCM11A(const std::string& bytes) override {
        if (!open) return;
        writes.push_back(bytes);
        if (onWrite) onWrite(bytes);
        comm_.EchoHex(bytes);  // as the product's link does; nothing else runs meanwhile
    }
    void AnswerPowerFail() override { WriteToCM11A(B({0x9B})); }
    bool Connecting() const override { return connecting; }
    void Reopen(const std::string& why) override { reopens.push_back(why); }

    bool open = true;
    bool connecting = false;
    std::vector<std::string> reopens;
    std::string lastPort;
    std::vector<std::string> writes;
    std::function<void(const std::string&)> onWrite;

private:
    CommWindowModel& comm_;
};

// "Event=on;Device=A1" from an item list.
inline std::string Readable(const std::string& body) {
    std::string out;
    for (char c : body) out.push_back(c == '\0' ? ';' : c == '\1' ? '=' : c);
    return out;
}

class Cm11aEngineTest : public ::testing::Test {
protected:
    Cm11aEngineTest() : reporter(sim), comm(sim, reporter), link(comm) {
        reporter.SetNode(&node);
        reporter.SetXapRunning(true);
        settings.ComPort = "127.0.0.1:10001";
        settings.Ignore = ",,";
        engine = std::make_unique<Cm11aEngine>(sim, reporter, settings, comm, link);
    }

    void Feed(const std::string& bytes) { engine->CM11ADataArrival(bytes, 2); }
    // Starts the engine again (InitCM11A) and answers its clock message as the interface
    // does: the checksum, then 0x55 after the confirmation. True when the link is open.
    bool Restart() {
        const std::size_t before = link.writes.size();
        const bool open = engine->InitCM11A("1");
        if (link.writes.size() > before && link.writes[before].size() == 7 && link.writes[before][0] == '\x9B') {
            int sum = 0;
            for (std::size_t i = 1; i < 7; ++i) sum += static_cast<unsigned char>(link.writes[before][i]);
            Feed(B({sum & 0xFF}));
            if (link.writes.back() == B({0})) Feed(B({0x55}));
        }
        return open;
    }

    // Announced X10 events, readable.
    std::vector<std::string> Events() const {
        std::vector<std::string> out;
        for (const auto& m : node.sent) {
            if (m.cls == "xAP-x10.Event") {
                EXPECT_EQ(m.section, "xAP-x10.Event");
                out.push_back(Readable(m.data));
            }
        }
        return out;
    }
    // "Data" of every report.
    std::vector<std::string> Reports() const {
        std::vector<std::string> out;
        for (const auto& m : node.sent) {
            if (m.cls != "Homeseer.Event") continue;
            const auto pos = m.data.find(std::string("Data") + '\1');
            out.push_back(pos == std::string::npos ? "" : m.data.substr(pos + 5));
        }
        return out;
    }
    const X10Queue& Head() const { return engine->TransmitQueue().front(); }

    platform::SimPlatform sim;
    core::Reporter reporter;
    core::Settings settings;
    CommWindowModel comm;
    ScriptedLink link;
    quorvel::test::RecordingNode node;
    std::unique_ptr<Cm11aEngine> engine;
};

// Replies of a well-behaved interface to a command: the checksum of a header/code pair,
// 0x55 after the confirmation. Delivered through the event pump after delayMs.
inline void AnswerLikeInterface(platform::SimPlatform& sim, ScriptedLink& link, Cm11aEngine& engine,
                                std::uint64_t delayMs) {
    link.onWrite = [&sim, &engine, delayMs](const std::string& bytes) {
        std::string reply = bytes == B({0}) ? B({0x55}) : "";
        if (bytes.size() == 2) reply = B({static_cast<unsigned char>(bytes[0]) + static_cast<unsigned char>(bytes[1])});
        if (!reply.empty()) sim.Post([&engine, reply] { engine.CM11ADataArrival(reply, 2); }, delayMs);
    };
}

}  // namespace quorvel::cm11a::test
