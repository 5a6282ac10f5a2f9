// Folder creation shared by the configuration and the INI engine.
#pragma once

#include "core/reporting.h"

#include <string>

namespace quorvel::core {

// Makes every missing folder of path; its last element is a file name and is not made.
// A relative path is taken from the working folder. Each folder that cannot be made is
// reported as (" CreateFolders " & folder) and the rest are still attempted.
void CreateFolders(const std::string& path, Reporter& reporter);

}  // namespace quorvel::core
