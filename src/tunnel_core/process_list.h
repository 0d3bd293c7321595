#pragma once
// What `tasklist` says about running processes.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/tools.h"

namespace vorn {

// The first field of a CSV line as tasklist prints it.
std::optional<std::string> first_csv_field(std::string_view line);
bool is_process_running(ToolRunner& tools, uint32_t pid);

}  // namespace vorn
