// Owners and DACLs of the service's files and folders. Handles are opened without following
// reparse points, so a link is judged (and removed) as itself.

#include <aclapi.h>
#include <bcrypt.h>
#include <sddl.h>
#include <windows.h>
#include <winsock2.h>
#include <winternl.h>

#include <cstring>
#include <vector>

#include "platform/win32/handle.h"
#include "platform/win32/security.h"
#include "platform/win32/win32_platform.h"

namespace vorn::win32 {

namespace {

// LocalSystem and Administrators full control, nobody else anything; inherited by everything
// created inside.
constexpr wchar_t kPrivateFolderDacl[] = L"D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
// Files get theirs explicitly too, so that no system (or emulator) that does not inherit lets
// others read them; the status record adds read for the users logged on at the console.
constexpr wchar_t kInteractiveReadFileDacl[] = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;IU)";
constexpr wchar_t kTrustedInstallerSid[] =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

constexpr DWORD kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                               FILE_DELETE_CHILD | FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC |
                               WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

constexpr DWORD kReadRights = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL;

constexpr DWORD kNoFollow = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

UniqueHandle open_entry(const std::string& path, DWORD access) {
    return UniqueHandle(CreateFileW(to_wide(path).c_str(), access, kShareAll, nullptr,
                                    OPEN_EXISTING, kNoFollow, nullptr));
}

bool missing(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
           error == ERROR_INVALID_NAME;
}

// The rights among `mask` that the DACL grants to accounts that are not trusted.
DWORD others_rights(PACL dacl, DWORD mask) {
    if (dacl == nullptr) return mask;  // no DACL: everyone has full control
    DWORD rights = 0;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace)) return mask;
        auto* header = static_cast<ACE_HEADER*>(ace);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE ||
            (header->AceFlags & INHERIT_ONLY_ACE) != 0)
            continue;
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        if (!is_trusted_sid(&allowed->SidStart)) rights |= allowed->Mask & mask;
    }
    return rights;
}

// "C:\\a\\b" as the folder "C:\\a" and the name "b".
std::pair<std::wstring, std::wstring> folder_and_name(const std::wstring& path) {
    size_t at = path.find_last_of(L"\\/");
    if (at == std::wstring::npos) return {L".", path};
    std::wstring folder = path.substr(0, at);
    if (folder.empty() || folder.back() == L':') folder += L'\\';
    return {folder, path.substr(at + 1)};
}

// A file's folder, held while the file is opened relative to it; a link in its place is refused.
// The folder cannot be renamed while it is held.
struct HeldFolder {
    UniqueHandle handle;
    std::wstring name;  // the file's name in it
};

Result<HeldFolder, SystemFailure> hold_folder_of(const std::string& path) {
    auto [folder, name] = folder_and_name(to_wide(path));
    if (name.empty() || name == L"." || name == L"..") {
        return system_failure(ERROR_INVALID_NAME, windows_error_text(ERROR_INVALID_NAME));
    }
    UniqueHandle dir(CreateFileW(folder.c_str(), FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, kNoFollow, nullptr));
    if (!dir) {
        DWORD error = GetLastError();
        return system_failure(error, windows_error_text(error));
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(dir.get(), &info)) {
        DWORD error = GetLastError();
        return system_failure(error, windows_error_text(error));
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return system_failure(ERROR_DIRECTORY, from_wide(folder) + " is not a plain folder");
    }
    return HeldFolder{std::move(dir), std::move(name)};
}

// Opens or creates `name` in the held folder; the last component is never followed either.
Result<UniqueHandle, SystemFailure> open_in(const HeldFolder& folder, ACCESS_MASK access, ULONG share,
                                            ULONG disposition, ULONG options,
                                            PSECURITY_DESCRIPTOR descriptor = nullptr) {
    UNICODE_STRING name{};
    name.Buffer = const_cast<PWSTR>(folder.name.c_str());
    name.Length = name.MaximumLength = static_cast<USHORT>(folder.name.size() * sizeof(wchar_t));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, folder.handle.get(), descriptor);
    IO_STATUS_BLOCK io{};
    HANDLE raw = nullptr;
    NTSTATUS status = NtCreateFile(&raw, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                                   share, disposition,
                                   options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (status < 0) {
        DWORD error = RtlNtStatusToDosError(status);
        return system_failure(error, windows_error_text(error));
    }
    return UniqueHandle(raw);
}

