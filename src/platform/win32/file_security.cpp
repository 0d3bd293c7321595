// Owners and DACLs of the service's files and folders. Handles are opened without following
// reparse points, so a link is judged (and removed) as itself.

#include <aclapi.h>
#include <bcrypt.h>
#include <sddl.h>
#include <windows.h>
#include <winsock2.h>

#include <vector>

#include "platform/win32/handle.h"
#include "platform/win32/security.h"
#include "platform/win32/win32_platform.h"

namespace vorn::win32 {

namespace {

// LocalSystem and Administrators full control, everyone else read and execute; inherited by
// everything created inside.
constexpr wchar_t kPrivateFolderDacl[] =
    L"D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;WD)";
constexpr wchar_t kTrustedInstallerSid[] =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

constexpr DWORD kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                               FILE_DELETE_CHILD | FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC |
                               WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

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

// Taking back a folder someone else owns needs these; an elevated administrator holds them.
void enable_ownership_privileges() {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &raw)) return;
    UniqueHandle token(raw);
    for (const wchar_t* name : {SE_TAKE_OWNERSHIP_NAME, SE_RESTORE_NAME}) {
        TOKEN_PRIVILEGES privileges{};
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        if (LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid)) {
            AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr);
        }
    }
}

// The write rights the DACL grants to accounts that are not trusted.
DWORD others_write_rights(PACL dacl) {
    if (dacl == nullptr) return kWriteRights;  // no DACL: everyone has full control
    DWORD rights = 0;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace)) return kWriteRights;
        auto* header = static_cast<ACE_HEADER*>(ace);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE ||
            (header->AceFlags & INHERIT_ONLY_ACE) != 0)
            continue;
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        if (!is_trusted_sid(&allowed->SidStart)) rights |= allowed->Mask & kWriteRights;
    }
    return rights;
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
    const DWORD others = others_write_rights(dacl);
    facts.others_may_write = others != 0;
    facts.others_only_add_folders = facts.directory && others == FILE_ADD_SUBDIRECTORY;
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

Status Win32FileSecurity::take_back(const std::string& path) {
    enable_ownership_privileges();
    PSID user = process_user_sid();
    if (user == nullptr) return fail(last_error_text());
    {
        // Ownership first: the new owner may then rewrite a DACL that denied it everything.
        UniqueHandle entry = open_entry(path, WRITE_OWNER);
        if (!entry) return fail(last_error_text());
        DWORD error = SetSecurityInfo(entry.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, user,
                                      nullptr, nullptr, nullptr);
        if (error != ERROR_SUCCESS) return fail(windows_error_text(error));
    }
    SddlDescriptor descriptor(kPrivateFolderDacl);
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

Status Win32FileSecurity::remove_entry(const std::string& path) {
    std::wstring wide = to_wide(path);
    DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        if (missing(error)) return {};
        return fail(windows_error_text(error));
    }
    // A junction or folder link is removed as a folder, which never touches its target.
    auto remove = [&] {
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? RemoveDirectoryW(wide.c_str())
                                                            : DeleteFileW(wide.c_str());
    };
    if (remove()) return {};
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
        SetFileAttributesW(wide.c_str(),
                           attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY)) &&
        remove()) {
        return {};
    }
    return fail(last_error_text());
}

Status Win32FileSecurity::write_new_file(const std::string& path, std::string_view bytes) {
    UniqueHandle file(CreateFileW(to_wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr));
    if (!file) return fail(last_error_text());
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
        DWORD written = 0;
        if (!WriteFile(file.get(), bytes.data() + done, chunk, &written, nullptr))
            return fail(last_error_text());
        done += written;
    }
    if (!FlushFileBuffers(file.get())) return fail(last_error_text());
    return {};
}

Result<ReplaceOutcome> Win32FileSecurity::replace_file(const std::string& from,
                                                       const std::string& to) {
    if (MoveFileExW(to_wide(from).c_str(), to_wide(to).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return ReplaceOutcome::Replaced;
    }
    DWORD error = GetLastError();
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
        error == ERROR_LOCK_VIOLATION) {
        return ReplaceOutcome::InUse;
    }
    return fail(windows_error_text(error));
}

}  // namespace vorn::win32
