// What the benchmarks that run the CM11A engine in simulated time share: its reporter and
// settings, set up to print nothing and to hand xAP messages to the bench's node.
#pragma once

#include "core/reporting.h"
#include "core/settings.h"
#include "xap/xap_sender.h"

#include <string>

namespace quorvel::bench {

inline void QuietEngineSetup(core::Reporter& reporter, core::Settings& settings, xap::XapSender& node) {
    reporter.SetNode(&node);
    reporter.SetXapRunning(true);
    reporter.SetConsole([](const std::string&) {});
    settings.ComPort = "127.0.0.1:10001";
    settings.Ignore = ",,";
}

}  // namespace quorvel::bench
