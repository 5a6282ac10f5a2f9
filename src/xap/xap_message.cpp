#include "xap/xap_message.h"

#include "core/reporting.h"
#include "core/settings.h"

#include <algorithm>
#include <stdexcept>

namespace quorvel::xap {

namespace {

// A parsed text gets one log line for its repeated names: the first one and the count of
// the others, so that a datagram full of them cannot flood the log.
constexpr std::size_t kFailureValueShown = 256;

// Field k of an address part split at ".", walking along it.
class FieldWalker {
public:
    explicit FieldWalker(std::string_view address) : rest_(address) {}
    std::string_view Next() {
        const std::size_t dot = rest_.find('.');
        std::string_view field = rest_.substr(0, dot);
        rest_ = dot == std::string_view::npos ? std::string_view{} : rest_.substr(dot + 1);
        return field;
    }

private:
    std::string_view rest_;
};

std::string_view BeforeColon(std::string_view address) { return address.substr(0, address.find(':')); }

}  // namespace

// ---------------------------------------------------------------- NameIndex

bool NameIndex::Add(std::string_view name, int number) {
    if (Find(name) >= 0) return false;
    if (entries_.empty()) entries_.reserve(8);
    entries_.push_back({name, number});
    if (hashed_) {
        hashed_->emplace(core::Lower(name), number);
    } else if (entries_.size() > kLinearLimit) {
        hashed_ = std::make_unique<std::unordered_map<std::string, int>>();
        hashed_->reserve(entries_.size() * 2);
        for (const Entry& e : entries_) hashed_->emplace(core::Lower(e.name), e.number);
    }
    return true;
}

int NameIndex::Find(std::string_view name) const {
    if (hashed_) {
        auto it = hashed_->find(core::Lower(name));
        return it == hashed_->end() ? -1 : it->second;
    }
    for (const Entry& e : entries_) {
        if (core::EqualsNoCase(e.name, name)) return e.number;
    }
    return -1;
}

// ---------------------------------------------------------------- ItemCollection

bool ItemCollection::Add(std::string_view name, std::string_view line) {
    if (!names_.Add(name, static_cast<int>(lines_.size()))) return false;
    if (lines_.empty()) lines_.reserve(8);
    lines_.push_back(line);
    return true;
}

const std::string_view* ItemCollection::Find(std::string_view name) const {
    const int i = names_.Find(name);
    return i < 0 ? nullptr : &lines_[static_cast<std::size_t>(i)];
}

std::string ItemCollection::Key(std::size_t i) const { return core::Lower(names_.NameAt(i)); }

// ---------------------------------------------------------------- XapMessage

XapMessage::XapMessage(std::string headerOpening, core::Reporter* log)
    : headerOpening_(std::move(headerOpening)), log_(log) {}

int XapMessage::AddHeader() {
    text_.reserve(text_.size() + 160);
    text_ += headerOpening_;
    text_ += uid_;
    text_ += "\nclass=";
    text_ += class_;
    text_ += "\nsource=";
    text_ += source_;
    text_ += '\n';
    if (!target_.empty()) {
        text_ += "target=";
        text_ += target_;
        text_ += '\n';
    }
    text_ += "}\n";
    inBlock_ = false;
    return 0;
}

int XapMessage::AddSection(std::string_view sSection) {
    if (inBlock_) text_ += "}\n";
    text_ += sSection;
    text_ += "\n{\n";
    inBlock_ = true;
    return 0;
}

int XapMessage::AddItem(std::string_view /*sSection*/, std::string_view sItem, std::string_view sValue) {
    text_ += sItem;
    text_ += '=';
    text_ += sValue;
    text_ += '\n';
    return 0;
}

std::string XapMessage::ToXap() const {
    std::string out;
    out.reserve(text_.size() + 2);
    out += text_;
    out += "}\n";
    return out;
}

int XapMessage::Init(std::string_view /*sMessage*/) {
    text_.clear();
    return 0;
}

void XapMessage::LogParseFailure(std::string_view name, std::string_view value) {
    if (log_ == nullptr) return;
    if (parseFailures_++ > 0) return;
    firstFailure_.assign(name);
    firstFailure_ += '=';
    firstFailure_ += value.substr(0, kFailureValueShown);
    if (value.size() > kFailureValueShown) firstFailure_ += "...";
}

int XapMessage::FromXap(std::string_view sRawMessage) {
    if (sRawMessage.empty()) return 0;
    // The collections point into the stored text, so every parsed text is kept as long as
    // the message lives.
    std::string_view text;
    if (raw_.empty() && blocks_.empty()) {
        raw_.assign(sRawMessage);
        text = raw_;
    } else {
        moreRaw_.push_back(std::make_unique<std::string>(sRawMessage));
        text = *moreRaw_.back();
    }

    // Lines are taken one at a time from the text, split at LF; a CR just before the LF goes
    // with it (senders on Windows end their lines with CR LF).
    std::size_t pos = 0;
    bool more = true;
    crLf_ = false;
    auto nextLine = [&](std::string_view& line) -> bool {
        if (!more) return false;
        const std::size_t lf = text.find('\n', pos);
        if (lf == std::string_view::npos) {
            line = text.substr(pos);
            more = false;
        } else {
            line = text.substr(pos, lf - pos);
            if (!line.empty() && line.back() == '\r') {
                line.remove_suffix(1);
                crLf_ = true;
            }
            pos = lf + 1;
        }
        return true;
    };

    std::string_view line;
    nextLine(line);
    if (!core::ContainsNoCase(line, "xap-header")) return 0;
    nextLine(line);  // "{", not checked

    parseFailures_ = 0;
    int block = -1;
    while (nextLine(line)) {
        if (line == "}") {
            ++block;
            if (blocks_.empty()) blocks_.reserve(4);
            blocks_.emplace_back();
            std::string_view name;
            if (!nextLine(name)) {
                // The text ends right after the "}": the block exists but has no name.
                LogParseFailure("}", "");
                continue;
            }
            if (!blockIndex_.Add(name, static_cast<int>(blocks_.size()) - 1)) {
                LogParseFailure(core::Lower(name), "");  // the first block of that name keeps answering
            }
            continue;
        }
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos) continue;  // "{" and other lines without "="
        const std::string_view name = core::Trim(line.substr(0, eq), " ");
        if (block < 0) {
            const std::string_view value = core::Trim(line.substr(eq + 1), " ");
            if (core::EqualsNoCase(name, "uid")) {
                uid_.assign(value);
            } else if (core::EqualsNoCase(name, "class")) {
                class_.assign(value);
            } else if (core::EqualsNoCase(name, "source")) {
                source_.assign(value);
            } else if (core::EqualsNoCase(name, "target")) {
                target_.assign(value);
            }
            continue;
        }
        if (!blocks_.back().Add(name, line)) LogParseFailure(core::Lower(name), line.substr(eq + 1));
    }
    if (parseFailures_ > 0 && log_ != nullptr) {
        std::string line = "From XAP " + firstFailure_;
        if (parseFailures_ > 1) line += " and " + std::to_string(parseFailures_ - 1) + " more names already present";
        log_->Fail("name already present", 457);
        log_->LogToFile(line, "");
    }
    return 0;
}

