// The device state kept in APP/Data/DeviceState.txt: read back at start (every device marked
// restored), written when the state changes but at most about once a second, and once more
// at shutdown. Each save writes a temporary file in the same folder and renames it over the
// old one, so a crash never leaves a truncated file. A damaged file is reported, kept aside
// as DeviceState.txt_bad and otherwise ignored.
#pragma once

#include "core/reporting.h"
#include "platform/platform.h"
#include "state/device_state.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace quorvel::state {

inline constexpr const char* kStateFileName = "DeviceState.txt";
// The CM11A's last status, as lines for people, next to the device state.
inline constexpr const char* kInterfaceStatusFileName = "InterfaceStatus.txt";

class StateFile {
public:
    static constexpr int kSaveDelayMs = 1000;

    StateFile(platform::Platform& platform, core::Reporter& reporter, DeviceStates& states);
    ~StateFile();
    StateFile(const StateFile&) = delete;
    StateFile& operator=(const StateFile&) = delete;

    // Reads dataFolder/DeviceState.txt into the model; a missing file is an empty state.
    void Load(const std::filesystem::path& dataFolder);
    // The model changed: save within about a second.
    void Changed();
    // Saves now when a change waits (shutdown).
    void Flush();
    bool SavePending() const { return dirty_; }
    const std::filesystem::path& Path() const { return path_; }

private:
    void Save();

    core::Reporter& reporter_;
    DeviceStates& states_;
    std::unique_ptr<platform::Timer> timer_;
    std::filesystem::path path_;
    bool dirty_ = false;
    bool failureReported_ = false;
};

// The status table read from a state file, for `quorvel --status`. Nothing when the file
// is damaged (error says why); a missing file gives the table head alone.
std::optional<std::string> StatusTableFromFile(const std::filesystem::path& file, std::string& error);

// Replaces the interface status file in dataFolder with text; a failure is reported.
void SaveInterfaceStatus(const std::filesystem::path& dataFolder, const std::string& text, core::Reporter& reporter);
// The interface status file's text; nothing when there is none or it cannot be read.
std::optional<std::string> ReadInterfaceStatus(const std::filesystem::path& dataFolder);

}  // namespace quorvel::state
