// The service control manager side of the service. The dispatcher and the control handler
// call back without a context, so the callbacks the core gave are kept here, process-wide.

#include <atomic>
#include <mutex>

#include "platform/win32/handle.h"
#include "platform/win32/win32_platform.h"

namespace vorn::win32 {

namespace {

std::function<void()> g_service_main;
std::function<void(uint32_t)> g_control_handler;
std::atomic<SERVICE_STATUS_HANDLE> g_status_handle{nullptr};

void WINAPI service_entry(DWORD, LPWSTR*) {
    if (g_service_main) g_service_main();
}

DWORD WINAPI control_entry(DWORD control, DWORD, LPVOID, LPVOID) {
    if (g_control_handler) g_control_handler(control);
    return NO_ERROR;
}

}  // namespace

Status Win32ServiceHost::run_dispatcher(const std::string& name, std::function<void()> service_main) {
    g_service_main = std::move(service_main);
    std::wstring wide_name = to_wide(name);
    SERVICE_TABLE_ENTRYW table[] = {{wide_name.data(), service_entry}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) {
        return fail("StartServiceCtrlDispatcherW failed: Windows error " + std::to_string(GetLastError()));
    }
    return {};
}

bool Win32ServiceHost::register_control_handler(const std::string& name, std::function<void(uint32_t)> handler) {
    g_control_handler = std::move(handler);
    SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerExW(to_wide(name).c_str(), control_entry, nullptr);
    g_status_handle = handle;
    return handle != nullptr;
}

void Win32ServiceHost::report_status(ServiceState state) {
    SERVICE_STATUS_HANDLE handle = g_status_handle;
    if (handle == nullptr) return;
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    switch (state) {
        case ServiceState::StartPending: status.dwCurrentState = SERVICE_START_PENDING; break;
        case ServiceState::Running:
            status.dwCurrentState = SERVICE_RUNNING;
            status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
            break;
        case ServiceState::StopPending: status.dwCurrentState = SERVICE_STOP_PENDING; break;
        case ServiceState::Stopped: status.dwCurrentState = SERVICE_STOPPED; break;
    }
    SetServiceStatus(handle, &status);
}

}  // namespace vorn::win32
