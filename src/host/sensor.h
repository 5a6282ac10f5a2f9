// A plain record of one sensor's settings, kept for the host interface's sake.
#pragma once

#include <cstdint>
#include <string>

namespace quorvel::host {

struct Sensor {
    std::string SerialNumber;
    std::int16_t FunctionType = 0;
    float Calibration = 0.0f;
    std::int16_t DisplayIndex = 0;
    std::int16_t SensorIndex = 0;
    std::string port;
    float History = 0.0f;
    bool ReversePolarity = false;
};

}  // namespace quorvel::host
