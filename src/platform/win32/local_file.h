#pragma once

#include <string>

#include "common/result.h"
#include "platform/request_files.h"

namespace vorn::win32 {

// Opens a path a client gave for reading, identification only toward any server the open
// reaches, and reads it through that handle when it is a regular file on a local disk.
Result<OpenedFile, ReadFailure> read_local_file(const std::string& path);

}  // namespace vorn::win32
