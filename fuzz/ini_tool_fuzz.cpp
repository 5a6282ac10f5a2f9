// The INI engine reading an arbitrary file, changing it and saving it, in a temporary
// folder. What was read must read back the same after a save and a fresh load.
#include "core/reporting.h"
#include "core/settings.h"
#include "host/ini_tool.h"
#include "platform/sim/sim_platform.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <tuple>
#include <vector>

using namespace quorvel;
namespace fs = std::filesystem;

namespace {

void CheckAt(bool condition, int line) {
    if (condition) return;
    std::fprintf(stderr, "check failed at line %d\n", line);
    std::abort();
}
#define Check(condition) CheckAt((condition), __LINE__)

// One folder for the whole run (below TMPDIR; scripts/fuzz.sh points that at its build folder).
const fs::path& Folder() {
    static const fs::path folder = [] {
        std::string pattern = (fs::temp_directory_path() / "quorvel-fuzz-ini.XXXXXX").string();
        Check(mkdtemp(pattern.data()) != nullptr);
        std::atexit([] {
            std::error_code ec;
            fs::remove_all(Folder(), ec);
        });
        return fs::path(pattern);
    }();
    return folder;
}

bool HasLineBreak(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fs::path file = Folder() / "Config" / "Fuzz.ini";
    std::error_code ec;
    fs::remove_all(Folder() / "Config", ec);
    fs::create_directories(file.parent_path());
    {
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }

    platform::SimPlatform sim;
    core::Reporter reporter(sim);
    host::IniTool ini(reporter, sim);
    ini.Load(file.string());

    // Everything that was read, as (section, key, value).
    std::vector<std::tuple<std::string, std::string, std::string>> seen;
    std::vector<std::string> sections = ini.Headers();
    sections.emplace_back();  // keys before the first section header
    for (const std::string& section : sections) {
        for (const std::string& key : ini.Keys(section)) {
            const std::string value = ini.Read(section, key, "\x01none");
            if (!HasLineBreak(section) && !HasLineBreak(key) && !HasLineBreak(value)) {
                seen.emplace_back(section, key, value);
            }
        }
    }

    // Changes: a new key, a changed one, a removed one, a value with a line break.
    const auto ours = [](const std::string& section, const std::string& key) {
        return core::Upper(section) == "FUZZ" && (core::Upper(key) == "ADDED" || core::Upper(key) == "BROKEN");
    };
    std::string removedSection, removedKey;
    if (!seen.empty()) {
        removedSection = std::get<0>(seen.back());
        removedKey = std::get<1>(seen.back());
        ini.Remove(removedSection, removedKey);
        seen.pop_back();
        if (ours(removedSection, removedKey)) removedKey.clear();
    }
    ini.WriteKey("Fuzz", "Added", "value");
    ini.WriteKey("Fuzz", "Broken", "two\r\nlines");
    ini.Save();
    Check(fs::exists(file.string() + "_bck"));

    host::IniTool again(reporter, sim);
    again.Load(file.string());
    for (const auto& [section, key, value] : seen) {
        if (ours(section, key)) continue;
        Check(again.Read(section, key, "\x01none") == value);
    }
    if (!removedKey.empty()) Check(again.Read(removedSection, removedKey, "\x01none") == "\x01none");
    Check(again.Read("Fuzz", "Added", "") == "value");
    Check(!HasLineBreak(again.Read("Fuzz", "Broken", "")));
    return 0;
}
