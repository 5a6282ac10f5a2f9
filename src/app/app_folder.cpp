#include "app/app_folder.h"

#include "app/configuration.h"

#include <fstream>
#include <system_error>

#include <unistd.h>

namespace quorvel::app {

namespace fs = std::filesystem;

namespace {

std::string MakeFolder(const fs::path& folder) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    std::error_code check;
    if (fs::is_directory(folder, check)) return {};
    if (!ec && fs::exists(folder, check)) return "a file of that name is in the way";
    return ec ? ec.message() : std::string("not a folder");
}

// A file can be created and removed in folder.
bool FolderWritable(const fs::path& folder) {
    const fs::path probe = folder / (".quorvel-write-test-" + std::to_string(::getpid()));
    bool ok = false;
    {
        std::ofstream out(probe, std::ios::binary | std::ios::trunc);
        ok = static_cast<bool>(out);
    }
    std::error_code ec;
    fs::remove(probe, ec);
    return ok;
}

}  // namespace

AppFolderState PrepareAppFolder(const fs::path& appFolder) {
    AppFolderState state;
    const fs::path config = appFolder / "Config";
    if (const std::string why = MakeFolder(config); !why.empty()) {
        state.Fatal = "the settings folder " + config.string() + " cannot be created: " + why;
        return state;
    }
    if (const std::string why = MakeFolder(appFolder / "Data"); !why.empty()) {
        state.DataProblem = "the folder " + (appFolder / "Data").string() + " cannot be created (" + why +
                            "): no log file";
    }
    const bool folderWritable = FolderWritable(config);
    for (const char* name : {kMainIni, kXapIni}) {
        const fs::path file = config / name;
        std::error_code ec;
        if (!fs::exists(file, ec)) {
            std::ofstream create(file, std::ios::binary | std::ios::app);
            if (!create) {
                state.Fatal = "the settings file " + file.string() +
                              " is missing and cannot be created (the folder is not writable)";
                return state;
            }
            continue;
        }
        if (fs::is_directory(file, ec)) {
            state.Fatal = "the settings file " + file.string() + " is a folder";
            return state;
        }
        if (!std::ifstream(file, std::ios::binary)) {
            state.Fatal = "the settings file " + file.string() + " cannot be read";
            return state;
        }
        if (!std::ofstream(file, std::ios::binary | std::ios::app)) {
            state.SettingsReadOnly = true;
            state.ReadOnlyReason = file.string() + " is read-only";
        }
    }
    if (!folderWritable) {
        state.SettingsReadOnly = true;
        state.ReadOnlyReason = "the folder " + config.string() + " is read-only";
    }
    return state;
}

}  // namespace quorvel::app
