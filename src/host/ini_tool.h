// The INI file engine: one object holds the contents of one INI file, answers reads with a
// default, takes writes and removals, lists sections and keys, and saves the table back as
// a sorted file after keeping a "_bck" copy of the previous one. It also carries the install
// operations that copy INI values into constant declarations of a source text.
//
// Section and key names are case-insensitive (held upper-cased); values are bytes, kept
// exactly as read or written. Files are written with CR LF; LF alone is accepted on reading.
#pragma once

#include "core/reporting.h"
#include "platform/platform.h"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quorvel::host {

// Backslash-escapes every character with a meaning in an ECMAScript pattern, so that a name
// inserted into a pattern matches only itself.
std::string EscapeRegex(std::string_view name);

// Replaces the file at target with text: written to a temporary file in the same folder and
// renamed over the old one, so a crash mid-write never leaves a truncated file. Throws on
// failure; the old file is then untouched.
void ReplaceFileContents(const std::filesystem::path& target, const std::string& text);

// "YYYY-MM-DD hh:mm:ss" local time of a file's last modification; throws when missing.
std::string FileModifiedText(const std::filesystem::path& path);

class IniTool {
public:
    IniTool(core::Reporter& reporter, const platform::Clock& clock);
    IniTool(const IniTool&) = delete;
    IniTool& operator=(const IniTool&) = delete;

    // Lines without "=" named in the reports of one Load; the rest are counted in one more.
    static constexpr std::size_t kReportedBadLines = 3;

    // Empties the table and reads fPath. A missing file is created empty, with its folders
    // (unless SetCreateMissing(false): it then reads as empty and nothing is made). Throws
    // when the file can be neither read nor created. Lines it cannot read are reported at
    // the end, at most kReportedBadLines + 1 reports, each naming the file and line.
    void Load(const std::string& fPath);
    void SetCreateMissing(bool create) { createMissing_ = create; }
    // Where the reports of a Load go instead of ReportEvent("IniTool", ...) one by one.
    using ProblemSink = std::function<void(const std::string& path, const std::vector<std::string>& texts)>;
    void SetProblemSink(ProblemSink sink) { problemSink_ = std::move(sink); }
    // The value of Header/Key (any case), or defaultvalue when absent or empty.
    std::string Read(std::string_view Header, std::string_view Key, std::string_view defaultvalue) const;
    void WriteKey(const std::string& Header, const std::string& Key, const std::string& newValue);
    void Remove(std::string_view Header, std::string_view Key);
    // Section names as first written, in table order; an empty list stands for "no section".
    std::vector<std::string> Headers() const;
    // Upper-cased key names of the section, in table order; one empty name when there is none.
    std::vector<std::string> Keys(std::string_view Header) const;
    void Clear();
    // Writes the table, sorted, to the loaded path after copying the old file to path + "_bck".
    // Failures are reported, never thrown.
    void Save();
    void DumpHashTable() {}

    void InstallKeys(const std::string& filename, const std::string& HeaderName);
    void InstallConstant(const std::string& filename, const std::string& KeyName, const std::string& KeyValue);
    void InstallStrings(const std::string& filename, const std::string& HeaderName);
    void InstallArray(const std::string& filename, const std::string& HeaderName,
                      const std::string& Array1Name, const std::string& Array2Name);
    // Appends a line to the install log beside the loaded INI file; returns the install stamp.
    std::string LogInstall(const std::string& filename, const std::string& name);

    const std::string& LoadedPath() const { return path_; }

private:
    struct KeyEntry {
        std::string Section;  // upper case
        std::string Key;      // upper case
        std::string Value;
    };
    using KeyList = std::list<KeyEntry>;

    static std::string IndexKey(std::string_view upperSection, std::string_view upperKey);
    void AddSection(const std::string& name);
    void ParseLine(std::string_view line, std::string& currentSection);
    void ReportFailure(const std::string& description);
    void ReportLoadProblems();

    core::Reporter& reporter_;
    const platform::Clock& clock_;
    std::string path_;
    bool createMissing_ = true;
    ProblemSink problemSink_;
    std::size_t lineNumber_ = 0;
    std::size_t badLines_ = 0;
    std::vector<std::string> problems_;
    std::vector<std::pair<std::string, std::string>> sections_;  // upper name, first form
    std::unordered_map<std::string, std::size_t> sectionIndex_;
    KeyList keys_;
    std::unordered_map<std::string, KeyList::iterator> keyIndex_;
};

}  // namespace quorvel::host
