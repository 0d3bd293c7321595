#pragma once
// Reading files whose paths came from a client: once, through one handle, as a local disk file.

#include <string>

#include "common/result.h"

namespace vorn {

struct OpenedFile {
    std::string bytes;
    std::string final_path;  // the path the system resolved the handle to
};

struct ReadFailure : Failure {
    bool not_found = false;  // there is no such file
};

class RequestFiles {
public:
    virtual ~RequestFiles() = default;
    // Opens `path` as the service itself (any server it reaches only gets to identify it) and
    // reads it through that handle. Only a regular file on a local disk is read. The failure is
    // the system's text, and says whether there is no such file.
    virtual Result<OpenedFile, ReadFailure> read_local(const std::string& path) = 0;
};

}  // namespace vorn
