#include "host/ini_tool.h"

#include "core/folders.h"
#include "core/settings.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <fstream>
#include <functional>
#include <locale>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace quorvel::host {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kHeaderWidth = 100;
constexpr std::size_t kKeyWidth = 65;
// A reported line is cut to this many bytes; an xAP datagram cannot carry a megabyte.
constexpr std::size_t kReportedLineMax = 80;

// The line as it may appear in a report: cut when long, every byte outside printable ASCII
// (control bytes would split the xAP item list or the log line) written as \xNN.
// A line that starts with "password" (a "Password: x" typed without "=") is not shown beyond
// that word: reports go to every listener on the xAP network.
std::string ReportableLine(std::string_view line) {
    const std::string_view start = core::Trim(line, " ").substr(0, 8);
    if (core::Upper(start) == "PASSWORD") return std::string(start) + "... (hidden)";
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (const char c : line.substr(0, kReportedLineMax)) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7f) {
            out += c;
        } else {
            out += "\\x";
            out += kHex[b >> 4];
            out += kHex[b & 0x0f];
        }
    }
    if (line.size() > kReportedLineMax) out += "...";
    return out;
}

std::string ReadWholeFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path.string());
    std::ostringstream ss;
    ss << in.rdbuf();
    if (in.bad()) throw std::runtime_error("cannot read " + path.string());
    return ss.str();
}

bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

std::string WithoutLineBreaks(std::string s) {
    std::replace(s.begin(), s.end(), '\r', ' ');
    std::replace(s.begin(), s.end(), '\n', ' ');
    return s;
}

// Rewrites the rest of the line after every match of re: the text from the end of the match
// up to the line end (CR LF or LF, which stay) gives way to replacement(match).
std::string RewriteMatches(const std::string& text, const std::regex& re,
                           const std::function<std::string(const std::smatch&)>& replacement) {
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator(); ++it) {
        const std::smatch& m = *it;
        const auto start = static_cast<std::size_t>(m.position(0));
        if (start < pos) continue;  // inside a line already rewritten
        const std::size_t end = start + static_cast<std::size_t>(m.length(0));
        std::size_t lineEnd = text.find('\n', end);
        if (lineEnd == std::string::npos) {
            lineEnd = text.size();
        } else if (lineEnd > end && text[lineEnd - 1] == '\r') {
            --lineEnd;
        }
        out.append(text, pos, end - pos);
        out += replacement(m);
        pos = lineEnd;
    }
    out.append(text, pos, std::string::npos);
    return out;
}

std::regex Pattern(const std::string& pattern) {
    // Case-blind matching by the classic rules, never by the global locale's.
    std::regex re;
    re.imbue(std::locale::classic());
    re.assign(pattern, std::regex::ECMAScript | std::regex::icase);
    return re;
}

}  // namespace

std::string EscapeRegex(std::string_view name) {
    static constexpr std::string_view kSpecial = "^$\\.*+?()[]{}|/";
    std::string out;
    out.reserve(name.size() * 2);
    for (char c : name) {
        if (kSpecial.find(c) != std::string_view::npos) out += '\\';
        out += c;
    }
    return out;
}

void ReplaceFileContents(const fs::path& target, const std::string& text) {
    // A name beside the target that nothing else uses (the clock tick, then a free suffix).
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    fs::path temp;
    for (int i = 0; i < 1000; ++i) {
        temp = target;
        temp += ".tmp" + std::to_string(stamp % 1000000007) + "-" + std::to_string(i);
        std::error_code exists;
        if (!fs::exists(temp, exists)) break;
    }
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) throw std::runtime_error("cannot create " + temp.string());
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.close();
        if (!out) {
            std::error_code ec;
            fs::remove(temp, ec);
            throw std::runtime_error("cannot write " + temp.string());
        }
    }
    std::error_code ec;
    fs::rename(temp, target, ec);
    if (ec) {
        std::error_code ignored;
        fs::remove(temp, ignored);
        throw std::runtime_error("cannot replace " + target.string() + ": " + ec.message());
    }
}

