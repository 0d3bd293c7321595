#pragma once
// Request paths that reach the service from a client: the service reads only regular files on
// a local disk, so a path that names a pipe, a device or another host is refused unopened.

#include <string_view>

#include "common/result.h"
#include "platform/request_files.h"

namespace vorn {

// The cause, without prefix, when the path's text alone shows it is not a local file.
Status check_local_request_path(std::string_view path);
// Whether an opened handle's final path is the path asked for (no link or junction on the way).
bool same_final_path(std::string_view asked, std::string_view final_path);
// A saved request path's file, read as the process itself: only a local file reached without a
// link or junction on the way. The failure says why, and whether there is no such file.
Result<std::string, ReadFailure> read_saved_request_file(RequestFiles& files, const std::string& path);

}  // namespace vorn
