#pragma once
// The folders the service's executable lies in. The service runs as LocalSystem, and Windows
// takes DLLs from beside an executable before anywhere else: whoever may change its folder, or a
// folder above it, could have code of theirs run as LocalSystem.

#include <string>

#include "common/result.h"
#include "platform/platform.h"

namespace vorn {

// Success when the executable's folder and every folder above it up to the root belong to a
// trusted account, no one else may change them and none is a link; a folder above may let
// others add new subfolders (as a system drive's root lets every user), which cannot replace
// anything on the way. Else why not, for the first folder that fails: "<folder> is writable by
// non-administrators", "<folder> is a link", or why it could not be inspected.
Status check_executable_folders(FileSecurity& files, const std::string& executable);

// The same for the running service's own executable, as "could not start VornTunnelService: ...".
Status check_service_folders(Platform& platform);

}  // namespace vorn
