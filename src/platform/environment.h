#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/result.h"

namespace vorn {

// What the process learns about itself and its surroundings.
class Environment {
public:
    virtual ~Environment() = default;
    // The variable's value when it is set and valid Unicode.
    virtual std::optional<std::string> variable(const std::string& name) = 0;
    // The local application-data known folder, when the system has one.
    virtual std::optional<std::string> local_app_data() = 0;
    virtual std::string temp_directory() = 0;
    virtual Result<std::string> executable_path() = 0;
    virtual uint32_t current_process_id() = 0;
    // A file's last write time in Unix milliseconds, to the file system's full precision.
    virtual std::optional<uint64_t> file_write_time_ms(const std::string& path) = 0;
    // The Windows version the system reports ("10.0.19045"), when it can be had.
    virtual std::optional<std::string> windows_version() = 0;
};

}  // namespace vorn
