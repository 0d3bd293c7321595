#include "platform/win32/handle.h"

#include "common/text.h"

namespace vorn::win32 {

std::wstring to_wide(std::string_view utf8) {
    std::u16string units = utf8_to_utf16(utf8);
    return std::wstring(units.begin(), units.end());
}

std::string from_wide(std::wstring_view wide) {
    return utf16_to_utf8_lossy(std::u16string_view(reinterpret_cast<const char16_t*>(wide.data()), wide.size()));
}

std::string windows_error_text(DWORD code) {
    wchar_t* buffer = nullptr;
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text;
    if (length != 0 && buffer != nullptr) text = std::string(trim(from_wide(std::wstring_view(buffer, length))));
    if (buffer != nullptr) LocalFree(buffer);
    if (text.empty()) text = "Windows error " + std::to_string(code);
    return text + " (os error " + std::to_string(code) + ")";
}

}  // namespace vorn::win32
