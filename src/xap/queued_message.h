// One outgoing xAP message held back until the xAP node runs.
#pragma once

#include <string>

namespace quorvel::xap {

struct xapQueuedMessage {
    std::string MsgTarget;            // empty: broadcast to all listeners
    std::string MsgClass;
    std::string MsgSection;           // name of the single body block
    std::string MsgData;              // item list: "\0" between items, "\1" between name and value
    std::string MsgSubAddress;
    std::string MsgTargetSubAddress;
    std::string MsgUID;
};

}  // namespace quorvel::xap
