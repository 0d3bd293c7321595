#pragma once
// What an engine said last: the tail of its logs, for the status record of its failure.

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace vorn {

// A log tail goes into status records: one long line must not make them long.
inline constexpr size_t kLogTailLimitBytes = 4096;
// The last 20 lines of a runtime-directory log, trimmed, at most kLogTailLimitBytes of their
// end; "" when it cannot be read.
std::string read_log_tail(Platform& platform, std::string_view log_name);
std::string log_tail_of_text(std::string_view text);

// ": " + the stderr tail, else ": " + the stdout tail, else nothing.
std::string exit_detail(Platform& platform, std::string_view stdout_log, std::string_view stderr_log);

}  // namespace vorn
