#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace vorn::win32 {

// Owns one kernel handle; INVALID_HANDLE_VALUE and null both mean "none".
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE h) : h_(h) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) reset(std::exchange(other.h_, nullptr));
        return *this;
    }
    ~UniqueHandle() { reset(); }

    HANDLE get() const { return h_; }
    bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
    explicit operator bool() const { return valid(); }
    HANDLE release() { return std::exchange(h_, nullptr); }
    void reset(HANDLE h = nullptr) {
        if (valid()) CloseHandle(h_);
        h_ = h;
    }

private:
    HANDLE h_ = nullptr;
};

// A FILETIME (100 ns units since 1601) as Unix milliseconds; 0 before 1970.
inline uint64_t unix_ms_from_filetime(const FILETIME& ft) {
    uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    constexpr uint64_t kEpochTicks = 116444736000000000ull;  // 1970-01-01
    return ticks < kEpochTicks ? 0 : (ticks - kEpochTicks) / 10000;
}

std::wstring to_wide(std::string_view utf8);
std::string from_wide(std::wstring_view wide);
// The system's text for a Windows error code, followed by " (os error N)".
std::string windows_error_text(DWORD code);
inline std::string last_error_text() { return windows_error_text(GetLastError()); }

}  // namespace vorn::win32
