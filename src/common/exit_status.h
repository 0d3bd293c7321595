#pragma once

#include <cstdint>
#include <string>

namespace vorn {

// "exit code: 23"; a status with the top bit set (an NTSTATUS) as "exit code: 0xc0000005".
std::string render_exit_status(uint32_t code);

}  // namespace vorn
