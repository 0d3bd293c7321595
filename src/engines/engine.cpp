#include "engines/engine.h"

#include <system_error>

#include "common/files.h"
#include "common/text.h"
#include "engines/xray_config.h"
#include "tunnel_core/pid_files.h"
#include "tunnel_core/runtime_files.h"

namespace vorn {

namespace fs = std::filesystem;

const EngineSpec& xray_engine() {
    static const EngineSpec spec{
        "xray.exe",
        "Xray TUN",
        "VORN_XRAY_PATH",
        {"xray.exe", "xray-x86_64-pc-windows-msvc.exe"},
        {{"src-tauri", "bin", "xray", "xray.exe"},
         {"src-tauri", "bin", "xray-x86_64-pc-windows-msvc.exe"},
         {"bin", "xray", "xray.exe"},
         {"bin", "xray-x86_64-pc-windows-msvc.exe"}},
        true,
        "product-xray-tun.json",
        "product-xray-stdout.log",
        "product-xray-stderr.log",
        kXrayPidFile};
    return spec;
}

const EngineSpec& hysteria_engine() {
    static const EngineSpec spec{
        "hysteria.exe",
        "Hysteria2",
        "VORN_HYSTERIA_PATH",
        {"hysteria.exe", "hysteria-x86_64-pc-windows-msvc.exe"},
        {{"src-tauri", "bin", "hysteria", "hysteria.exe"},
         {"src-tauri", "bin", "hysteria-x86_64-pc-windows-msvc.exe"},
         {"bin", "hysteria", "hysteria.exe"},
         {"bin", "hysteria-x86_64-pc-windows-msvc.exe"},
         {"hysteria.exe"}},
        false,
        "product-hysteria.json",
        "product-hysteria-stdout.log",
        "product-hysteria-stderr.log",
        kHysteriaPidFile};
    return spec;
}

const EngineSpec& tuic_engine() {
    static const EngineSpec spec{
        "tuic.exe",
        "TUIC",
        "VORN_TUIC_PATH",
        {"tuic.exe", "tuic-x86_64-pc-windows-msvc.exe"},
        {{"src-tauri", "bin", "tuic", "tuic.exe"},
         {"src-tauri", "bin", "tuic-x86_64-pc-windows-msvc.exe"},
         {"bin", "tuic", "tuic.exe"},
         {"bin", "tuic-x86_64-pc-windows-msvc.exe"},
         {"tuic.exe"}},
        false,
        "product-tuic.json",
        "product-tuic-stdout.log",
        "product-tuic-stderr.log",
        kTuicPidFile};
    return spec;
}

static fs::path join_components(fs::path base, const std::vector<std::string_view>& components) {
    for (std::string_view c : components) base /= to_fs_path(c);
    return base;
}

std::vector<EngineCandidate> engine_search(const EngineSpec& engine, Environment& env) {
    std::vector<EngineCandidate> candidates;
    if (auto from_env = env.variable(std::string(engine.env_variable))) candidates.push_back({*from_env, std::nullopt});
    auto exe = env.executable_path();
    if (exe.ok()) {
        fs::path own = to_fs_path(*exe);
        if (own.has_parent_path() && own.parent_path() != own) {
            fs::path dir = own.parent_path();
            for (std::string_view name : engine.own_names) {
                candidates.push_back({from_fs_path(dir / to_fs_path(name)), from_fs_path(dir)});
            }
            for (fs::path ancestor = dir;; ancestor = ancestor.parent_path()) {
                for (const auto& candidate : engine.ancestor_candidates) {
                    candidates.push_back({from_fs_path(join_components(ancestor, candidate)), from_fs_path(ancestor)});
                }
                if (!ancestor.has_relative_path() || ancestor.parent_path() == ancestor) break;
            }
        }
    }
    for (const auto& candidate : engine.ancestor_candidates) {
        candidates.push_back({from_fs_path(join_components(fs::path(), candidate)), std::string()});
    }
    if (engine.bare_name_in_current_folder) candidates.push_back({std::string(engine.executable), std::string()});
    return candidates;
}

std::vector<std::string> engine_candidates(const EngineSpec& engine, Environment& env) {
    std::vector<std::string> paths;
    for (EngineCandidate& candidate : engine_search(engine, env)) paths.push_back(std::move(candidate.path));
    return paths;
}

namespace {

// The candidate and each folder up to its anchor: owned by a trusted account, writable by no
// one else. Anyone who could change one of them could swap the program.
bool candidate_trusted(FileSecurity& security, const EngineCandidate& candidate) {
    if (!candidate.anchor) return true;
    const fs::path anchor = to_fs_path(*candidate.anchor);
    for (fs::path p = to_fs_path(candidate.path);; p = p.parent_path()) {
        auto facts = security.inspect(p.empty() ? std::string(".") : from_fs_path(p));
        if (!facts || !*facts || !(*facts)->trusted_owner || (*facts)->others_may_write) return false;
        if (p == anchor || p.empty() || p.parent_path() == p) return true;
    }
}

}  // namespace

Result<std::string> locate_engine(const EngineSpec& engine, Environment& env, FileSecurity& security) {
    for (const EngineCandidate& candidate : engine_search(engine, env)) {
        if (file_exists(candidate.path) && candidate_trusted(security, candidate)) return candidate.path;
    }
    return fail(std::string(engine.executable) + " was not found for product tunnel");
}

Status write_engine_config(Platform& platform, std::string_view file_name, const nlohmann::json& value,
                           std::string_view label) {
    std::string text;
    try {
        text = value.dump(2);
    } catch (const nlohmann::json::exception& e) {
        return fail("could not serialize " + std::string(label) + " config: " + e.what());
    }
    if (auto written = write_runtime_file(platform, file_name, text); !written) {
        return fail("could not write " + std::string(label) + " config: " + written.error());
    }
    return {};
}

LaunchMessages engine_launch_messages(std::string_view label) {
    std::string l(label);
    return {"could not create " + l + " stdout log: ", "could not create " + l + " stderr log: ",
            "could not start " + l + " engine: "};
}

LaunchMessages xray_tun_launch_messages() {
    return {"could not create Xray stdout log: ", "could not create Xray stderr log: ",
            "could not start Xray TUN engine: "};
}

Result<std::unique_ptr<ChildProcess>> launch_engine(Platform& platform, const std::string& executable,
                                                    std::vector<std::string> args,
                                                    std::string_view stdout_log,
                                                    std::string_view stderr_log,
                                                    const LaunchMessages& messages) {
    LaunchRequest request{executable, std::move(args), runtime_file(platform.env, stdout_log),
                          runtime_file(platform.env, stderr_log)};
    if (auto secured = secure_runtime_directory(platform, false); !secured) {
        return fail(messages.stdout_log + secured.error());
    }
    // The launcher truncates a log it finds, which keeps that file's owner and DACL; Xray, as
    // LocalSystem, appends to its own logs wherever their names lead.
    std::vector<std::pair<std::string, const std::string*>> logs = {{request.stdout_log, &messages.stdout_log},
                                                                    {request.stderr_log, &messages.stderr_log}};
    if (stdout_log == xray_engine().stdout_log) {
        for (std::string_view own : {kXrayAccessLog, kXrayErrorLog}) logs.push_back({runtime_file(platform.env, own), &messages.start});
    }
    for (const auto& [path, message] : logs) {
        if (auto cleared = remove_untrusted_entry(platform.files, path); !cleared) return fail(*message + cleared.error());
    }
    auto child = platform.processes.launch(request);
    if (child) return std::move(*child);
    const LaunchFailure& failure = child.failure();
    switch (failure.stage) {
        case LaunchStage::StdoutLog: return fail(messages.stdout_log + failure.message);
        case LaunchStage::StderrLog: return fail(messages.stderr_log + failure.message);
        case LaunchStage::Start: break;
    }
    return fail(messages.start + failure.message);
}

Status write_engine_pid(Platform& platform, std::string_view pid_file, const ChildProcess& child) {
    return write_runtime_file(platform, pid_file, std::to_string(child.pid()));
}

void end_started_engine(Platform& platform, ChildProcess& child) {
    constexpr int kExitPolls = 50;
    constexpr uint32_t kExitPollMs = 100;
    auto state = child.poll();
    if (!state || *state) return;  // gone already, or it cannot be asked
    if (!child.terminate()) return;
    for (int poll = 0; poll < kExitPolls; ++poll) {
        state = child.poll();
        if (!state || *state) return;
        platform.clock.sleep_ms(kExitPollMs);
    }
}

void undo_engine_start(Platform& platform, UndoLog& undo, std::shared_ptr<ChildProcess> child,
                       std::string_view pid_file) {
    undo.add([&platform, child = std::move(child), pid_file] {
        end_started_engine(platform, *child);
        auto recorded = read_runtime_file(platform, pid_file);
        if (recorded && *recorded && trim(**recorded) == std::to_string(child->pid())) {
            remove_file(runtime_file(platform.env, pid_file));
        }
    });
}

std::string log_tail_of_text(std::string_view text) {
    std::vector<std::string> lines = split_lines(text);
    size_t first = lines.size() > 20 ? lines.size() - 20 : 0;
    std::vector<std::string> tail(lines.begin() + static_cast<std::ptrdiff_t>(first), lines.end());
    std::string text_tail(trim(join(tail, "\n")));
    if (text_tail.size() <= kLogTailLimitBytes) return text_tail;
    // Long lines: their end only, from a character's first byte on.
    size_t cut = text_tail.size() - kLogTailLimitBytes;
    while (cut < text_tail.size() && (static_cast<unsigned char>(text_tail[cut]) & 0xC0) == 0x80) ++cut;
    return std::string(trim(std::string_view(text_tail).substr(cut)));
}

std::string read_log_tail(Platform& platform, std::string_view log_name) {
    auto text = read_runtime_file(platform, log_name);
    if (!text || !*text) return "";
    return log_tail_of_text(decode_utf8_lossy(**text));
}

std::string exit_detail(Platform& platform, std::string_view stdout_log, std::string_view stderr_log) {
    std::string tail = read_log_tail(platform, stderr_log);
    if (tail.empty()) tail = read_log_tail(platform, stdout_log);
    return tail.empty() ? "" : ": " + tail;
}

}  // namespace vorn
