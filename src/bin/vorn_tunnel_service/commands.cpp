#include "bin/vorn_tunnel_service/commands.h"

#include <ostream>

#include "service/live_status.h"
#include "service/reconnect.h"
#include "service/service_main.h"
#include "service/status.h"
#include "split_tunnel/split_session.h"
#include "split_tunnel/wfp_cleanup.h"
#include "tunnel/connect.h"
#include "tunnel/disconnect.h"

namespace vorn {

namespace {

struct CommandWord {
    std::string_view word;
    Command command;
};

constexpr CommandWord kCommands[] = {
    {"install", Command::Install},       {"uninstall", Command::Uninstall},
    {"run-service", Command::RunService}, {"connect", Command::Connect},
    {"disconnect", Command::Disconnect}, {"status", Command::Status},
};

// The outcome of a command: success, or the one line written to standard error.
using Outcome = Status;

Outcome record_and_print(Platform& platform, const TunnelStatus& status) {
    if (auto written = write_status(platform, status); !written) return written;
    return print_status(platform.out, status);
}

// Runs one sc.exe verb with the console's streams; a failure to run or a non-zero exit code
// is the command's failure.
Status run_sc(Platform& platform, const std::string& verb, const std::vector<std::string>& sc_args) {
    auto rc = platform.tools.run("sc.exe", sc_args, ToolStdio::Inherit);
    if (!rc) return fail("could not run sc.exe " + verb + ": " + rc.error());
    if (rc->exit_code != 0) {
        return fail("sc.exe " + verb + " exited with " + std::to_string(static_cast<int32_t>(rc->exit_code)));
    }
    return {};
}

Outcome manage_service(Platform& platform, const std::string& verb,
                       std::vector<std::string> sc_args, const char* done_message) {
    if (auto ran = run_sc(platform, verb, sc_args); !ran) return ran;
    return record_and_print(platform, make_status(TunnelState::Idle, done_message));
}

Outcome install(Platform& platform) {
    auto exe = platform.env.executable_path();
    if (!exe) return fail("could not locate service executable: " + exe.error());
    std::string bin_path = "\"" + *exe + "\" run-service";
    const std::string name(kServiceName);
    if (auto created = run_sc(platform, "create",
                              {"create", name, "binPath=", bin_path, "start=", "demand", "DisplayName=",
                               std::string(kServiceDisplayName)});
        !created) {
        return created;
    }
    // A service that crashed is started again after 5, 30 and 60 seconds; the count of
    // failures starts afresh after a day. An install that cannot say so leaves no service.
    if (auto recovery = run_sc(platform, "failure",
                               {"failure", name, "reset=", "86400", "actions=", "restart/5000/restart/30000/restart/60000"});
        !recovery) {
        (void)platform.tools.run("sc.exe", {"delete", name}, ToolStdio::Inherit);
        return recovery;
    }
    return record_and_print(platform, make_status(TunnelState::Idle, "Vorn tunnel service installed"));
}

Outcome uninstall(Platform& platform) {
    return manage_service(platform, "delete", {"delete", std::string(kServiceName)},
                          "Vorn tunnel service uninstalled");
}

Outcome status(Platform& platform) { return print_status(platform.out, query_live_status(platform)); }

Outcome connect(Platform& platform, const std::string& request_path) {
    auto connected = connect_product_tunnel(platform, request_path);
    if (!connected) {
        stop_split_session(platform);
        (void)remove_wfp_objects(platform);
        return fail(report_failed_status(platform, make_status(TunnelState::Error, connected.error())));
    }
    if (auto saved = persist_reconnect_request_path(platform, request_path); !saved) return saved;
    return record_and_print(platform, *connected);
}

// A teardown that failed is still recorded and printed, and the command succeeds.
Outcome disconnect(Platform& platform) { return record_and_print(platform, disconnect_product_tunnel(platform)); }

Outcome dispatch(Platform& platform, const CommandLine& line) {
    switch (line.command) {
        case Command::Install: return install(platform);
        case Command::Uninstall: return uninstall(platform);
        case Command::Status: return status(platform);
        case Command::Connect: return connect(platform, line.request_path);
        case Command::Disconnect: return disconnect(platform);
        case Command::RunService: return run_service(platform);
    }
    return fail(std::string(kUsage));
}

bool needs_elevation(Command command) {
    return command == Command::Install || command == Command::Uninstall ||
           command == Command::Connect;
}

}  // namespace

std::optional<CommandLine> parse_arguments(const std::vector<std::string>& args) {
    if (args.size() < 2) return std::nullopt;
    for (const CommandWord& entry : kCommands) {
        if (args[1] != entry.word) continue;
        CommandLine line{entry.command, args[1], {}};
        if (entry.command == Command::Connect) {
            if (args.size() < 4 || args[2] != "--request") return std::nullopt;
            line.request_path = args[3];
        }
        return line;
    }
    return std::nullopt;
}

bool is_elevated(ToolRunner& tools) {
    auto rc = tools.run("net", {"session"}, ToolStdio::DiscardOutput);
    return rc.ok() && rc->exit_code == 0;
}

int run_command_line(Platform& platform, const std::vector<std::string>& args) {
    std::optional<CommandLine> line = parse_arguments(args);
    Outcome outcome;
    if (!line) {
        outcome = fail(std::string(kUsage));
    } else if (needs_elevation(line->command) && !is_elevated(platform.tools)) {
        outcome = fail(report_failed_status(
            platform, make_status(TunnelState::Error,
                                  "ADMIN_REQUIRED: " + line->word +
                                      " requires elevated administrator privileges")));
    } else {
        outcome = dispatch(platform, *line);
    }
    if (outcome) return 0;
    platform.err << outcome.error() << '\n';
    platform.err.flush();
    return 1;
}

}  // namespace vorn
