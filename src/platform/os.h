// Small operating-system queries that need no event loop.
#pragma once

#include <string>

namespace quorvel::platform {

// The machine's host name as the system reports it (may contain dots); empty when none.
std::string HostName();

}  // namespace quorvel::platform
