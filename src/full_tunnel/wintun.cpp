#include "full_tunnel/wintun.h"

#include "common/files.h"
#include "tunnel_core/runtime_files.h"

namespace vorn {

namespace {

WintunFailure windows_error(const char* code, uint32_t error) {
    return {code, "Windows error " + std::to_string(error)};
}

}  // namespace

std::string wintun_runtime_path(Environment& env) {
    std::optional<std::string> base = env.local_app_data();
    if (!base) base = env.temp_directory();
    return join_path(join_path(join_path(*base, "VornVPN"), "runtime"), "wintun.dll");
}

std::vector<std::string> wintun_candidates(Environment& env) {
    std::vector<std::string> candidates;
    if (auto from_env = env.variable("VORN_WINTUN_DLL_PATH")) candidates.push_back(*from_env);
    if (auto exe = env.executable_path(); exe.ok()) {
        std::filesystem::path own = to_fs_path(*exe);
        if (own.has_parent_path()) candidates.push_back(from_fs_path(own.parent_path() / "wintun.dll"));
    }
    candidates.push_back(wintun_runtime_path(env));
    candidates.push_back(from_fs_path(to_fs_path("src-tauri") / "bin" / "wintun" / "bin" / "amd64" / "wintun.dll"));
    candidates.push_back(from_fs_path(to_fs_path("bin") / "wintun" / "bin" / "amd64" / "wintun.dll"));
    return candidates;
}

WintunResult<std::string> locate_wintun_dll(Platform& platform) {
    std::string target = wintun_runtime_path(platform.env);
    for (const std::string& candidate : wintun_candidates(platform.env)) {
        if (!file_exists(candidate)) continue;
        // The written copy is loaded into a LocalSystem process: one that someone else owns or
        // may change is written afresh.
        if (candidate == target && !is_trusted_entry(platform.files, target)) break;
        return {candidate, std::nullopt};
    }
    if (auto removed = remove_untrusted_entry(platform.files, target); !removed) {
        return {std::nullopt,
                WintunFailure{"WINTUN_RUNTIME_WRITE_FAILED", "could not write embedded wintun.dll: " + removed.error()}};
    }
    if (auto made = create_directories(parent_path(target)); !made) {
        return {std::nullopt,
                WintunFailure{"WINTUN_RUNTIME_WRITE_FAILED", "could not create Wintun runtime directory: " + made.error()}};
    }
    if (auto written = write_file(target, platform.wintun_image); !written) {
        return {std::nullopt,
                WintunFailure{"WINTUN_RUNTIME_WRITE_FAILED", "could not write embedded wintun.dll: " + written.error()}};
    }
    return {target, std::nullopt};
}

WintunResult<void*> resolve_wintun_export(LoadedModule& module, const std::string& name) {
    uint32_t error = 0;
    auto address = module.find_export(name, error);
    if (!address) return {std::nullopt, windows_error("WINTUN_EXPORT_MISSING", error)};
    return {*address, std::nullopt};
}

WintunResult<WintunLibrary> load_wintun(Platform& platform, const std::string& path) {
    uint32_t error = 0;
    WintunLibrary library;
    library.module = platform.dlls.load(path, error);
    if (!library.module) return {std::nullopt, windows_error("WINTUN_DLL_LOAD_FAILED", error)};
    struct Entry {
        const char* name;
        void** slot;
    };
    const Entry entries[] = {{"WintunCreateAdapter", &library.create_adapter},
                             {"WintunOpenAdapter", &library.open_adapter},
                             {"WintunCloseAdapter", &library.close_adapter},
                             {"WintunDeleteDriver", &library.delete_driver}};
    for (const Entry& entry : entries) {
        auto address = resolve_wintun_export(*library.module, entry.name);
        if (address.failure) return {std::nullopt, address.failure};  // the module is released here
        *entry.slot = *address.value;
    }
    return {std::move(library), std::nullopt};
}

}  // namespace vorn
