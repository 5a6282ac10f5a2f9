// The xAP message parser and its look-ups, then the request handling on top of them, fed
// one arbitrary datagram per run.
#include "app/request_handler.h"
#include "core/reporting.h"
#include "core/settings.h"
#include "platform/sim/sim_platform.h"
#include "xap/xap_message.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

using namespace quorvel;

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

void LookUps(const xap::XapMessage& m) {
    const std::vector<std::string> sections = m.MsgSection();
    // One name per block but the empty-named one parsing adds at the end; {""} for none.
    Check(sections.size() <= std::max<std::size_t>(m.BlockCount(), 1));
    for (std::size_t b = 0; b < m.BlockCount(); ++b) {
        const xap::ItemCollection* items = m.msgCollection(static_cast<int>(b));
        Check(items != nullptr);
        for (std::size_t i = 0; i < items->Count() && i < 64; ++i) {
            const std::string key = items->Key(i);
            Check(items->Find(key) != nullptr);
            if (b < sections.size()) (void)m.GetItem(sections[b], key);
        }
    }
    Check(m.msgCollection(static_cast<int>(m.BlockCount())) == nullptr);
    Check(m.msgCollection(-1) == nullptr);
    (void)m.GetItem("xAP-X10.request", "device");
    (void)m.GetItem("", "");
    (void)m.CompareClass("xAP-X10.request");
    (void)m.CompareTarget("zeb.CM11A.host");
    (void)m.CompareSource(m.MsgTarget());
    (void)xap::XapMessage::CompareAddress(m.MsgSource(), m.MsgTarget());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    platform::SimPlatform sim;
    core::Reporter reporter(sim);
    reporter.SetDebug(true);  // the debug lines quote the raw message

    {
        xap::XapMessage m("xap-header\n{\nv=12\nhop=1\nuid=FF008700\n", &reporter);
        m.FromXap(text);
        LookUps(m);
        // A second text in the same object keeps the first one's look-ups valid.
        m.FromXap(text.substr(text.size() / 2));
        LookUps(m);
    }

    core::Settings settings;
    settings.Ignore = ",A5,";
    int sent = 0;
    app::RequestActions actions;
    actions.CM11AReady = [] { return true; };
    actions.XapSource = [] { return std::string("zeb.CM11A.host"); };
    actions.HeaderOpening = [] { return std::string("xap-header\n{\nv=12\nhop=1\nuid=FF008700\n"); };
    // The command is an X10 function code, or -1 for a name that is none (the engine refuses it).
    actions.SendCM11A = [&sent](const std::string&, int command, int, const std::string&) {
        Check(command >= -1 && command < 16);
        ++sent;
    };
    app::RequestHandler handler(reporter, settings, actions);
    handler.Readmessage(text);
    return 0;
}
