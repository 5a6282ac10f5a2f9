// One queued X10 command, its transmit state, and the first-in, first-out queue of them.
#pragma once

#include <deque>
#include <string>
#include <string_view>

namespace quorvel::cm11a {

// Where the head command stands in its handshake with the interface. The numbers appear in
// messages. A "Send" state waits for the engine to write (the line must be free); an
// "Await" state waits for the interface's reply, with the reply time-out running.
enum class TxState : int {
    SendAddress = 0,            // header and address to write
    AwaitAddressChecksum = 1,   // their checksum awaited; 0x00 follows when it is right
    AwaitAddressReady = 3,      // 0x00 written, the interface's 0x55 awaited
    SendFunction = 4,           // header and function to write
    AwaitFunctionChecksum = 5,  // their checksum awaited; until it is confirmed a restart is safe
    AwaitFunctionReady = 7,     // 0x00 written: the function is on the power line and never sent again
};

inline std::string_view TxStateName(TxState s) {
    switch (s) {
    case TxState::SendAddress: return "SendAddress";
    case TxState::AwaitAddressChecksum: return "AwaitAddressChecksum";
    case TxState::AwaitAddressReady: return "AwaitAddressReady";
    case TxState::SendFunction: return "SendFunction";
    case TxState::AwaitFunctionChecksum: return "AwaitFunctionChecksum";
    case TxState::AwaitFunctionReady: return "AwaitFunctionReady";
    }
    return "?";
}

struct X10Queue {
    std::string DC;      // device code as queued, letter case kept
    int Header = 0;      // address byte of the device
    int Command = 0;     // X10 function code 0..15
    TxState State = TxState::SendAddress;
    int Retry = 0;       // time-outs counted for this item
    int Brightness = 0;  // dim steps placed in the header bytes (0..22)
    int WrongReplies = 0;  // wrong checksums received for this item
    bool Announced = false;  // its "xAP-x10.Event" went out (before its first transmission)
    int Origin = 0;        // who asked for it (X10Origin), told to the activity listeners
    int ExtData = -1;      // an extended frame (function 7) when 0..255: its data byte,
    int ExtCommand = 0;    // and its command byte
    std::string Sender;    // who queued it (an xAP source, MQTT, typed): the round-robin key
};

// The head (front) is the only item ever in transmission; the next head is taken round-robin
// by sender.
using TransmitQueue = std::deque<X10Queue>;

}  // namespace quorvel::cm11a
