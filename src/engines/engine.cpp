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

}  // namespace vorn
