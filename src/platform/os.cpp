#include "platform/os.h"

#include <unistd.h>

namespace quorvel::platform {

std::string HostName() {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0) return {};
    return buf;
}

}  // namespace quorvel::platform
