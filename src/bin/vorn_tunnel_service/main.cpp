// Process entry: builds the Win32 platform once and hands it to the command dispatcher.

#include <iostream>
#include <string>
#include <vector>

#include "bin/vorn_tunnel_service/commands.h"
#include "platform/win32/handle.h"
#include "platform/win32/win32_platform.h"

int wmain(int argc, wchar_t** argv) {
    vorn::win32::restrict_dll_search();
    vorn::win32::use_binary_console_streams();
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) args.push_back(vorn::win32::from_wide(argv[i]));

    vorn::win32::Win32Adapters adapters;
    vorn::Platform platform = adapters.platform(std::cout, std::cerr);
    return vorn::run_command_line(platform, args);
}
