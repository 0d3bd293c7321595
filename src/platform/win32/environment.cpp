#include <winsock2.h>
#include <windows.h>
#include <shlobj.h>

#include "common/text.h"
#include "platform/win32/handle.h"
#include "platform/win32/win32_platform.h"

namespace vorn::win32 {

namespace {

// {F1B32785-6FBA-4FCF-9D55-7B8E7F157091}
const GUID kFolderLocalAppData = {
    0xF1B32785, 0x6FBA, 0x4FCF, {0x9D, 0x55, 0x7B, 0x8E, 0x7F, 0x15, 0x70, 0x91}};

std::optional<std::string> strict_utf8(const std::wstring& wide) {
    return utf16_to_utf8_strict(
        std::u16string_view(reinterpret_cast<const char16_t*>(wide.data()), wide.size()));
}

}  // namespace

std::optional<std::string> Win32Environment::variable(const std::string& name) {
    std::wstring wname = to_wide(name);
    std::wstring value(256, L'\0');
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        DWORD n = GetEnvironmentVariableW(wname.c_str(), value.data(), static_cast<DWORD>(value.size()));
        if (n == 0) {
            if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
            return std::string();
        }
        if (n < value.size()) {
            value.resize(n);
            return strict_utf8(value);
        }
        value.resize(n);
    }
}

std::optional<std::string> Win32Environment::local_app_data() {
    PWSTR path = nullptr;
    HRESULT hr = SHGetKnownFolderPath(kFolderLocalAppData, 0, nullptr, &path);
    std::optional<std::string> result;
    if (SUCCEEDED(hr) && path != nullptr) result = strict_utf8(path);
    CoTaskMemFree(path);
    return result;
}

std::string Win32Environment::temp_directory() {
    using GetTempPath2Fn = DWORD(WINAPI*)(DWORD, LPWSTR);
    static const auto get_temp_path2 = reinterpret_cast<GetTempPath2Fn>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetTempPath2W")));
    wchar_t buffer[MAX_PATH + 2] = {};
    DWORD n = get_temp_path2 != nullptr ? get_temp_path2(MAX_PATH + 1, buffer)
                                        : GetTempPathW(MAX_PATH + 1, buffer);
    return from_wide(std::wstring_view(buffer, n <= MAX_PATH + 1 ? n : 0));
}

Result<std::string> Win32Environment::executable_path() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return fail(last_error_text());
        if (n < buffer.size()) return from_wide(std::wstring_view(buffer.data(), n));
        if (buffer.size() >= 32768) return fail(windows_error_text(ERROR_INSUFFICIENT_BUFFER));
        buffer.resize(buffer.size() * 2);
    }
}

uint32_t Win32Environment::current_process_id() { return GetCurrentProcessId(); }

std::optional<uint64_t> Win32Environment::file_write_time_ms(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(to_wide(path).c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
    return unix_ms_from_filetime(data.ftLastWriteTime);
}

std::optional<std::string> Win32Environment::windows_version() {
    // GetVersionExW answers what the manifest claims; RtlGetVersion what the system is.
    using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) return std::nullopt;
    auto get_version = reinterpret_cast<RtlGetVersionFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "RtlGetVersion")));
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (get_version == nullptr || get_version(&info) != 0) return std::nullopt;
    return std::to_string(info.dwMajorVersion) + "." + std::to_string(info.dwMinorVersion) + "." +
           std::to_string(info.dwBuildNumber);
}

uint64_t Win32Clock::unix_time_ms() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return unix_ms_from_filetime(ft);
}

void Win32Clock::sleep_ms(uint32_t milliseconds) { Sleep(milliseconds); }

}  // namespace vorn::win32