// Opens the path's last component relative to its held folder.
Result<UniqueHandle, SystemFailure> open_relative(const std::string& path, ACCESS_MASK access, ULONG share,
                                                  ULONG disposition, ULONG options,
                                                  PSECURITY_DESCRIPTOR descriptor = nullptr) {
    auto folder = hold_folder_of(path);
    if (!folder) return std::move(folder).failure();
    return open_in(*folder, access, share, disposition, options, descriptor);
}

Status set_dacl(const std::string& path, const wchar_t* sddl) {
    SddlDescriptor descriptor(sddl);
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!descriptor.valid() ||
        !GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted)) {
        return fail(last_error_text());
    }
    UniqueHandle entry = open_entry(path, WRITE_DAC);
    if (!entry) return fail(last_error_text());
    DWORD error = SetSecurityInfo(entry.get(), SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, dacl, nullptr);
    if (error != ERROR_SUCCESS) return fail(windows_error_text(error));
    return {};
}

}  // namespace

PSID process_user_sid() {
    static std::vector<BYTE> user = [] {
        std::vector<BYTE> buffer;
        HANDLE raw = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return buffer;
        UniqueHandle token(raw);
        DWORD size = 0;
        GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
        buffer.resize(size);
        if (size == 0 || !GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size))
            buffer.clear();
        return buffer;
    }();
    return user.empty() ? nullptr : reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
}

std::wstring process_user_sid_text() {
    std::wstring text;
    wchar_t* raw = nullptr;
    if (PSID sid = process_user_sid(); sid != nullptr && ConvertSidToStringSidW(sid, &raw)) {
        text = raw;
        LocalFree(raw);
    }
    return text;
}

bool is_trusted_sid(PSID sid) {
    static PSID trusted_installer = [] {
        PSID parsed = nullptr;
        ConvertStringSidToSidW(kTrustedInstallerSid, &parsed);
        return parsed;  // kept for the life of the process
    }();
    if (sid == nullptr || !IsValidSid(sid)) return false;
    if (IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid))
        return true;
    if (trusted_installer != nullptr && EqualSid(sid, trusted_installer)) return true;
    PSID user = process_user_sid();
    return user != nullptr && EqualSid(sid, user);
}

SddlDescriptor::SddlDescriptor(const std::wstring& sddl) {
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                              &descriptor_, nullptr)) {
        descriptor_ = nullptr;
    }
}

SddlDescriptor::~SddlDescriptor() {
    if (descriptor_ != nullptr) LocalFree(descriptor_);
}

Result<std::wstring> random_hex(size_t bytes) {
    std::vector<unsigned char> data(bytes);
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, data.data(), static_cast<ULONG>(data.size()),
                                        BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
        return fail("could not generate random bytes");
    }
    static constexpr wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring text;
    for (unsigned char b : data) {
        text += kDigits[b >> 4];
        text += kDigits[b & 15];
    }
    return text;
}

Result<std::optional<FileFacts>> Win32FileSecurity::inspect(const std::string& path) {
    UniqueHandle entry = open_entry(path, READ_CONTROL | FILE_READ_ATTRIBUTES);
    if (!entry) {
        DWORD error = GetLastError();
        if (missing(error)) return std::optional<FileFacts>();
        return fail(windows_error_text(error));
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(entry.get(), &info)) return fail(last_error_text());
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error = GetSecurityInfo(entry.get(), SE_FILE_OBJECT,
                                  OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                  nullptr, &dacl, nullptr, &descriptor);
    if (error != ERROR_SUCCESS) return fail(windows_error_text(error));
    FileFacts facts;
    facts.directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    facts.reparse_point = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    facts.trusted_owner = is_trusted_sid(owner);
    const DWORD others = others_rights(dacl, kWriteRights);
    facts.others_may_write = others != 0;
    facts.others_only_add_folders = facts.directory && others == FILE_ADD_SUBDIRECTORY;
    facts.others_may_read = others_rights(dacl, kReadRights) != 0;
    wchar_t* owner_text = nullptr;
    if (owner != nullptr && ConvertSidToStringSidW(owner, &owner_text)) {
        facts.owner = from_wide(owner_text);
        LocalFree(owner_text);
    }
    LocalFree(descriptor);
    return std::optional<FileFacts>(facts);
}

