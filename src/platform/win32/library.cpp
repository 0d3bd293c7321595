#include "platform/win32/handle.h"
#include "platform/win32/win32_platform.h"

namespace vorn::win32 {

namespace {

class Win32Module final : public LoadedModule {
public:
    explicit Win32Module(HMODULE module) : module_(module) {}
    Win32Module(const Win32Module&) = delete;
    Win32Module& operator=(const Win32Module&) = delete;
    ~Win32Module() override { FreeLibrary(module_); }

    Result<void*> find_export(const std::string& name, uint32_t& error) override {
        FARPROC address = GetProcAddress(module_, name.c_str());
        if (address == nullptr) {
            error = GetLastError();
            return fail(windows_error_text(error));
        }
        return reinterpret_cast<void*>(address);
    }

private:
    HMODULE module_;
};

}  // namespace

std::unique_ptr<LoadedModule> Win32DllLoader::load(const std::string& path, uint32_t& error) {
    HMODULE module = LoadLibraryW(to_wide(path).c_str());
    if (module == nullptr) {
        error = GetLastError();
        return nullptr;
    }
    return std::make_unique<Win32Module>(module);
}

}  // namespace vorn::win32
