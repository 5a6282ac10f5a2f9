// An xAP sender that records what it is asked to send (or throws while fail is set).
#pragma once

#include "xap/xap_sender.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace quorvel::test {

struct SentXap { std::string target, cls, section, data, sub, uid; };

class RecordingNode : public xap::XapSender {
public:
    std::string SendXap(const std::string& t, const std::string& c, const std::string& s, const std::string& d,
                        const std::string& sub, const std::string& uid) override {
        if (fail) throw std::runtime_error("socket gone");
        sent.push_back({t, c, s, d, sub, uid});
        return "";
    }
    std::vector<SentXap> sent;
    bool fail = false;
};

}  // namespace quorvel::test
