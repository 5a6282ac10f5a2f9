// The machine's IPv4 addresses: its host name resolved in the resolver's order.
#pragma once

#include <string>
#include <vector>

namespace quorvel::platform {

// Dotted IPv4 addresses of the host name (trimmed), in resolver order without repeats;
// empty when the name cannot be had or resolves to nothing.
std::vector<std::string> HostIPv4Addresses();

}  // namespace quorvel::platform
