// Whether the application folder can carry a run: its Config folder must exist (or be made)
// and hold settings files that can be read. Running on defaults instead would broadcast to
// 255.255.255.255 and open the first serial port, on many machines the system console.
#pragma once

#include <filesystem>
#include <string>

namespace quorvel::app {

struct AppFolderState {
    std::string Fatal;            // not empty: the start must stop; says why
    bool SettingsReadOnly = false;  // runs, but changed settings cannot be saved
    std::string ReadOnlyReason;
    std::string DataProblem;      // the Data folder (log, lock) cannot be made
};

// Makes Config and Data when missing, and the two settings files when missing; checks that
// the settings can be read and whether they can be written. Touches nothing else.
AppFolderState PrepareAppFolder(const std::filesystem::path& appFolder);

}  // namespace quorvel::app
