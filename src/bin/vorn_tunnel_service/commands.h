#pragma once
// The process entry's commands: argument parsing, the administrator check, and dispatch.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "platform/platform.h"
#include "service/service_main.h"

namespace vorn {

inline constexpr std::string_view kUsage =
    "usage: vorn-tunnel-service.exe install | uninstall | run-service | connect --request <path> | "
    "disconnect | status";
inline constexpr std::string_view kServiceDisplayName = "Vorn Tunnel Service";
// A split connect from the command line while the service does not run.
inline Failure split_needs_service() {
    return coded("SPLIT_TUNNEL_NEEDS_SERVICE",
                 "a split tunnel runs in the service VornTunnelService, which is not running; start it with "
                 "\"sc start VornTunnelService\" (install it first with \"vorn-tunnel-service.exe install\") "
                 "and connect again");
}

enum class Command { Install, Uninstall, RunService, Connect, Disconnect, Status, Diagnostics };

struct CommandLine {
    Command command;
    std::string word;
    std::string request_path;               // connect only
    std::optional<std::string> report_path;  // diagnostics only; absent: standard output
};

// `args` starts with the program name. Absent means a usage failure.
std::optional<CommandLine> parse_arguments(const std::vector<std::string>& args);

bool is_elevated(ToolRunner& tools);

// Runs one command and returns the process exit code (0 or 1).
int run_command_line(Platform& platform, const std::vector<std::string>& args);

}  // namespace vorn
