// What the engine tells its listeners about one X10 function: a command of ours that went
// over the power line (confirmed by the interface or not), one given up or never queued,
// or a function heard in an upload.
#pragma once

#include <string>
#include <vector>

namespace quorvel::cm11a {

// Who asked for an X10 function, or where it came from.
enum class X10Origin { XapRequest = 0, BscCommand = 1, Typed = 2, PowerLine = 3, Mqtt = 4 };

struct X10Activity {
    X10Origin Origin = X10Origin::XapRequest;
    bool Completed = true;             // false: a command of ours dropped unsent
    char House = 'A';                  // house letter of the function
    int Function = 0;                  // X10 function code 0..15
    int AmountPercent = 0;             // dim/bright amount, 0..100
    std::vector<std::string> Devices;  // addressed devices (upper case), in order; empty for a
                                       // house-wide function heard without an address
    int ExtData = -1;                  // an extended code: its data byte (0..255),
    int ExtCommand = -1;               // and its command byte
};

}  // namespace quorvel::cm11a
