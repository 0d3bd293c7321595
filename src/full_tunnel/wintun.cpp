#include "full_tunnel/wintun.h"

#include "common/files.h"
#include "tunnel_core/runtime_files.h"

namespace vorn {

namespace {

Failure windows_error(const char* code, const SystemFailure& failure) {
    return coded(code, "Windows error " + std::to_string(failure.error_value));
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

Result<std::string> locate_wintun_dll(Platform& platform) {
    std::string target = wintun_runtime_path(platform.env);
    for (const std::string& candidate : wintun_candidates(platform.env)) {
        if (!file_exists(candidate)) continue;
        // The written copy is loaded into a LocalSystem process: one that someone else owns or
        // may change is written afresh.
        if (candidate == target && !is_trusted_entry(platform.files, target)) break;
        return candidate;
    }
    if (auto removed = remove_untrusted_entry(platform.files, target); !removed) {
        return coded("WINTUN_RUNTIME_WRITE_FAILED", "could not write embedded wintun.dll: " + removed.error());
    }
    if (auto made = create_directories(parent_path(target)); !made) {
        return coded("WINTUN_RUNTIME_WRITE_FAILED", "could not create Wintun runtime directory: " + made.error());
    }
    if (auto written = write_file(target, platform.wintun_image); !written) {
        return coded("WINTUN_RUNTIME_WRITE_FAILED", "could not write embedded wintun.dll: " + written.error());
    }
    return target;
}

Result<void*> resolve_wintun_export(LoadedModule& module, const std::string& name) {
    auto address = module.find_export(name);
    if (!address) return windows_error("WINTUN_EXPORT_MISSING", address.failure());
    return *address;
}

Result<WintunLibrary> load_wintun(Platform& platform, const std::string& path) {
    auto module = platform.dlls.load(path);
    if (!module) return windows_error("WINTUN_DLL_LOAD_FAILED", module.failure());
    WintunLibrary library;
    library.module = std::move(*module);
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
        if (!address) return address.failure();  // the module is released here
        *entry.slot = *address;
    }
    return library;
}

}  // namespace vorn
