// The name a tool answers by: the one it was started as (quorvel-xap-hub when installed,
// xap-hub in the build tree), for its usage text, messages and --version.
#pragma once

#include <cstdio>
#include <string>

namespace quorvel::tools {

inline std::string ToolName(const char* argv0, const char* fallback) {
    const std::string path = argv0 != nullptr ? argv0 : "";
    const std::string base = path.substr(path.find_last_of('/') + 1);
    return base.empty() ? fallback : base;
}

// "quorvel-xap-hub 0.2.0 (Quorvel)"
inline void PrintVersion(const std::string& name) { std::printf("%s %s (Quorvel)\n", name.c_str(), QUORVEL_VERSION); }

}  // namespace quorvel::tools
