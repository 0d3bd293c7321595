#pragma once
// Who owns a file or folder and who else may change it. The service runs as LocalSystem, so
// nothing that an ordinary user created or can still change may steer what it reads, writes,
// loads or starts.

#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"

namespace vorn {

struct FileFacts {
    bool directory = false;
    bool reparse_point = false;
    // LocalSystem, Administrators, TrustedInstaller or the account the program runs as.
    bool trusted_owner = false;
    // The DACL lets some other account write, append, delete, or change the DACL or owner
    // (or there is no DACL at all).
    bool others_may_write = false;
    // A folder of which others may only add new subfolders (as every user may at the root of a
    // Windows system drive): nothing already inside can be replaced or removed.
    bool others_only_add_folders = false;
    // The owner's SID in string form ("S-1-5-18"); empty when the system did not say.
    std::string owner;

    bool trusted() const { return trusted_owner && !others_may_write && !reparse_point; }
};

enum class ReplaceOutcome { Replaced, InUse };

class FileSecurity {
  public:
    virtual ~FileSecurity() = default;
    // What is at the path, without following a reparse point; absent when nothing is there.
    virtual Result<std::optional<FileFacts>> inspect(const std::string& path) = 0;
    // Creates one folder owned by the account the program runs as, with a protected DACL:
    // LocalSystem and Administrators full control, everyone else read and execute.
    virtual Status create_private_directory(const std::string& path) = 0;
    // Gives an existing folder that owner and that DACL.
    virtual Status take_back(const std::string& path) = 0;
    // Removes a file, an empty folder or a link itself (never what a link points at).
    virtual Status remove_entry(const std::string& path) = 0;
    // Creates a file that did not exist (an existing name is an error) and writes all bytes
    // through to the disk.
    virtual Status write_new_file(const std::string& path, std::string_view bytes) = 0;
    // Moves `from` over `to` with write-through. InUse when `to` is held open by a reader that
    // does not share deletion.
    virtual Result<ReplaceOutcome> replace_file(const std::string& from, const std::string& to) = 0;
};

}  // namespace vorn
