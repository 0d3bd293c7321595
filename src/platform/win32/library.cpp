#include "platform/win32/handle.h"
#include "platform/win32/win32_platform.h"

#include <delayimp.h>

namespace {

// fwpuclnt, iphlpapi and bcrypt are not KnownDLLs: imported the usual way, Windows would take
// them from the executable's folder first. The executable delay-loads them instead, and each is
// loaded here, on its first use, from the system folder only.
FARPROC WINAPI load_from_system_folder(unsigned notification, PDelayLoadInfo info) {
    if (notification != dliNotePreLoadLibrary) return nullptr;
    return reinterpret_cast<FARPROC>(LoadLibraryExA(info->szDll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
}

}  // namespace

// The delay-load helper asks this hook first; it falls back to LoadLibraryA only when the hook
// loaded nothing, and restrict_dll_search() keeps that one to the system folder as well.
extern "C" {
PfnDliHook __pfnDliNotifyHook2 = load_from_system_folder;
}

namespace vorn::win32 {

namespace {

class Win32Module final : public LoadedModule {
public:
    explicit Win32Module(HMODULE module) : module_(module) {}
    Win32Module(const Win32Module&) = delete;
    Win32Module& operator=(const Win32Module&) = delete;
    ~Win32Module() override { FreeLibrary(module_); }

    Result<void*, SystemFailure> find_export(const std::string& name) override {
        FARPROC address = GetProcAddress(module_, name.c_str());
        if (address == nullptr) {
            DWORD error = GetLastError();
            return system_failure(error, windows_error_text(error));
        }
        return reinterpret_cast<void*>(address);
    }

private:
    HMODULE module_;
};

}  // namespace

void restrict_dll_search() { SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32); }

Result<std::unique_ptr<LoadedModule>, SystemFailure> Win32DllLoader::load(const std::string& path) {
    // By absolute path, its own imports from its folder and the system folder only: never from
    // the current folder or PATH, where a user could plant a DLL.
    std::wstring wide = to_wide(path);
    DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    std::wstring full(size, L'\0');
    if (size != 0) full.resize(GetFullPathNameW(wide.c_str(), size, full.data(), nullptr));
    if (size == 0 || full.empty()) {
        DWORD error = GetLastError();
        return system_failure(error, windows_error_text(error));
    }
    HMODULE module = LoadLibraryExW(full.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) {
        DWORD error = GetLastError();
        return system_failure(error, windows_error_text(error));
    }
    return std::make_unique<Win32Module>(module);
}

}  // namespace vorn::win32
