#include "common/exit_status.h"

#include <cstdio>

namespace vorn {

std::string render_exit_status(uint32_t code) {
    if (code & 0x80000000u) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%x", static_cast<unsigned>(code));
        return std::string("exit code: ") + hex;
    }
    return "exit code: " + std::to_string(code);
}

}  // namespace vorn
