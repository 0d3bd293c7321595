#include "bin/vorn_tunnel_service/commands.h"

#include <filesystem>
#include <ostream>

#include <nlohmann/json.hpp>

#include "common/files.h"
#include "service/connect_record.h"
#include "service/diagnostics.h"
#include "service/live_status.h"
#include "service/service_client.h"
#include "service/service_folder.h"
#include "service/service_main.h"
#include "split_tunnel/wfp_cleanup.h"
#include "tunnel/disconnect.h"
#include "tunnel_core/request.h"
#include "tunnel_core/runtime_files.h"
#include "tunnel_core/status.h"

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
    {"diagnostics", Command::Diagnostics},
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
    if (auto folders = check_executable_folders(platform.files, *exe); !folders) {
        return fail("could not install: " + folders.error());
    }
    // The folders exist, private, before the service is there to use them.
    if (auto made = secure_runtime_directory(platform, true, "could not install: "); !made) return made;
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
    // A firewall left without its service would keep the machine offline until a reboot.
    (void)remove_wfp_objects(platform);
    return manage_service(platform, "delete", {"delete", std::string(kServiceName)},
                          "Vorn tunnel service uninstalled");
}

Outcome status(Platform& platform) {
    LiveStatus live = query_live_status(platform);
    repair_dead_tunnel(platform, live);
    return print_status(platform.out, live.report);
}

// Prints a recorded outcome; an error record is also the command's failure.
Outcome report_recorded(Platform& platform, const TunnelStatus& status) {
    if (auto printed = print_status(platform.out, status); !printed) return printed;
    if (status.status == TunnelState::Error) return fail(status.message.value_or("SERVICE_ERROR"));
    return {};
}

// A split connect is the service's to make; its answer is reported, and the record it wrote is
// left as it is: it may already say more (an engine that exited since).
Outcome connect_through_service(Platform& platform, const std::string& request_path) {
    // The service does not share our working folder.
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(to_fs_path(request_path), ec);
    nlohmann::json message = {{"command", "connect"},
                              {"requestPath", ec ? request_path : from_fs_path(absolute)}};
    auto served = ask_service(platform, message);
    if (served) return report_recorded(platform, *served);
    Failure why = served.failure().service_stopped
                      ? split_needs_service()
                      : fail("could not hand the split tunnel to " + std::string(kServiceName) + ": " + served.error());
    return fail(report_failed_status(platform, failed_status(why)));
}

Outcome connect(Platform& platform, const std::string& request_path) {
    // A split tunnel lasts only as long as the process holding its redirect listener: the service.
    if (auto request = read_product_tunnel_request(request_path); request && request->mode == TunnelMode::Split) {
        return connect_through_service(platform, request_path);
    }
    auto recorded = connect_and_record(
        platform, request_path,
        [](const std::string& path) { return read_file_at_most(path, kRequestFileLimitBytes, kRequestFileTooLarge); },
        kCommandLineConnect);
    if (!recorded) return recorded.failure();
    return report_recorded(platform, *recorded);
}

// While the service runs, the tunnel may be its own (a split tunnel's redirect listener lives
// nowhere else): it takes the tunnel down, records the outcome, and its answer is printed. When
// it cannot be asked, the tunnel is taken down here. Either way a teardown that failed is still
// recorded and printed, and the command succeeds.
Outcome disconnect(Platform& platform) {
    if (auto served = ask_service(platform, {{"command", "disconnect"}})) return print_status(platform.out, *served);
    return record_and_print(platform, disconnect_product_tunnel(platform));
}

Outcome dispatch(Platform& platform, const CommandLine& line) {
    switch (line.command) {
        case Command::Install: return install(platform);
        case Command::Uninstall: return uninstall(platform);
        case Command::Status: return status(platform);
        case Command::Connect: return connect(platform, line.request_path);
        case Command::Disconnect: return disconnect(platform);
        case Command::RunService: return run_service(platform);
        case Command::Diagnostics: return write_diagnostics(platform, line.report_path);
    }
    return fail(std::string(kUsage));
}

bool needs_elevation(Command command) {
    return command == Command::Install || command == Command::Uninstall ||
           command == Command::Connect || command == Command::Diagnostics;
}

}  // namespace

std::optional<CommandLine> parse_arguments(const std::vector<std::string>& args) {
    if (args.size() < 2) return std::nullopt;
    for (const CommandWord& entry : kCommands) {
        if (args[1] != entry.word) continue;
        CommandLine line{entry.command, args[1], {}, std::nullopt};
        if (entry.command == Command::Connect) {
            if (args.size() < 4 || args[2] != "--request") return std::nullopt;
            line.request_path = args[3];
        }
        if (entry.command == Command::Diagnostics && args.size() > 2 && args[2] == "--out") {
            if (args.size() < 4) return std::nullopt;
            line.report_path = args[3];
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
        platform.may_create_runtime = false;
        TunnelStatus refused =
            failed_status(coded("ADMIN_REQUIRED", line->word + " requires elevated administrator privileges"));
        // Diagnostics only look: even their refusal leaves the status file as it was.
        if (line->command == Command::Diagnostics) {
            Status printed = print_status(platform.out, refused);
            outcome = printed ? fail(*refused.message) : printed;
        } else {
            outcome = fail(report_failed_status(platform, refused));
        }
    } else {
        // Only what passed the elevation check (and the service itself) makes the folders.
        if (!needs_elevation(line->command) && line->command != Command::RunService) platform.may_create_runtime = false;
        outcome = dispatch(platform, *line);
    }
    if (outcome) return 0;
    platform.err << outcome.rendered() << '\n';
    platform.err.flush();
    return 1;
}

}  // namespace vorn
