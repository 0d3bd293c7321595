#include "engines/engine.h"

#include <system_error>

#include "common/files.h"
#include "common/text.h"
#include "service/status.h"

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
        "product-xray.pid"};
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
        "product-hysteria.pid"};
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
        "product-tuic.pid"};
    return spec;
}

static fs::path join_components(fs::path base, const std::vector<std::string_view>& components) {
    for (std::string_view c : components) base /= to_fs_path(c);
    return base;
}

std::vector<std::string> engine_candidates(const EngineSpec& engine, Environment& env) {
    std::vector<std::string> candidates;
    if (auto from_env = env.variable(std::string(engine.env_variable))) candidates.push_back(*from_env);
    auto exe = env.executable_path();
    if (exe.ok()) {
        fs::path own = to_fs_path(*exe);
        if (own.has_parent_path() && own.parent_path() != own) {
            fs::path dir = own.parent_path();
            for (std::string_view name : engine.own_names) candidates.push_back(from_fs_path(dir / to_fs_path(name)));
            for (fs::path ancestor = dir;; ancestor = ancestor.parent_path()) {
                for (const auto& candidate : engine.ancestor_candidates) {
                    candidates.push_back(from_fs_path(join_components(ancestor, candidate)));
                }
                if (!ancestor.has_relative_path() || ancestor.parent_path() == ancestor) break;
            }
        }
    }
    for (const auto& candidate : engine.ancestor_candidates) {
        candidates.push_back(from_fs_path(join_components(fs::path(), candidate)));
    }
    if (engine.bare_name_in_current_folder) candidates.emplace_back(engine.executable);
    return candidates;
}

Result<std::string> locate_engine(const EngineSpec& engine, Environment& env) {
    for (const std::string& candidate : engine_candidates(engine, env)) {
        if (file_exists(candidate)) return candidate;
    }
    return fail(std::string(engine.executable) + " was not found for product tunnel");
}

Status write_engine_config(Environment& env, std::string_view file_name, const nlohmann::json& value,
                           std::string_view label) {
    std::string text;
    try {
        text = value.dump(2);
    } catch (const nlohmann::json::exception& e) {
        return fail("could not serialize " + std::string(label) + " config: " + e.what());
    }
    if (auto written = write_file(runtime_file(env, file_name), text); !written) {
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
    std::optional<LaunchFailure> failure;
    std::unique_ptr<ChildProcess> child = platform.processes.launch(request, failure);
    if (child) return child;
    if (!failure) failure = LaunchFailure{LaunchStage::Start, "unknown failure"};
    switch (failure->stage) {
        case LaunchStage::StdoutLog: return fail(messages.stdout_log + failure->cause);
        case LaunchStage::StderrLog: return fail(messages.stderr_log + failure->cause);
        case LaunchStage::Start: break;
    }
    return fail(messages.start + failure->cause);
}

Status write_engine_pid(Environment& env, std::string_view pid_file, const ChildProcess& child) {
    return write_file(runtime_file(env, pid_file), std::to_string(child.pid()));
}

std::string log_tail_of_text(std::string_view text) {
    std::vector<std::string> lines = split_lines(text);
    size_t first = lines.size() > 20 ? lines.size() - 20 : 0;
    std::vector<std::string> tail(lines.begin() + static_cast<std::ptrdiff_t>(first), lines.end());
    return std::string(trim(join(tail, "\n")));
}

std::string read_log_tail(Environment& env, std::string_view log_name) {
    auto text = read_file(runtime_file(env, log_name));
    if (!text) return "";
    return log_tail_of_text(decode_utf8_lossy(*text));
}

Status copy_wintun_next_to_xray(const std::string& xray_path, const std::string& wintun_source) {
    fs::path xray = to_fs_path(xray_path);
    if (!xray.has_parent_path()) return fail("xray.exe parent directory is unavailable");
    fs::path target = xray.parent_path() / "wintun.dll";
    std::error_code ec;
    if (fs::exists(target, ec)) return {};  // an existing copy is never overwritten
    fs::copy_file(to_fs_path(wintun_source), target, ec);
    if (ec) return fail("could not copy wintun.dll next to xray.exe: " + ec.message());
    return {};
}

std::string exit_detail(Environment& env, std::string_view stdout_log, std::string_view stderr_log) {
    std::string tail = read_log_tail(env, stderr_log);
    if (tail.empty()) tail = read_log_tail(env, stdout_log);
    return tail.empty() ? "" : ": " + tail;
}

}  // namespace vorn
