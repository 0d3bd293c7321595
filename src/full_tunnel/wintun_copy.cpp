#include "full_tunnel/wintun_copy.h"

#include <filesystem>
#include <system_error>

#include "common/files.h"
#include "tunnel_core/runtime_files.h"

namespace vorn {

namespace fs = std::filesystem;

Status copy_wintun_next_to_xray(Platform& platform, const std::string& xray_path, const std::string& wintun_source) {
    fs::path xray = to_fs_path(xray_path);
    if (!xray.has_parent_path()) return fail("xray.exe parent directory is unavailable");
    const std::string target = from_fs_path(xray.parent_path() / "wintun.dll");
    std::error_code ec;
    if (fs::exists(to_fs_path(target), ec)) {
        if (is_trusted_entry(platform.files, target)) return {};  // a trusted copy is never overwritten
        // Xray runs as LocalSystem and loads this file: a copy someone else could change is replaced.
        auto removed = platform.files.remove_entry(target);
        if (removed) removed = platform.files.write_new_file(target, platform.wintun_image);
        if (!removed) return fail("could not copy wintun.dll next to xray.exe: " + removed.error());
        return {};
    }
    fs::copy_file(to_fs_path(wintun_source), to_fs_path(target), ec);
    if (ec) return fail("could not copy wintun.dll next to xray.exe: " + ec.message());
    return {};
}

}  // namespace vorn
