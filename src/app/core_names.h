// The application layer uses the shared reporting and settings types by their plain names.
#pragma once

#include "core/folders.h"
#include "core/reporting.h"
#include "core/settings.h"

namespace quorvel::app {
using namespace quorvel::core;
}  // namespace quorvel::app
