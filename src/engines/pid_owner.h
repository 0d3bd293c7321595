#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace vorn {

// Windows hands a freed process id to the next process at once. A process that started after
// the pid file was last written therefore holds a reused id and is not our engine: it must not
// be ended, nor count as a live tunnel.
bool started_after_pid_file(Platform& platform, uint32_t pid, const std::string& pid_file_path);

}  // namespace vorn
