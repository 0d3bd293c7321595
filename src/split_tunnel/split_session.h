#pragma once

#include "platform/platform.h"

namespace vorn {

// Clears the redirect driver's policy and stops the redirect proxy, if a split tunnel runs.
// Never fails.
void stop_split_session(Platform& platform);

}  // namespace vorn