std::string XapMessage::GetItem(std::string_view sSection, std::string_view sItem) const {
    const int block = blockIndex_.Find(sSection);
    if (block < 0) return "Unknown";
    const std::string_view* line = blocks_[static_cast<std::size_t>(block)].Find(sItem);
    if (line == nullptr) return "";
    return std::string(line->substr(line->find('=') + 1));
}

bool XapMessage::CompareAddress(std::string_view sItem1, std::string_view sItem2) {
    if (sItem1.empty() || sItem2.empty()) return false;
    const std::string_view a = BeforeColon(sItem1);
    const std::string_view b = BeforeColon(sItem2);
    const auto lastA = std::count(a.begin(), a.end(), '.');
    const auto lastB = std::count(b.begin(), b.end(), '.');
    const bool fallback = lastA == lastB;
    FieldWalker fa(a);
    FieldWalker fb(b);
    for (auto i = decltype(lastA){0}; i <= std::min(lastA, lastB); ++i) {
        const std::string_view x = fa.Next();
        const std::string_view y = fb.Next();
        if (x == ">" || y == ">") return true;
        if (x != "*" && y != "*" && !core::EqualsNoCase(x, y)) return false;
    }
    return fallback;
}

bool XapMessage::CompareClass(std::string_view sClass) const { return core::EqualsNoCase(sClass, class_); }

std::vector<std::string> XapMessage::MsgSection() const {
    if (blockIndex_.Empty()) return {std::string()};
    std::vector<std::string> names;
    names.reserve(blockIndex_.Size());
    for (std::size_t i = 0; i + 1 < blockIndex_.Size(); ++i) names.push_back(core::Lower(blockIndex_.NameAt(i)));
    return names;
}

const ItemCollection* XapMessage::msgCollection(int index) const {
    if (index < 0 || static_cast<std::size_t>(index) >= blocks_.size()) return nullptr;
    return &blocks_[static_cast<std::size_t>(index)];
}

}  // namespace quorvel::xap
