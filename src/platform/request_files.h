#pragma once
// Reading files whose paths came from a client: once, through one handle, as a local disk file.

#include <cstdint>
#include <string>
#include <string_view>

#include "common/result.h"

namespace vorn {

// A request file is a few kilobytes; a larger one is refused before it is read, so that a path
// to a huge (or sparse) file cannot make the service allocate without bound.
inline constexpr uint64_t kRequestFileLimitBytes = uint64_t{1} << 20;
inline constexpr std::string_view kRequestFileTooLarge = "the file is larger than 1 MiB";

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
    // reads it through that handle. Only a regular file on a local disk, of at most
    // kRequestFileLimitBytes, is read. The failure is the system's text (or kRequestFileTooLarge),
    // and says whether there is no such file.
    virtual Result<OpenedFile, ReadFailure> read_local(const std::string& path) = 0;
};

}  // namespace vorn
