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
    // The DACL lets some other account read the data (or there is no DACL at all).
    bool others_may_read = false;
    // A folder of which others may only add new subfolders (as every user may at the root of a
    // Windows system drive): nothing already inside can be replaced or removed.
    bool others_only_add_folders = false;
    // The owner's SID in string form ("S-1-5-18"); empty when the system did not say.
    std::string owner;

    bool trusted() const { return trusted_owner && !others_may_write && !reparse_point; }
};

enum class ReplaceOutcome { Replaced, InUse };

// Who besides LocalSystem and Administrators may read a new file: nobody, or the users logged on
// at the console (the desktop application reads the status record as one of them).
enum class FileReaders { Private, InteractiveUsers };

class FileSecurity {
  public:
    virtual ~FileSecurity() = default;
    // What is at the path, without following a reparse point; absent when nothing is there.
    virtual Result<std::optional<FileFacts>> inspect(const std::string& path) = 0;
    // Creates one folder owned by the account the program runs as, with a protected DACL that
    // lets only LocalSystem and Administrators in; files created inside inherit it.
    virtual Status create_private_directory(const std::string& path) = 0;
    // Gives a folder the program's own account owns that protected DACL.
    virtual Status make_private(const std::string& path) = 0;
    // Renames a folder, file or link itself to `to` in the same folder; an existing `to` is an
    // error. Handles others hold stay on the renamed entry.
    virtual Status rename_entry(const std::string& from, const std::string& to) = 0;
    // Removes a file, an empty folder or a link itself (never what a link points at).
    virtual Status remove_entry(const std::string& path) = 0;
    // The file's bytes; a link or anything but a plain file is refused. Like every call below,
    // the file is opened relative to its folder, which must not be a link itself.
    virtual Result<std::string> read_file(const std::string& path) = 0;
    // Creates a file that did not exist (an existing name is an error) with a protected DACL
    // (LocalSystem and Administrators, plus `readers`), and writes all bytes through to the disk.
    virtual Status write_new_file(const std::string& path, std::string_view bytes,
                                  FileReaders readers = FileReaders::Private) = 0;
    // Moves `from` over `to` in the same folder. InUse when `to` is held open by a reader that
    // does not share deletion.
    virtual Result<ReplaceOutcome> replace_file(const std::string& from, const std::string& to) = 0;
};

}  // namespace vorn
