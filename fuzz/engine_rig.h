// The CM11A engine on the simulated platform for the fuzz targets: a link that records
// nothing, echoes every write like the product's link (so the event pump runs inside each
// write) and, when asked, answers like a well-behaved interface, so that inputs reach the
// later states of the handshake without having to guess checksums.
#pragma once

#include "cm11a/cm11a_engine.h"
#include "cm11a/comm_window_model.h"
#include "cm11a/link_port.h"
#include "core/reporting.h"
#include "core/settings.h"
#include "platform/sim/sim_platform.h"
#include "xap/xap_sender.h"

#include <cstdlib>
#include <memory>
#include <string>

namespace quorvel::fuzz {

inline void Check(bool condition) {
    if (!condition) std::abort();
}

class EchoLink : public cm11a::LinkPort {
public:
    EchoLink(platform::SimPlatform& sim, cm11a::CommWindowModel& comm) : sim_(sim), comm_(comm) {}
    bool PortOpen(const std::string&) override { return open; }
    void WriteToCM11A(const std::string& bytes) override {
        if (!open) return;
        if (engine != nullptr && answer) Answer(bytes);
        comm_.EchoHex(bytes);
    }

    bool open = true;
    bool answer = false;
    cm11a::Cm11aEngine* engine = nullptr;

private:
    void Answer(const std::string& bytes) {
        std::string reply;
        if (bytes.size() == 2) {
            reply.push_back(static_cast<char>((static_cast<unsigned char>(bytes[0]) +
                                               static_cast<unsigned char>(bytes[1])) & 0xFF));
        } else if (bytes == std::string(1, '\0')) {
            reply.push_back(0x55);
        }
        if (reply.empty()) return;
        cm11a::Cm11aEngine* target = engine;
        sim_.Post([target, reply] { target->CM11ADataArrival(reply, 2); }, 40);
    }

    platform::SimPlatform& sim_;
    cm11a::CommWindowModel& comm_;
};

class CountingNode : public xap::XapSender {
public:
    std::string SendXap(const std::string&, const std::string&, const std::string&, const std::string&,
                        const std::string&, const std::string&) override {
        ++sent;
        return "";
    }
    int sent = 0;
};

struct EngineRig {
    EngineRig() : reporter(sim), comm(sim, reporter), link(sim, comm) {
        reporter.SetNode(&node);
        reporter.SetXapRunning(true);
        settings.ComPort = "127.0.0.1:10001";
        settings.Ignore = ",A5,";
        engine = std::make_unique<cm11a::Cm11aEngine>(sim, reporter, settings, comm, link);
        link.engine = engine.get();
    }
    ~EngineRig() { link.engine = nullptr; }

    // Invariants that hold after every step, whatever the input.
    void CheckBounds() const {
        Check(engine->TransmitQueue().size() <= cm11a::Cm11aEngine::kQueueLimit);
        Check(engine->HeardAddresses().size() <= cm11a::UploadDecoder::kHeardLimit);
        Check(comm.CommData().size() <= cm11a::CommWindowModel::kPaneLimit);
        Check(comm.CommStatus().size() <= cm11a::CommWindowModel::kPaneLimit);
        Check(engine->ReportRemaining() >= 0);
    }

    platform::SimPlatform sim;
    core::Reporter reporter;
    core::Settings settings;
    cm11a::CommWindowModel comm;
    EchoLink link;
    CountingNode node;
    std::unique_ptr<cm11a::Cm11aEngine> engine;
};

}  // namespace quorvel::fuzz