std::string FileModifiedText(const fs::path& path) {
    const auto fileTime = fs::last_write_time(path);  // throws when missing
    const auto sysTime = std::chrono::file_clock::to_sys(fileTime);
    const std::time_t t = std::chrono::system_clock::to_time_t(
        std::chrono::time_point_cast<std::chrono::system_clock::duration>(sysTime));
    std::tm local{};
    localtime_r(&t, &local);
    char buf[32] = {};
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &local);
    return buf;
}

IniTool::IniTool(core::Reporter& reporter, const platform::Clock& clock)
    : reporter_(reporter), clock_(clock) {}

std::string IniTool::IndexKey(std::string_view upperSection, std::string_view upperKey) {
    std::string k = std::to_string(upperSection.size());
    k += '|';
    k += upperSection;
    k += upperKey;
    return k;
}

void IniTool::Clear() {
    problems_.clear();
    badLines_ = 0;
    sections_.clear();
    sectionIndex_.clear();
    keys_.clear();
    keyIndex_.clear();
}

void IniTool::AddSection(const std::string& name) {
    if (name.empty()) return;  // the unnamed section before the first header has no entry
    std::string upper = core::Upper(name);
    if (sectionIndex_.count(upper) != 0) return;
    sectionIndex_.emplace(upper, sections_.size());
    sections_.emplace_back(std::move(upper), name);
}

void IniTool::Load(const std::string& fPath) {
    Clear();
    path_ = fPath;
    const fs::path path(fPath);
    std::error_code ec;
    if (!fs::exists(path, ec)) {
        if (!createMissing_) return;
        core::CreateFolders(fPath, reporter_);
        std::ofstream create(path, std::ios::binary | std::ios::app);
        if (!create) throw std::runtime_error("cannot create " + fPath);
        return;
    }
    const std::string text = ReadWholeFile(path);
    std::string current;
    std::size_t pos = 0;
    lineNumber_ = 0;
    // Lines end in CR LF, LF or a lone CR (files edited on older systems, or with mixed
    // ends): a CR is never part of a name or a value read from the file.
    while (pos < text.size()) {
        std::size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string::npos) end = text.size();
        ++lineNumber_;
        ParseLine(std::string_view(text.data() + pos, end - pos), current);
        pos = end + 1;
        if (end < text.size() && text[end] == '\r' && pos < text.size() && text[pos] == '\n') ++pos;
    }
    ReportLoadProblems();
}

void IniTool::ReportLoadProblems() {
    if (badLines_ > problems_.size()) {
        problems_.push_back(" Equal sign not found on " + std::to_string(badLines_ - problems_.size()) +
                            " more lines of " + path_);
    }
    if (problems_.empty()) return;
    if (problemSink_) {
        problemSink_(path_, problems_);
    } else {
        for (const std::string& text : problems_) reporter_.ReportEvent("IniTool", text);
    }
}

void IniTool::ParseLine(std::string_view raw, std::string& currentSection) {
    const std::string_view line = core::Trim(raw, " ");
    if (line.empty() || line.front() == ';') return;
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
        const std::string name(line.substr(1, line.size() - 2));
        AddSection(name);
        currentSection = core::Upper(name);
        return;
    }
    const auto eq = line.find('=');
    if (eq == std::string_view::npos) {
        // A damaged file (binary, or a text file of another kind) would otherwise give one
        // report per line: the first few are named, the rest counted.
        if (++badLines_ <= kReportedBadLines) {
            problems_.push_back(" Equal sign not found on line " + std::to_string(lineNumber_) + " of " + path_ +
                                ": " + ReportableLine(line));
        }
        return;
    }
    std::string key = core::Upper(line.substr(0, eq));
    std::string index = IndexKey(currentSection, key);
    if (keyIndex_.count(index) != 0) return;  // the first occurrence wins
    keys_.push_back(KeyEntry{currentSection, std::move(key), std::string(line.substr(eq + 1))});
    keyIndex_.emplace(std::move(index), std::prev(keys_.end()));
}

std::string IniTool::Read(std::string_view Header, std::string_view Key, std::string_view defaultvalue) const {
    const auto it = keyIndex_.find(IndexKey(core::Upper(Header), core::Upper(Key)));
    if (it == keyIndex_.end() || it->second->Value.empty()) return std::string(defaultvalue);
    return it->second->Value;
}

