#pragma once
// The production adapters. Only the composition root constructs these.

#include "platform/clock.h"
#include "platform/environment.h"
#include "platform/tools.h"

namespace vorn::win32 {

class Win32Environment final : public Environment {
public:
    std::optional<std::string> variable(const std::string& name) override;
    std::optional<std::string> local_app_data() override;
    std::string temp_directory() override;
    Result<std::string> executable_path() override;
    uint32_t current_process_id() override;
};

class Win32Clock final : public Clock {
public:
    uint64_t unix_time_ms() override;
    void sleep_ms(uint32_t milliseconds) override;
};

class Win32ToolRunner final : public ToolRunner {
public:
    Result<ToolRun> run(const std::string& program, const std::vector<std::string>& args,
                        ToolStdio stdio) override;
};

// Standard output and error carry bytes unchanged (no CR LF translation).
void use_binary_console_streams();

}  // namespace vorn::win32
