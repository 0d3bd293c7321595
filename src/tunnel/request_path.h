#pragma once
// Request paths that reach the service from a client: the service reads only regular files on
// a local disk, so a path that names a pipe, a device or another host is refused unopened.

#include <string_view>

#include "common/result.h"

namespace vorn {

// The cause, without prefix, when the path's text alone shows it is not a local file.
Status check_local_request_path(std::string_view path);
// Whether an opened handle's final path is the path asked for (no link or junction on the way).
bool same_final_path(std::string_view asked, std::string_view final_path);

}  // namespace vorn
