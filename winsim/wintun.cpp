// Stand-in wintun.dll: exports the four adapter entry points the system checks for and the TUN
// engine loads. It creates no adapter; the stand-in Xray shows the interface itself.

#include <winsock2.h>
#include <windows.h>

extern "C" {

__declspec(dllexport) void* WINAPI WintunCreateAdapter(const wchar_t*, const wchar_t*, const GUID*) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
}

__declspec(dllexport) void* WINAPI WintunOpenAdapter(const wchar_t*) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
}

__declspec(dllexport) void WINAPI WintunCloseAdapter(void*) {}

__declspec(dllexport) BOOL WINAPI WintunDeleteDriver() { return TRUE; }

}