void IniTool::WriteKey(const std::string& Header, const std::string& Key, const std::string& newValue) {
    AddSection(Header);
    const std::string section = core::Upper(Header);
    std::string key = core::Upper(Key);
    std::string index = IndexKey(section, key);
    const auto it = keyIndex_.find(index);
    if (it != keyIndex_.end()) {
        it->second->Value = newValue;
        return;
    }
    keys_.push_back(KeyEntry{section, std::move(key), newValue});
    keyIndex_.emplace(std::move(index), std::prev(keys_.end()));
}

void IniTool::Remove(std::string_view Header, std::string_view Key) {
    const auto it = keyIndex_.find(IndexKey(core::Upper(Header), core::Upper(Key)));
    if (it == keyIndex_.end()) return;
    keys_.erase(it->second);
    keyIndex_.erase(it);
}

std::vector<std::string> IniTool::Headers() const {
    std::vector<std::string> out;
    out.reserve(sections_.size());
    for (const auto& s : sections_) out.push_back(s.second);
    return out;
}

std::vector<std::string> IniTool::Keys(std::string_view Header) const {
    // The section name is compared as a whole, as an escaped, anchored pattern would: "a.b"
    // does not list the keys of "aXb", nor "Gen" those of "General".
    const std::string section = core::Upper(Header);
    std::vector<std::string> out;
    for (const auto& e : keys_) {
        if (e.Section != section) continue;
        if (core::Trim(e.Key, " ").empty()) continue;
        out.push_back(e.Key);
    }
    if (out.empty()) out.emplace_back();
    return out;
}

void IniTool::ReportFailure(const std::string& description) {
    reporter_.Fail(description);
    reporter_.ReportEvent(core::kAppName, "IniTool Save " + path_);
}

void IniTool::Save() {
    // 1-2. The rows to write; names wider than the columns of the sort table are reported
    // but written in full, so that no value is lost.
    std::vector<const KeyEntry*> rows;
    rows.reserve(keys_.size());
    for (const auto& e : keys_) {
        if (e.Section.size() > kHeaderWidth) ReportFailure("section name longer than 100 characters");
        if (e.Key.size() > kKeyWidth) ReportFailure("key name longer than 65 characters");
        rows.push_back(&e);
    }
    if (path_.empty()) {
        ReportFailure("no file loaded");
        return;
    }
    const fs::path path(path_);

    // 3. Backup of the previous file.
    try {
        std::error_code ec;
        if (fs::exists(path, ec)) {
            fs::path backup = path;
            backup += "_bck";
            fs::copy_file(path, backup, fs::copy_options::overwrite_existing);
        }
    } catch (const std::exception& e) {
        ReportFailure(e.what());
    }

    // 4-6. The sorted text, written through a temporary file renamed over the old one.
    std::stable_sort(rows.begin(), rows.end(), [](const KeyEntry* a, const KeyEntry* b) {
        if (a->Section != b->Section) return a->Section < b->Section;
        return a->Key < b->Key;
    });
    std::string text;
    std::string current;
    for (const KeyEntry* row : rows) {
        std::string section = row->Section;
        std::string key = row->Key;
        std::string value = row->Value;
        if (HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value)) {
            // A line break would split the entry and inject lines of its own.
            ReportFailure("line break in " + ReportableLine(section) + "/" + ReportableLine(key));
            section = WithoutLineBreaks(std::move(section));
            key = WithoutLineBreaks(std::move(key));
            value = WithoutLineBreaks(std::move(value));
        }
        if (section != current) {
            current = section;
            text += "[" + section + "]\r\n";
        }
        text += key;
        text += '=';
        text += value;
        text += "\r\n";
    }
    try {
        ReplaceFileContents(path, text);
    } catch (const std::exception& e) {
        ReportFailure(e.what());
    }
}

