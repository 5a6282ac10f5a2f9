// The CM11A engine fed arbitrary interface bytes interleaved with commands, time steps and
// link changes, in simulated time. The input is a little program: each operation byte
// picks what happens next and the bytes after it are its arguments.
#include "engine_rig.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

using namespace quorvel;

namespace {

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool Done() const { return pos_ >= size_; }
    std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::string Bytes(std::size_t n) {
        n = std::min(n, size_ - pos_);
        std::string out(reinterpret_cast<const char*>(data_ + pos_), n);
        pos_ += n;
        return out;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

std::string Device(std::uint8_t b) {
    // Mostly valid codes, sometimes odd text.
    static const char* const kOdd[] = {"", "A", "A0", "A17", "Q1", "a1", "A1 ", "1A", "AA1", "A-1"};
    if (b >= 0xF0) return kOdd[b % 10];
    return std::string(1, static_cast<char>('A' + (b >> 4))) + std::to_string((b & 0x0F) + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 4096) return 0;
    Input in(data, size);
    fuzz::EngineRig rig;
    rig.link.answer = (in.Byte() & 1) != 0;
    rig.engine->InitCM11A(rig.settings.ComPort);
    for (int steps = 0; !in.Done() && steps < 512; ++steps) {
        const std::uint8_t op = in.Byte();
        switch (op % 8) {
        case 0:
        case 1:  // bytes from the interface
            rig.engine->CM11ADataArrival(in.Bytes(1 + op / 16), 2);
            break;
        case 2: {  // a command
            const std::string device = Device(in.Byte());
            const int command = static_cast<int>(in.Byte()) - (op >= 128 ? 0 : 120);
            const int brightness = static_cast<int>(static_cast<std::int8_t>(in.Byte()));
            rig.engine->SendCM11A(device, command, brightness);
            break;
        }
        case 3:  // time passes (up to about 20 s, past the reply time-out)
            rig.sim.Advance(static_cast<std::uint64_t>(in.Byte()) * 80);
            break;
        case 4:  // the link goes down or comes back
            rig.link.open = !rig.link.open;
            if (rig.link.open) rig.engine->LinkOpened();
            break;
        case 5:  // a link event other than data
            rig.engine->CM11ADataArrival(in.Bytes(1), 1000 + in.Byte());
            break;
        case 6:  // the reply time-out fires
            rig.engine->CM11ATimer_Timer();
            break;
        case 7:  // the link is opened afresh (a new ComPort)
            if ((op & 0x80) != 0) rig.engine->InitCM11A(rig.settings.ComPort);
            else rig.link.answer = !rig.link.answer;
            break;
        }
        rig.CheckBounds();
    }
    // Whatever happened, a working interface drains the queue in bounded time.
    rig.link.open = true;
    rig.link.answer = true;
    rig.engine->LinkOpened();
    for (int i = 0; i < 20000 && !rig.engine->TransmitQueue().empty(); ++i) rig.sim.Advance(1000);
    fuzz::Check(rig.engine->TransmitQueue().empty());
    rig.CheckBounds();
    return 0;
}
