#include "platform/win32/local_file.h"

#include <vector>

#include "platform/win32/handle.h"
#include "platform/win32/win32_platform.h"

namespace vorn::win32 {

namespace {

// A drive letter mapped to a share would make the open authenticate to another host.
bool on_remote_drive(const std::wstring& path) {
    if (path.size() < 3 || path[1] != L':' || (path[2] != L'\\' && path[2] != L'/')) return false;
    const wchar_t root[] = {path[0], L':', L'\\', L'\0'};
    return GetDriveTypeW(root) == DRIVE_REMOTE;
}

Result<std::string> final_path_of(HANDLE file) {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        DWORD length = GetFinalPathNameByHandleW(file, buffer.data(), static_cast<DWORD>(buffer.size()),
                                                 FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0) return fail(last_error_text());
        if (length < buffer.size()) return from_wide(std::wstring_view(buffer.data(), length));
        buffer.resize(length + 1);
    }
}

}  // namespace

Result<OpenedFile, ReadFailure> read_local_file(const std::string& path) {
    const auto refused = [](std::string text) { return ReadFailure{fail(std::move(text))}; };
    const std::wstring wide = to_wide(path);
    if (on_remote_drive(wide)) return refused("the path is on a network drive");
    UniqueHandle file(CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
    if (!file) {
        DWORD error = GetLastError();
        return ReadFailure{fail(windows_error_text(error)), error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND};
    }
    if (GetFileType(file.get()) != FILE_TYPE_DISK) return refused("the path does not name a file on a disk");
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file.get(), &info)) return refused(last_error_text());
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return refused("the path names a folder");
    const uint64_t size = (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    if (size > kRequestFileLimitBytes) return refused(std::string(kRequestFileTooLarge));
    auto final_path = final_path_of(file.get());
    if (!final_path) return refused(final_path.error());
    if (final_path->rfind("\\\\?\\UNC\\", 0) == 0) return refused("the path leads to a network share");

    OpenedFile opened{std::string(), std::move(*final_path)};
    char chunk[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr)) return refused(last_error_text());
        if (got == 0) break;
        opened.bytes.append(chunk, got);
        // It may have grown since the size was read.
        if (opened.bytes.size() > kRequestFileLimitBytes) return refused(std::string(kRequestFileTooLarge));
    }
    return opened;
}

Result<OpenedFile, ReadFailure> Win32RequestFiles::read_local(const std::string& path) {
    return read_local_file(path);
}

}  // namespace vorn::win32
