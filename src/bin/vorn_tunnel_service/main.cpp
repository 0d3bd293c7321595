// Process entry: builds the Win32 platform once and hands it to the command dispatcher.

#include <iostream>
#include <string>
#include <vector>

#include "bin/vorn_tunnel_service/commands.h"
#include "platform/win32/handle.h"
#include "platform/win32/win32_platform.h"

int wmain(int argc, wchar_t** argv) {
    vorn::win32::use_binary_console_streams();
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) args.push_back(vorn::win32::from_wide(argv[i]));

    vorn::win32::Win32Environment env;
    vorn::win32::Win32ToolRunner tools;
    vorn::win32::Win32Clock clock;
    vorn::win32::Win32ProcessLauncher processes;
    vorn::win32::Win32Network net;
    vorn::win32::Win32DllLoader dlls;
    vorn::win32::Win32Wfp wfp;
    vorn::win32::Win32ServiceHost service;
    vorn::win32::Win32PipeServer pipes;
    vorn::win32::Win32DriverServiceControl driver_service;
    vorn::win32::Win32DriverDevice driver;
    vorn::win32::WinsockSockets sockets;
    vorn::win32::WfpRedirectContext redirect_context;
    vorn::Platform platform{env,   tools,          clock,  processes, net,     dlls,
                            wfp,   vorn::win32::embedded_wintun_image(), service, pipes, driver_service,
                            driver, sockets,       redirect_context,     std::cout, std::cerr};
    return vorn::run_command_line(platform, args);
}
