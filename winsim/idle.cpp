// A process that only waits: a stand-in application, a "conflicting VPN client" or an engine
// image when copied under such a name, or the ordinary process that keeps Wine's services
// alive during a test.
//
//   idle.exe [SECONDS] [PID-FILE]   waits SECONDS (default 600); writes its process id first

#include "common/sim.h"

#include <filesystem>
#include <fstream>

int wmain(int argc, wchar_t** argv) {
    DWORD seconds = argc > 1 ? static_cast<DWORD>(_wtoi(argv[1])) : 600;
    if (argc > 2) {
        std::ofstream(std::filesystem::path(argv[2]), std::ios::binary) << GetCurrentProcessId();
    }
    Sleep(seconds * 1000);
    return 0;
}
