// The service's pipe: one instance held for the service's life, message mode, non-blocking,
// local clients only.

#include <winsock2.h>
#include <windows.h>
#include <sddl.h>

#include <vector>

#include "platform/service_names.h"
#include "platform/win32/handle.h"
#include "platform/win32/local_file.h"
#include "platform/win32/win32_platform.h"

namespace vorn::win32 {

namespace {

constexpr wchar_t kPipeName[] = L"" VORN_SERVICE_PIPE_NAME;
// LocalSystem, Administrators, Authenticated Users, Interactive users and Everyone.
constexpr wchar_t kPipeSddl[] = L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;AU)(A;;GA;;;IU)(A;;GA;;;WD)";
constexpr DWORD kBufferSize = 65536;
constexpr DWORD kDefaultTimeoutMs = 250;

PipeIo io_result(BOOL ok, DWORD bytes) {
    PipeIo io;
    io.ok = ok != 0;
    io.bytes = bytes;
    if (!ok) {
        DWORD error = GetLastError();
        io.error = error == ERROR_NO_DATA       ? PipeError::NoData
                   : error == ERROR_BROKEN_PIPE ? PipeError::BrokenPipe
                   : error == ERROR_MORE_DATA   ? PipeError::MoreData
                                                : PipeError::Other;
    }
    return io;
}

// Reverts to the service's own identity on every path.
class Impersonation {
public:
    explicit Impersonation(HANDLE pipe) : active_(ImpersonateNamedPipeClient(pipe) != 0) {}
    Impersonation(const Impersonation&) = delete;
    Impersonation& operator=(const Impersonation&) = delete;
    ~Impersonation() {
        if (active_) RevertToSelf();
    }
    bool active() const { return active_; }

private:
    bool active_;
};

class Win32PipeInstance final : public PipeInstance {
public:
    Win32PipeInstance(UniqueHandle pipe, PSECURITY_DESCRIPTOR descriptor)
        : pipe_(std::move(pipe)), descriptor_(descriptor) {}
    Win32PipeInstance(const Win32PipeInstance&) = delete;
    Win32PipeInstance& operator=(const Win32PipeInstance&) = delete;
    ~Win32PipeInstance() override {
        pipe_.reset();
        LocalFree(descriptor_);
    }

    PipeConnect connect() override {
        if (ConnectNamedPipe(pipe_.get(), nullptr)) return PipeConnect::Connected;
        DWORD error = GetLastError();
        if (error == ERROR_PIPE_CONNECTED) return PipeConnect::Connected;
        if (error == ERROR_PIPE_LISTENING) return PipeConnect::Listening;
        return PipeConnect::Failed;
    }
    PipeIo read(char* buffer, size_t size) override {
        DWORD bytes = 0;
        BOOL ok = ReadFile(pipe_.get(), buffer, static_cast<DWORD>(size), &bytes, nullptr);
        return io_result(ok, bytes);
    }
    PipeIo write(const char* data, size_t size) override {
        DWORD bytes = 0;
        BOOL ok = WriteFile(pipe_.get(), data, static_cast<DWORD>(size), &bytes, nullptr);
        return io_result(ok, bytes);
    }
    PipeIo peek() override {
        DWORD left_of_message = 0;
        BOOL ok = PeekNamedPipe(pipe_.get(), nullptr, 0, nullptr, nullptr, &left_of_message);
        return io_result(ok, left_of_message);
    }
    void disconnect() override { DisconnectNamedPipe(pipe_.get()); }
    Result<OpenedFile> read_as_client(const std::string& path) override {
        Impersonation as_client(pipe_.get());
        if (!as_client.active()) return fail(last_error_text());
        return read_local_file(path);
    }

private:
    UniqueHandle pipe_;
    PSECURITY_DESCRIPTOR descriptor_;
};

class Win32PipeConnection final : public ServicePipeConnection {
public:
    explicit Win32PipeConnection(UniqueHandle pipe) : pipe_(std::move(pipe)) {}
    uint32_t server_process_id() override {
        ULONG server = 0;
        return GetNamedPipeServerProcessId(pipe_.get(), &server) ? server : 0;
    }
    Result<std::string> exchange(const std::string& request) override {
        DWORD written = 0;
        if (!WriteFile(pipe_.get(), request.data(), static_cast<DWORD>(request.size()), &written, nullptr)) {
            return fail(last_error_text());
        }
        if (written != request.size()) return fail("the request was not written whole");
        std::string answer;
        std::vector<char> buffer(kBufferSize);
        for (;;) {
            DWORD got = 0;
            BOOL ok = ReadFile(pipe_.get(), buffer.data(), kBufferSize, &got, nullptr);
            answer.append(buffer.data(), got);
            if (ok) return answer;
            if (GetLastError() != ERROR_MORE_DATA) return fail(last_error_text());
        }
    }

private:
    UniqueHandle pipe_;
};

// Closes a service-manager handle on every path.
struct ScHandle {
    SC_HANDLE handle;
    ~ScHandle() {
        if (handle) CloseServiceHandle(handle);
    }
};

}  // namespace

std::optional<uint32_t> Win32ServiceClient::running_service_pid(const std::string& name) {
    ScHandle manager{OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT)};
    if (!manager.handle) return std::nullopt;
    ScHandle service{OpenServiceW(manager.handle, to_wide(name).c_str(), SERVICE_QUERY_STATUS)};
    if (!service.handle) return std::nullopt;
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service.handle, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                              sizeof status, &needed) ||
        status.dwCurrentState != SERVICE_RUNNING || status.dwProcessId == 0) {
        return std::nullopt;
    }
    return status.dwProcessId;
}

Result<std::unique_ptr<ServicePipeConnection>, PipeOpenFailure> Win32ServiceClient::open_pipe() {
    UniqueHandle pipe(CreateFileW(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!pipe) {
        DWORD error = GetLastError();
        return PipeOpenFailure{fail(windows_error_text(error)), error == ERROR_PIPE_BUSY        ? PipeOpen::Busy
                                                                : error == ERROR_FILE_NOT_FOUND ? PipeOpen::Absent
                                                                                                : PipeOpen::Failed};
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr)) {
        return PipeOpenFailure{fail(last_error_text()), PipeOpen::Failed};
    }
    return std::make_unique<Win32PipeConnection>(std::move(pipe));
}

Result<std::unique_ptr<PipeInstance>, PipeCreateFailure> Win32PipeServer::create() {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kPipeSddl, SDDL_REVISION_1, &descriptor, nullptr)) {
        return PipeCreateFailure{fail(last_error_text()), false};
    }
    SECURITY_ATTRIBUTES sa{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
    // The first and only instance: while it is open nobody else can create one, and a name
    // someone already holds is refused instead of joined. Message mode, message reads, no
    // waiting (7), and no clients from other machines.
    UniqueHandle pipe(CreateNamedPipeW(kPipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                       PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_NOWAIT |
                                           PIPE_REJECT_REMOTE_CLIENTS,
                                       1, kBufferSize, kBufferSize, kDefaultTimeoutMs, &sa));
    if (!pipe) {
        DWORD error = GetLastError();
        // Windows refuses the first-instance flag with access denied; a full pipe is busy.
        LocalFree(descriptor);
        return PipeCreateFailure{fail(windows_error_text(error)), error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY};
    }
    return std::make_unique<Win32PipeInstance>(std::move(pipe), descriptor);
}

}  // namespace vorn::win32
