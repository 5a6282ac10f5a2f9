// Shared pieces of the CM11A engine tests: a scripted link that records every write (and,
// like the product's link, lets no event run inside it), a node that records sent xAP
// messages, and a fixture in simulated time.
#pragma once

#include "core/reporting.h"
#include "core/settings.h"
#include "cm11a/cm11a_engine.h"
#include "cm11a/comm_window_model.h"
#include "cm11a/link_port.h"
#include "platform/sim/sim_platform.h"
#include "test_support/recording_node.h"

#include <gtest/gtest.h>

#include <algorithm>
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
    bool PortOpen(const std::string& port) override {
        lastPort = port;
        return open;
    }
    void WriteToCM11A(const std::string& bytes) override {
        if (!open) return;
        writes.push_back(bytes);
        if (onWrite) onWrite(bytes);
    }
    bool Connecting() const override { return connecting; }
    void Reopen(const std::string& why) override { reopens.push_back(why); }
    void UsePort(const std::string& port) override { usedPorts.push_back(port); }

    bool open = true;
    bool connecting = false;
    std::vector<std::string> reopens;
    std::vector<std::string> usedPorts;
    std::string lastPort;
    std::vector<std::string> writes;
    std::function<void(const std::string&)> onWrite;
};

// "Event=on;Device=A1" from an item list.
inline std::string Readable(const std::string& body) {
    std::string out;
    for (char c : body) out.push_back(c == '\0' ? ';' : c == '\1' ? '=' : c);
    return out;
}

class Cm11aEngineTest : public ::testing::Test {
protected:
    Cm11aEngineTest() : reporter(sim), comm(sim, reporter) {
        reporter.SetNode(&node);
        reporter.SetXapRunning(true);
        settings.ComPort = "127.0.0.1:10001";
        settings.Ignore = ",,";
        engine = std::make_unique<Cm11aEngine>(sim, reporter, settings, comm, link);
    }

    void Feed(const std::string& bytes) { engine->CM11ADataArrival(bytes, 2); }
    // Bytes arriving one at a time, each in a chunk of its own.
    void FeedEach(std::initializer_list<int> bytes) {
        for (int b : bytes) Feed(B({b}));
    }
    void Forget() {
        link.writes.clear();
        node.sent.clear();
    }
    // InitCM11A on port "1", and the clock message and status request it sends left
    // unanswered until the engine goes on without the answers.
    void Restart() {
        ASSERT_TRUE(engine->InitCM11A("1"));
        sim.Advance(Cm11aEngine::kClockAnswerMs + Cm11aEngine::kStatusAnswerMs);
    }
    void CaptureDebug() {
        reporter.SetDebug(true);
        reporter.SetConsole([this](const std::string& line) { debugLines.push_back(line); });
    }
    long DebugLinesWith(const std::string& text) const {
        return std::count_if(debugLines.begin(), debugLines.end(),
                             [&](const std::string& l) { return l.find(text) != std::string::npos; });
    }
    long Written(const std::string& bytes) const { return std::count(link.writes.begin(), link.writes.end(), bytes); }

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
    std::vector<std::string> debugLines;
};

// The interface's checksum: the sum of the bytes from `from` on, modulo 256.
inline int Checksum(const std::string& bytes, std::size_t from = 0) {
    unsigned sum = 0;
    for (std::size_t i = from; i < bytes.size(); ++i) sum += static_cast<unsigned char>(bytes[i]);
    return static_cast<int>(sum & 0xFF);
}

// Replies of a well-behaved interface to a command or the clock message: the checksum of
// a header/code pair or of the six clock bytes, 0x55 after the confirmation. Delivered as
// events delayMs after the write.
inline void AnswerLikeInterface(platform::SimPlatform& sim, ScriptedLink& link, Cm11aEngine& engine,
                                std::uint64_t delayMs) {
    link.onWrite = [&sim, &engine, delayMs](const std::string& bytes) {
        std::string reply = bytes == B({0}) ? B({0x55}) : "";
        const bool clock = bytes.size() == 7 && static_cast<unsigned char>(bytes[0]) == Cm11aEngine::kClockSet;
        if (bytes.size() == 2 || clock) reply = B({Checksum(bytes, clock ? 1 : 0)});
        if (!reply.empty()) sim.Post([&engine, reply] { engine.CM11ADataArrival(reply, 2); }, delayMs);
    };
}

}  // namespace quorvel::cm11a::test
