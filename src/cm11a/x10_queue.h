// One queued X10 command and the first-in, first-out queue of them.
#pragma once

#include <deque>
#include <string>

namespace quorvel::cm11a {

struct X10Queue {
    std::string DC;      // device code as queued, letter case kept
    int Header = 0;      // address byte of the device
    int Command = 0;     // X10 function code 0..15
    int State = 0;       // transmit state 0..7
    int Retry = 0;       // time-outs counted for this item
    int Brightness = 0;  // dim amount placed in the header bytes (0..22)
    int WrongReplies = 0;  // wrong checksums received for this item
    bool Announced = false;  // its "xAP-x10.Event" went out (before its first transmission)
    int Origin = 0;        // who asked for it (X10Origin), told to the activity observer
};

// The head (front) is the only item ever in transmission.
using TransmitQueue = std::deque<X10Queue>;

}  // namespace quorvel::cm11a
