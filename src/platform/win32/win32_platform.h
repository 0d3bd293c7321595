#pragma once

#include <winsock2.h>
#include <windows.h>

#include <string_view>
// The production adapters. Only the composition root constructs these.

#include "platform/clock.h"
#include "platform/driver.h"
#include "platform/environment.h"
#include "platform/file_security.h"
#include "platform/library.h"
#include "platform/wfp.h"
#include "platform/network.h"
#include "platform/platform.h"
#include "platform/processes.h"
#include "platform/service.h"
#include "platform/sockets.h"
#include "platform/tools.h"

namespace vorn::win32 {

class Win32Environment final : public Environment {
public:
    std::optional<std::string> variable(const std::string& name) override;
    std::optional<std::string> local_app_data() override;
    std::string temp_directory() override;
    Result<std::string> executable_path() override;
    uint32_t current_process_id() override;
    std::optional<uint64_t> file_write_time_ms(const std::string& path) override;
    std::optional<std::string> windows_version() override;
};

class Win32Clock final : public Clock {
public:
    uint64_t unix_time_ms() override;
    void sleep_ms(uint32_t milliseconds) override;
};

class Win32ToolRunner final : public ToolRunner {
public:
    Result<ToolRun> run(const std::string& program, const std::vector<std::string>& args,
                        ToolStdio stdio) override;
};

class Win32ProcessLauncher final : public ProcessLauncher {
public:
    Result<std::unique_ptr<ChildProcess>, LaunchFailure> launch(const LaunchRequest& request) override;
    std::optional<uint64_t> process_start_time_ms(uint32_t pid) override;
    std::unique_ptr<ChildProcess> open(uint32_t pid) override;
};

class Win32Network final : public Network {
public:
    Win32Network();
    ~Win32Network() override;
    Win32Network(const Win32Network&) = delete;
    Win32Network& operator=(const Win32Network&) = delete;
    bool tcp_connect(const std::string& host, uint16_t port) override;
    std::optional<std::string> resolve_ipv4(const std::string& host) override;
    Result<std::vector<uint32_t>> tcp_listener_pids(uint16_t port) override;
    bool routes_may_have_changed() override;

private:
    struct RouteNotifications;
    bool started_ = false;
    std::unique_ptr<RouteNotifications> routes_;
};

class Win32DllLoader final : public DllLoader {
public:
    Result<std::unique_ptr<LoadedModule>, SystemFailure> load(const std::string& path) override;
};

class Win32FileSecurity final : public FileSecurity {
public:
    Result<std::optional<FileFacts>> inspect(const std::string& path) override;
    Status create_private_directory(const std::string& path) override;
    Status make_private(const std::string& path) override;
    Status rename_entry(const std::string& from, const std::string& to) override;
    Status remove_entry(const std::string& path) override;
    Result<std::string> read_file(const std::string& path) override;
    Status write_new_file(const std::string& path, std::string_view bytes, FileReaders readers) override;
    Result<ReplaceOutcome> replace_file(const std::string& from, const std::string& to) override;
};

class Win32Wfp final : public Wfp {
public:
    Result<std::unique_ptr<WfpSession>, SystemFailure> open() override;
    Result<std::vector<uint8_t>, SystemFailure> app_id(const std::string& path) override;
};

class Win32ServiceHost final : public ServiceHost {
public:
    Status run_dispatcher(const std::string& name, std::function<void()> service_main) override;
    bool register_control_handler(const std::string& name, std::function<void(uint32_t)> handler) override;
    void report_status(ServiceState state) override;
};

class Win32PipeServer final : public PipeServer {
public:
    Result<std::unique_ptr<PipeInstance>, PipeCreateFailure> create() override;
};

class Win32ServiceClient final : public ServiceClient {
public:
    std::optional<uint32_t> running_service_pid(const std::string& name) override;
    Result<std::unique_ptr<ServicePipeConnection>, PipeOpenFailure> open_pipe() override;
};

class Win32RequestFiles final : public RequestFiles {
public:
    Result<OpenedFile, ReadFailure> read_local(const std::string& path) override;
};

class WinsockSockets final : public SocketApi {
public:
    Result<SocketHandle> listen_loopback(uint16_t& port) override;
    Result<SocketHandle, AcceptFailure> accept(SocketHandle listener) override;
    Result<SocketHandle> start_connect(const Endpoint& to) override;
    Status connection_result(SocketHandle socket) override;
    long receive(SocketHandle socket, char* buffer, size_t size) override;
    long send(SocketHandle socket, const char* data, size_t size) override;
    void shutdown_send(SocketHandle socket) override;
    void close(SocketHandle socket) override;
    Result<std::unique_ptr<SocketPoller>> make_poller() override;
};

// SIO_QUERY_WFP_CONNECTION_REDIRECT_CONTEXT on an accepted socket.
class WfpRedirectContext final : public RedirectContext {
public:
    Result<std::string> query(SocketHandle accepted) override;
};

class Win32DriverServiceControl final : public DriverServiceControl {
public:
    Win32DriverServiceControl() = default;
    Win32DriverServiceControl(const Win32DriverServiceControl&) = delete;
    Win32DriverServiceControl& operator=(const Win32DriverServiceControl&) = delete;
    ~Win32DriverServiceControl() override { close(); }

    Result<void, DriverOpenFailure> open(const std::string& service_name) override;
    Result<DriverServiceState, SystemFailure> query() override;
    Result<void, SystemFailure> start() override;
    void close() override;

private:
    SC_HANDLE manager_ = nullptr;
    SC_HANDLE service_ = nullptr;
};

class Win32DriverDevice final : public DriverDevice {
public:
    DriverReply control(uint32_t code, const std::string* input, uint32_t output_size) override;
};

// Limits the DLL search of every later load to the system folder; the first thing a process does.
void restrict_dll_search();

// The Wintun DLL carried inside the executable.
std::string_view embedded_wintun_image();

// Every production adapter, built once by a Windows program's entry point.
struct Win32Adapters {
    Win32Environment env;
    Win32ToolRunner tools;
    Win32Clock clock;
    Win32ProcessLauncher processes;
    Win32Network net;
    Win32DllLoader dlls;
    Win32FileSecurity files;
    Win32Wfp wfp;
    Win32ServiceHost service;
    Win32PipeServer pipes;
    Win32ServiceClient service_client;
    Win32DriverServiceControl driver_service;
    Win32DriverDevice driver;
    WinsockSockets sockets;
    WfpRedirectContext redirect_context;
    Win32RequestFiles request_files;

    Platform platform(std::ostream& out, std::ostream& err) {
        return Platform{env,  tools, clock, processes, net, dlls, files, wfp, embedded_wintun_image(), service, pipes,
                        service_client, driver_service, driver, sockets, redirect_context, request_files, out, err};
    }
};

// Standard output and error carry bytes unchanged (no CR LF translation).
void use_binary_console_streams();

}  // namespace vorn::win32
