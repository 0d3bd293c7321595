#include "common/app_id.h"

#include <winsock2.h>
#include <windows.h>

namespace winsim {

std::wstring app_id_path(const std::wstring& windows_path) {
    // The full path, as Windows resolves it before asking the volume: '/' becomes '\', "." and
    // ".." go. A drive-relative or relative path takes the current directory.
    DWORD n = GetFullPathNameW(windows_path.c_str(), 0, nullptr, nullptr);
    if (n == 0) return {};
    std::wstring full(n, L'\0');
    n = GetFullPathNameW(windows_path.c_str(), n, full.data(), nullptr);
    full.resize(n);
    if (full.size() < 3 || full[1] != L':' || full[2] != L'\\') return {};
    wchar_t drive = full[0];
    if (drive >= L'a' && drive <= L'z') drive = static_cast<wchar_t>(drive - L'a' + L'A');
    if (drive < L'A' || drive > L'Z') return {};
    std::wstring device = L"\\device\\harddiskvolume" + std::to_wstring(drive - L'A' + 1) + full.substr(2);
    CharLowerBuffW(device.data(), static_cast<DWORD>(device.size()));
    return device;
}

}  // namespace winsim
