#include "platform/win32/process_util.h"

#include <vector>

namespace vorn::win32 {

namespace {

// Owns the attribute list that limits inheritance to the child's own standard handles, so no
// other handle of the service leaks into tools or engines.
class HandleListAttribute {
public:
    explicit HandleListAttribute(std::vector<HANDLE> handles) : handles_(std::move(handles)) {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        storage_.resize(size);
        list_ = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
        initialized_ = InitializeProcThreadAttributeList(list_, 1, 0, &size) != 0;
        ok_ = initialized_ &&
              UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                        handles_.size() * sizeof(HANDLE), nullptr, nullptr);
    }
    HandleListAttribute(const HandleListAttribute&) = delete;
    HandleListAttribute& operator=(const HandleListAttribute&) = delete;
    ~HandleListAttribute() {
        if (initialized_) DeleteProcThreadAttributeList(list_);
    }
    bool ok() const { return ok_; }
    LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

private:
    std::vector<HANDLE> handles_;
    std::vector<unsigned char> storage_;
    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
    bool ok_ = false;
    bool initialized_ = false;
};

}  // namespace

std::wstring system_directory() {
    wchar_t buffer[MAX_PATH + 1] = {};
    UINT n = GetSystemDirectoryW(buffer, MAX_PATH + 1);
    return std::wstring(buffer, n <= MAX_PATH ? n : 0);
}

SECURITY_ATTRIBUTES inheritable() {
    return SECURITY_ATTRIBUTES{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
}

UniqueHandle open_null_device() {
    SECURITY_ATTRIBUTES sa = inheritable();
    return UniqueHandle(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr));
}

UniqueHandle inheritable_copy(DWORD std_handle) {
    HANDLE source = GetStdHandle(std_handle);
    if (source == nullptr || source == INVALID_HANDLE_VALUE) return open_null_device();
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), source, GetCurrentProcess(), &copy, 0, TRUE,
                         DUPLICATE_SAME_ACCESS)) {
        return open_null_device();
    }
    return UniqueHandle(copy);
}

Result<StartedProcess> start_hidden_process(const std::wstring& application, std::wstring command_line,
                                            HANDLE in, HANDLE out, HANDLE err) {
    std::vector<HANDLE> handles;
    for (HANDLE h : {in, out, err}) {
        if (h == nullptr || h == INVALID_HANDLE_VALUE) return fail(windows_error_text(ERROR_INVALID_HANDLE));
        bool seen = false;
        for (HANDLE o : handles) seen = seen || o == h;
        if (!seen) handles.push_back(h);
    }
    HandleListAttribute attribute(std::move(handles));
    if (!attribute.ok()) return fail(last_error_text());

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof(startup);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = in;
    startup.StartupInfo.hStdOutput = out;
    startup.StartupInfo.hStdError = err;
    startup.lpAttributeList = attribute.get();

    PROCESS_INFORMATION info{};
    auto create = [&] {
        return CreateProcessW(application.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                              CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT | CREATE_UNICODE_ENVIRONMENT, nullptr,
                              nullptr, &startup.StartupInfo, &info) != 0;
    };
    // A creation that fails with ERROR_INTERNAL_ERROR is transient (seen under load); one more
    // attempt at once costs nothing when it is not.
    bool created = create();
    if (!created && GetLastError() == ERROR_INTERNAL_ERROR) created = create();
    if (!created) return fail(last_error_text());
    StartedProcess started;
    started.process.reset(info.hProcess);
    started.thread.reset(info.hThread);
    started.pid = info.dwProcessId;
    return started;
}

}  // namespace vorn::win32