std::string IniTool::LogInstall(const std::string& filename, const std::string& name) {
    if (path_.empty()) throw std::runtime_error("no INI file loaded");
    const fs::path ini = fs::absolute(fs::path(path_));
    const std::string iniDate = FileModifiedText(ini);
    const std::string stamp = "\t'Installed From .ini dated " + iniDate;

    // The log lies beside the INI file and bears its name up to the first ".".
    const std::string iniName = ini.filename().string();
    const auto dot = iniName.find('.');
    if (dot == std::string::npos) return stamp;
    const fs::path log = ini.parent_path() / (iniName.substr(0, dot) + "_IniLog.txt");

    std::string content;
    std::error_code ec;
    if (fs::exists(log, ec)) {
        content = ReadWholeFile(log);
    } else {
        content = "Run Date   /   Ini File   /   Date of Ini File    /   File Modified    /  Header Modified\r\n";
    }
    content += clock_.LocalDateTime() + "\t" + ini.string() + "\t" + iniDate + "\t" + filename + "\t" + name + "\r\n";
    ReplaceFileContents(log, content);
    return stamp;
}

void IniTool::InstallKeys(const std::string& filename, const std::string& HeaderName) {
    std::string text = ReadWholeFile(filename);
    const std::string stamp = LogInstall(filename, HeaderName);
    for (const std::string& name : Keys(HeaderName)) {
        if (name.empty()) continue;
        const std::string replacement = " " + Read(HeaderName, name, "") + stamp;
        const std::string n = EscapeRegex(name);
        for (const std::string& p : {"(Const) *(" + n + ") *(=)", "\\n\\s*(" + n + ") *(=)"}) {
            text = RewriteMatches(text, Pattern(p), [&](const std::smatch&) { return replacement; });
        }
    }
    ReplaceFileContents(filename, text);
}

void IniTool::InstallConstant(const std::string& filename, const std::string& KeyName, const std::string& KeyValue) {
    std::string text = ReadWholeFile(filename);
    const std::string stamp = LogInstall(filename, KeyName);
    if (!KeyName.empty()) {
        const std::string replacement = " " + KeyValue + stamp;
        const std::string n = EscapeRegex(KeyName);
        for (const std::string& p : {"(Const) *(" + n + ") *(=)", "\\n\\s*(" + n + ") *(=)"}) {
            text = RewriteMatches(text, Pattern(p), [&](const std::smatch&) { return replacement; });
        }
    }
    ReplaceFileContents(filename, text);
}

void IniTool::InstallStrings(const std::string& filename, const std::string& HeaderName) {
    std::string text = ReadWholeFile(filename);
    (void)LogInstall(filename, HeaderName);
    for (const std::string& name : Keys(HeaderName)) {
        if (name.empty()) continue;
        const std::string value = Read(HeaderName, name, "");
        text = RewriteMatches(text, Pattern("\\n\\s*(" + EscapeRegex(name) + ")"),
                              [&](const std::smatch&) { return value; });
    }
    ReplaceFileContents(filename, text);
}

void IniTool::InstallArray(const std::string& filename, const std::string& HeaderName,
                           const std::string& Array1Name, const std::string& Array2Name) {
    std::string text = ReadWholeFile(filename);
    const std::string stamp = LogInstall(filename, HeaderName);
    std::string names;
    std::string values;
    bool first = true;
    for (const std::string& name : Keys(HeaderName)) {
        std::string value(core::Trim(Read(HeaderName, name, ""), " "));
        const auto quote = value.find('\'');
        if (quote != std::string::npos) value = std::string(core::Trim(std::string_view(value).substr(0, quote), " "));
        if (!first) {
            names += ',';
            values += ',';
        }
        first = false;
        names += "\"" + name + "\"";
        values += value;
    }
    const std::string namesText = "(" + names + ")" + stamp;
    const std::string valuesText = "(" + values + ")" + stamp;
    text = RewriteMatches(text, Pattern("(" + EscapeRegex(Array1Name) + ") *(=) *(Array)"),
                          [&](const std::smatch&) { return namesText; });
    text = RewriteMatches(text, Pattern("(" + EscapeRegex(Array2Name) + ") *= *Array"),
                          [&](const std::smatch&) { return valuesText; });
    ReplaceFileContents(filename, text);
}

}  // namespace quorvel::host
