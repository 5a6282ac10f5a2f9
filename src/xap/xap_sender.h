// What the application's send path needs of the xAP node.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace quorvel::xap {

class XapSender {
public:
    virtual ~XapSender() = default;
    // Builds one message with one block from an item list and broadcasts it. Returns the
    // empty text.
    virtual std::string SendXap(const std::string& sTarget, const std::string& sClass,
                                const std::string& sSection, const std::string& sData,
                                const std::string& sSubaddress, const std::string& sUID) = 0;
};

// Item list of an outgoing message body: each item is name, '\1', value; items are
// separated by '\0'.
inline std::string ItemList(std::initializer_list<std::pair<std::string_view, std::string_view>> items) {
    std::string out;
    bool first = true;
    for (const auto& [name, value] : items) {
        if (!first) out.push_back('\0');
        first = false;
        out.append(name);
        out.push_back('\1');
        out.append(value);
    }
    return out;
}

}  // namespace quorvel::xap

namespace quorvel::xap {

// Where the main window drains received messages from (the xAP node's receive queue).
class MessageSource {
public:
    virtual ~MessageSource() = default;
    // Removes and returns the oldest queued message, or the empty text.
    virtual std::string GetMessage() = 0;
};

}  // namespace quorvel::xap