Status Win32FileSecurity::create_private_directory(const std::string& path) {
    SddlDescriptor descriptor(kPrivateFolderDacl);
    if (!descriptor.valid()) return fail(last_error_text());
    SECURITY_ATTRIBUTES sa{sizeof sa, descriptor.get(), FALSE};
    if (!CreateDirectoryW(to_wide(path).c_str(), &sa)) return fail(last_error_text());
    return {};
}

Status Win32FileSecurity::make_private(const std::string& path) {
    return set_dacl(path, kPrivateFolderDacl);
}

Status Win32FileSecurity::rename_entry(const std::string& from, const std::string& to) {
    // No replacing and no copying: a rename in place or nothing.
    if (!MoveFileExW(to_wide(from).c_str(), to_wide(to).c_str(), 0)) return fail(last_error_text());
    return {};
}

Status Win32FileSecurity::remove_entry(const std::string& path) {
    auto folder = hold_folder_of(path);
    if (!folder) return missing(folder.failure().error_value) ? Status() : Status(fail(folder.error()));
    auto entry = open_in(*folder, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll, FILE_OPEN, 0);
    if (!entry) return missing(entry.failure().error_value) ? Status() : Status(fail(entry.error()));
    // A junction or folder link goes as itself, which never touches its target; a read-only
    // file loses that mark first.
    FILE_BASIC_INFO basic{};
    if (GetFileInformationByHandleEx(entry->get(), FileBasicInfo, &basic, sizeof basic) &&
        (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
        basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
        if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        SetFileInformationByHandle(entry->get(), FileBasicInfo, &basic, sizeof basic);
    }
    FILE_DISPOSITION_INFO disposition{TRUE};
    if (!SetFileInformationByHandle(entry->get(), FileDispositionInfo, &disposition, sizeof disposition))
        return fail(last_error_text());
    return {};
}

Result<std::string> Win32FileSecurity::read_file(const std::string& path) {
    auto file = open_relative(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                              FILE_NON_DIRECTORY_FILE);
    if (!file) return fail(file.error());
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file->get(), &info)) return fail(last_error_text());
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return fail(path + " is a link");
    std::string bytes;
    char buffer[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file->get(), buffer, sizeof buffer, &got, nullptr)) return fail(last_error_text());
        if (got == 0) break;
        bytes.append(buffer, got);
    }
    return bytes;
}

Status Win32FileSecurity::write_new_file(const std::string& path, std::string_view bytes, FileReaders readers) {
    SddlDescriptor descriptor(readers == FileReaders::InteractiveUsers ? kInteractiveReadFileDacl : kPrivateFileSddl);
    if (!descriptor.valid()) return fail(last_error_text());
    auto file = open_relative(path, GENERIC_WRITE, 0, FILE_CREATE, FILE_NON_DIRECTORY_FILE | FILE_WRITE_THROUGH,
                              descriptor.get());
    if (!file) return fail(file.error());
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
        DWORD written = 0;
        if (!WriteFile(file->get(), bytes.data() + done, chunk, &written, nullptr))
            return fail(last_error_text());
        done += written;
    }
    if (!FlushFileBuffers(file->get())) return fail(last_error_text());
    return {};
}

Result<ReplaceOutcome> Win32FileSecurity::replace_file(const std::string& from, const std::string& to) {
    auto source = open_relative(from, DELETE, kShareAll, FILE_OPEN, FILE_NON_DIRECTORY_FILE);
    if (!source) return fail(source.error());
    auto target = hold_folder_of(to);
    if (!target) return fail(target.error());
    // The new name is given relative to the held folder too.
    std::vector<BYTE> buffer(sizeof(FILE_RENAME_INFO) + target->name.size() * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = TRUE;
    rename->RootDirectory = target->handle.get();
    rename->FileNameLength = static_cast<DWORD>(target->name.size() * sizeof(wchar_t));
    std::memcpy(rename->FileName, target->name.data(), rename->FileNameLength);
    // Straight to the system call: some Win32 layers refuse a rename relative to a folder handle.
    IO_STATUS_BLOCK io{};
    NTSTATUS status = NtSetInformationFile(source->get(), &io, rename, static_cast<ULONG>(buffer.size()),
                                           FileRenameInformation);
    if (status >= 0) return ReplaceOutcome::Replaced;
    DWORD error = RtlNtStatusToDosError(status);
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
        error == ERROR_LOCK_VIOLATION) {
        return ReplaceOutcome::InUse;
    }
    return fail(windows_error_text(error));
}

}  // namespace vorn::win32
