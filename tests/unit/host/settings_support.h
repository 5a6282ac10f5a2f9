// Helpers for the settings tests: the reports a Reporter has queued, the files in a folder.
#pragma once

#include "core/reporting.h"
#include "test_support/temp_dir.h"

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace quorvel::test {

// Value of one item of an xAP item list ("name\1value" items separated by "\0").
inline std::string Item(const std::string& list, const std::string& name) {
    const std::string items = '\0' + list;
    const std::string key = '\0' + name + '\1';
    const auto at = items.find(key);
    if (at == std::string::npos) return {};
    const auto start = at + key.size();
    return items.substr(start, items.find('\0', start) - start);
}

// (Type, Data) of every "Homeseer.Event" report queued while the xAP node is down.
inline std::vector<std::pair<std::string, std::string>> Reports(const core::Reporter& r) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& m : r.PendingXap()) {
        if (m.MsgClass == "Homeseer.Event") out.emplace_back(Item(m.MsgData, "Type"), Item(m.MsgData, "Data"));
    }
    return out;
}

inline std::vector<std::string> FileNames(const std::filesystem::path& dir) {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace quorvel::test
