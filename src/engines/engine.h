#pragma once
// The proxy engines: where each executable is looked for, how it is started with its output
// captured, its pid file and the tail of its logs.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/result.h"
#include "common/undo.h"
#include "platform/platform.h"

namespace vorn {

struct EngineSpec {
    std::string_view executable;  // "xray.exe": also the name in the "was not found" message
    std::string_view label;
    std::string_view env_variable;
    std::vector<std::string_view> own_names;              // tried in the service's own folder
    std::vector<std::vector<std::string_view>> ancestor_candidates;  // path components
    bool bare_name_in_current_folder;  // Xray: the bare name is added after the candidates
    std::string_view config_file;
    std::string_view stdout_log;
    std::string_view stderr_log;
    std::string_view pid_file;
};

const EngineSpec& xray_engine();
const EngineSpec& hysteria_engine();
const EngineSpec& tuic_engine();

struct EngineCandidate {
    std::string path;
    // Every candidate but the variable's hangs from a folder (the service's own, an ancestor, the
    // current folder); it is used only when it and every folder from it up to that one are trusted.
    std::optional<std::string> anchor;
};

// Every path probed, in order (the variable, the service folder, each ancestor, the current
// folder).
std::vector<EngineCandidate> engine_search(const EngineSpec& engine, Environment& env);
std::vector<std::string> engine_candidates(const EngineSpec& engine, Environment& env);
Result<std::string> locate_engine(const EngineSpec& engine, Environment& env, FileSecurity& security);

Status write_engine_config(Platform& platform, std::string_view file_name, const nlohmann::json& value,
                           std::string_view label);

// Messages used when a launch fails at each stage.
struct LaunchMessages {
    std::string stdout_log;
    std::string stderr_log;
    std::string start;
};
LaunchMessages engine_launch_messages(std::string_view label);
LaunchMessages xray_tun_launch_messages();

Result<std::unique_ptr<ChildProcess>> launch_engine(Platform& platform, const std::string& executable,
                                                    std::vector<std::string> args,
                                                    std::string_view stdout_log,
                                                    std::string_view stderr_log,
                                                    const LaunchMessages& messages);

// Writes the id as bare decimal digits; the failure is the operating system's text.
Status write_engine_pid(Platform& platform, std::string_view pid_file, const ChildProcess& child);

// Ends an engine this process started, through its handle, and waits (bounded) until it is gone.
void end_started_engine(Platform& platform, ChildProcess& child);
// For a connect that fails later: ends the engine just started (it may have no pid file yet),
// then deletes its pid file if that still names it.
void undo_engine_start(Platform& platform, UndoLog& undo, std::shared_ptr<ChildProcess> child,
                       std::string_view pid_file);

// A log tail goes into status records: one long line must not make them long.
inline constexpr size_t kLogTailLimitBytes = 4096;
// The last 20 lines of a runtime-directory log, trimmed, at most kLogTailLimitBytes of their
// end; "" when it cannot be read.
std::string read_log_tail(Platform& platform, std::string_view log_name);
std::string log_tail_of_text(std::string_view text);

// ": " + the stderr tail, else ": " + the stdout tail, else nothing.
std::string exit_detail(Platform& platform, std::string_view stdout_log, std::string_view stderr_log);

}  // namespace vorn
