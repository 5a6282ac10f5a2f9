// One xAP message in memory: the builder of outgoing text and the parser of received text.
//
// Wire text: one field per line, every line ended by a single LF (what we send) or CR LF
// (read alike: the CR before an LF is dropped). A header block ("xap-header" or "xap-hbeat",
// "{", fields, "}") is followed by named blocks of name=value items. The parser keeps the
// quirks peers and request handling rely on: any other carriage return stays in its line,
// the closing "}" of the last block opens one more, empty-named block, and the first
// registration of a block or item name wins.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quorvel::core {
class Reporter;
}

namespace quorvel::xap {

// Case-insensitive name -> number lookup that keeps the order of first registration. Small
// sets are searched in place; large ones (hostile input with thousands of names) get a hash
// index so that parsing stays linear.
class NameIndex {
public:
    // Registers name (compared without regard to case) -> number. Returns false, changing
    // nothing, when the name is already there.
    bool Add(std::string_view name, int number);
    // The number registered for name, or -1.
    int Find(std::string_view name) const;
    std::size_t Size() const { return entries_.size(); }
    bool Empty() const { return entries_.empty(); }
    // Names in the order they were registered, as given (not case-folded).
    std::string_view NameAt(std::size_t i) const { return entries_[i].name; }

private:
    static constexpr std::size_t kLinearLimit = 16;
    struct Entry {
        std::string_view name;
        int number;
    };
    std::vector<Entry> entries_;
    std::unique_ptr<std::unordered_map<std::string, int>> hashed_;  // lower-cased names
};

// The items of one parsed block: lower-cased, trimmed item name -> the whole raw line.
class ItemCollection {
public:
    std::size_t Count() const { return lines_.size(); }
    // The raw line stored under name (any case), or nullptr.
    const std::string_view* Find(std::string_view name) const;
    // Item names in order of registration (lower-cased) and their raw lines.
    std::string Key(std::size_t i) const;
    std::string_view Line(std::size_t i) const { return lines_[i]; }

private:
    friend class XapMessage;
    bool Add(std::string_view name, std::string_view line);
    NameIndex names_;
    std::vector<std::string_view> lines_;
};

class XapMessage {
public:
    // headerOpening: the first header lines up to and including "uid=" (the node owns it;
    // empty until the node's UID is set). log: where parse failures are written (may be null).
    explicit XapMessage(std::string headerOpening = {}, core::Reporter* log = nullptr);
    XapMessage(const XapMessage&) = delete;
    XapMessage& operator=(const XapMessage&) = delete;

    // Header fields, "Unknown" until set or parsed.
    const std::string& MsgClass() const { return class_; }
    const std::string& MsgTarget() const { return target_; }
    const std::string& MsgSource() const { return source_; }
    const std::string& MsgUID() const { return uid_; }
    void SetMsgClass(std::string v) { class_ = std::move(v); }
    void SetMsgTarget(std::string v) { target_ = std::move(v); }
    void SetMsgSource(std::string v) { source_ = std::move(v); }
    void SetMsgUID(std::string v) { uid_ = std::move(v); }

    // Building. Each returns 0.
    int AddHeader();
    int AddSection(std::string_view sSection);
    // sSection is accepted and ignored: the item goes to the block opened last.
    int AddItem(std::string_view sSection, std::string_view sItem, std::string_view sValue);
    // The text built so far followed by "}" LF; the buffer is left as it was.
    std::string ToXap() const;
    // Empties the text under construction; sMessage is ignored.
    int Init(std::string_view sMessage = {});
    void Reset() {}

    // Reading.
    int FromXap(std::string_view sRawMessage);
    // The text read last had lines ended by CR LF.
    bool CrLf() const { return crLf_; }
    // "Unknown" when the block is missing, "" when the item is, else everything after the
    // first "=" of the stored line, untrimmed.
    std::string GetItem(std::string_view sSection, std::string_view sItem) const;
    // Wildcard comparison of two xAP addresses: "*" matches one field, ">" the rest, on
    // either side; a ":sub-address" plays no part.
    static bool CompareAddress(std::string_view sItem1, std::string_view sItem2);
    bool CompareClass(std::string_view sClass) const;
    bool CompareSource(std::string_view sSource) const { return CompareAddress(sSource, source_); }
    bool CompareTarget(std::string_view sTarget) const { return CompareAddress(sTarget, target_); }
    // Block names (lower-cased) in order, without the empty-named block parsing adds at the
    // end; {""} when nothing was parsed.
    std::vector<std::string> MsgSection() const;
    // Items of block number index, or nullptr when there is no such block.
    const ItemCollection* msgCollection(int index) const;
    std::size_t BlockCount() const { return blocks_.size(); }

private:
    void LogParseFailure(std::string_view name, std::string_view value);

    std::string headerOpening_;
    core::Reporter* log_;
    std::string text_;  // under construction
    bool inBlock_ = false;

    std::string class_ = "Unknown";
    std::string target_ = "Unknown";
    std::string source_ = "Unknown";
    std::string uid_ = "Unknown";

    std::string raw_;  // parsed text; the collections point into it
    std::vector<std::unique_ptr<std::string>> moreRaw_;  // texts of later FromXap calls
    std::vector<ItemCollection> blocks_;
    NameIndex blockIndex_;
    bool crLf_ = false;
    int parseFailures_ = 0;      // names already present in the text being parsed
    std::string firstFailure_;   // the first of them, as name=value
};

}  // namespace quorvel::xap
