#pragma once
// Reading files whose paths came from a client: once, through one handle, as a local disk file.

#include <string>

#include "common/result.h"

namespace vorn {

struct OpenedFile {
    std::string bytes;
    std::string final_path;  // the path the system resolved the handle to
};

class RequestFiles {
public:
    virtual ~RequestFiles() = default;
    // Opens `path` as the service itself (any server it reaches only gets to identify it) and
    // reads it through that handle. Only a regular file on a local disk is read; `not_found` is
    // set when there is no such file. The failure is the system's text.
    virtual Result<OpenedFile> read_local(const std::string& path, bool& not_found) = 0;
};

}  // namespace vorn
