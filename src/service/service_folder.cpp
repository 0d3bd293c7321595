#include "service/service_folder.h"

#include <filesystem>

#include "common/files.h"
#include "platform/service_names.h"

namespace vorn {

Status check_executable_folders(FileSecurity& files, const std::string& executable) {
    const std::filesystem::path own = to_fs_path(executable).parent_path();
    for (std::filesystem::path folder = own; !folder.empty(); folder = folder.parent_path()) {
        const std::string name = from_fs_path(folder);
        auto facts = files.inspect(name);
        if (!facts) return fail("could not inspect " + name + ": " + facts.error());
        if (!*facts) return fail("could not inspect " + name + ": it was not found");
        const FileFacts& f = **facts;
        if (f.reparse_point) return fail(name + " is a link");
        const bool only_new_folders = folder != own && f.others_only_add_folders;
        if (!f.trusted_owner || (f.others_may_write && !only_new_folders)) {
            return fail(name + " is writable by non-administrators");
        }
        if (folder.parent_path() == folder) break;
    }
    return {};
}

Status check_service_folders(Platform& platform) {
    const std::string prefix = "could not start " VORN_SERVICE_NAME ": ";
    auto exe = platform.env.executable_path();
    if (!exe) return fail(prefix + "could not locate service executable: " + exe.error());
    if (auto folders = check_executable_folders(platform.files, *exe); !folders) return fail(prefix + folders.error());
    return {};
}

}  // namespace vorn
