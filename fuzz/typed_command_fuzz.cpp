// Commands typed into the communications window ("A1 ON", "B2 DIM 11"), fed arbitrary text
// and carried out by the CM11A engine against an interface that answers correctly.
#include "engine_rig.h"

#include <cstddef>
#include <cstdint>
#include <string>

using namespace quorvel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 4096) return 0;
    const std::string text(reinterpret_cast<const char*>(data), size);
    fuzz::EngineRig rig;
    rig.link.answer = true;
    rig.engine->InitCM11A(rig.settings.ComPort);
    rig.comm.Form_Load();
    // Each line is one typed command.
    std::size_t start = 0;
    for (int lines = 0; start <= text.size() && lines < 64; ++lines) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        rig.comm.SendToRain8_Click(text.substr(start, end - start));
        rig.CheckBounds();
        rig.sim.Advance(500);
        start = end + 1;
    }
    for (int i = 0; i < 2000 && !rig.engine->TransmitQueue().empty(); ++i) rig.sim.Advance(1000);
    fuzz::Check(rig.engine->TransmitQueue().empty());
    rig.CheckBounds();
    return 0;
}
