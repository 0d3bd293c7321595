// The split redirect driver's kernel service and device.

#include <winsock2.h>
#include <windows.h>

#include "platform/split_driver_protocol.h"
#include "platform/win32/handle.h"
#include "platform/win32/win32_platform.h"

namespace vorn::win32 {

namespace {

SystemFailure last_system_failure() {
    DWORD error = GetLastError();
    return system_failure(error, windows_error_text(error));
}

}  // namespace

Result<void, DriverOpenFailure> Win32DriverServiceControl::open(const std::string& service_name) {
    close();
    manager_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager_ == nullptr) return DriverOpenFailure{last_system_failure(), true};
    service_ = OpenServiceW(manager_, to_wide(service_name).c_str(), SERVICE_QUERY_STATUS | SERVICE_START);
    if (service_ == nullptr) {
        DriverOpenFailure failure{last_system_failure(), false};
        CloseServiceHandle(manager_);
        manager_ = nullptr;
        return failure;
    }
    return {};
}

Result<DriverServiceState, SystemFailure> Win32DriverServiceControl::query() {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service_, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                              &needed)) {
        return last_system_failure();
    }
    switch (status.dwCurrentState) {
        case SERVICE_STOPPED: return DriverServiceState::Stopped;
        case SERVICE_START_PENDING: return DriverServiceState::StartPending;
        case SERVICE_STOP_PENDING: return DriverServiceState::StopPending;
        case SERVICE_RUNNING: return DriverServiceState::Running;
        default: return DriverServiceState::Other;
    }
}

Result<void, SystemFailure> Win32DriverServiceControl::start() {
    if (StartServiceW(service_, 0, nullptr)) return {};
    SystemFailure failure = last_system_failure();
    if (failure.error_value == ERROR_SERVICE_ALREADY_RUNNING) return {};
    return failure;
}

void Win32DriverServiceControl::close() {
    if (service_ != nullptr) CloseServiceHandle(service_);
    if (manager_ != nullptr) CloseServiceHandle(manager_);
    service_ = nullptr;
    manager_ = nullptr;
}

DriverReply Win32DriverDevice::control(uint32_t code, const std::string* input, uint32_t output_size) {
    DriverReply reply;
    UniqueHandle device(CreateFileW(L"\\\\.\\" VORN_DRIVER_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!device) return reply;
    reply.opened = true;
    reply.output.assign(output_size, '\0');
    DWORD returned = 0;
    reply.ok = DeviceIoControl(device.get(), code, input ? const_cast<char*>(input->data()) : nullptr,
                               input ? static_cast<DWORD>(input->size()) : 0,
                               output_size ? reply.output.data() : nullptr, output_size, &returned, nullptr) != 0;
    reply.reported = returned;
    return reply;
}

}  // namespace vorn::win32
