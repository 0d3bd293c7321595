#include "engines/pid_owner.h"

namespace vorn {

bool started_after_pid_file(Platform& platform, uint32_t pid, const std::string& pid_file_path) {
    std::optional<uint64_t> written = platform.env.file_write_time_ms(pid_file_path);
    std::optional<uint64_t> started = platform.processes.process_start_time_ms(pid);
    return written && started && *started > *written;
}

}  // namespace vorn
