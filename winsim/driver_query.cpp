// driver-query: looks into the simulated machine's split redirect driver through its device, for
// tests and the demo.
//
//   driver-query.exe                prints the diagnostics as JSON (exit 0)
//   driver-query.exe set FILE       sends FILE's bytes as a policy; prints "accepted" (exit 0)
//   driver-query.exe clear          clears the policy (exit 0)
//   driver-query.exe owner          prints the process id the held policy names (0: none)
// A device that cannot be opened exits 2, a request the driver refuses exits 3; both print
// the Windows error on standard error.

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "common/sim.h"
#include "platform/split_driver_protocol.h"
#include "split_driver_sim.h"

using namespace winsim;

namespace {

constexpr DWORD kSetPolicy = VORN_IOCTL_SET_POLICY;
constexpr DWORD kClearPolicy = VORN_IOCTL_CLEAR_POLICY;
constexpr DWORD kQueryDiagnostics = VORN_IOCTL_QUERY_DIAGNOSTICS;
constexpr DWORD kSimPolicyOwner = VORN_IOCTL_SIM_POLICY_OWNER;

uint32_t u32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

int control(DWORD code, std::string input, std::string& output) {
    HANDLE device = CreateFileW(L"\\\\.\\" VORN_DRIVER_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        err("driver-query: cannot open the device: error " + std::to_string(GetLastError()) + "\n");
        return 2;
    }
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(device, code, input.empty() ? nullptr : input.data(), static_cast<DWORD>(input.size()),
                              output.empty() ? nullptr : output.data(), static_cast<DWORD>(output.size()), &returned,
                              nullptr);
    DWORD error = GetLastError();
    CloseHandle(device);
    if (!ok) {
        err("driver-query: the driver refused the request: error " + std::to_string(error) + "\n");
        return 3;
    }
    output.resize(returned);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args = utf8_args(argc, argv);
    std::string output;
    if (args.size() == 2 && args[0] == "set") {
        std::ifstream file(std::filesystem::path(widen(args[1])), std::ios::binary);
        std::string record((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        int rc = control(kSetPolicy, record, output);
        if (rc == 0) out("accepted\n");
        return rc;
    }
    if (args.size() == 1 && args[0] == "clear") return control(kClearPolicy, {}, output);
    if (args.size() == 1 && args[0] == "owner") {
        output.assign(4, '\0');
        if (int rc = control(kSimPolicyOwner, {}, output); rc != 0) return rc;
        if (output.size() != 4) return 3;
        out(std::to_string(u32(reinterpret_cast<const unsigned char*>(output.data()))) + "\n");
        return 0;
    }
    if (!args.empty()) {
        err("usage: driver-query.exe [set FILE | clear | owner]\n");
        return 1;
    }
    output.assign(VORN_DIAGNOSTICS_SIZE, '\0');
    if (int rc = control(kQueryDiagnostics, {}, output); rc != 0) return rc;
    if (output.size() != VORN_DIAGNOSTICS_SIZE) {
        err("driver-query: the driver answered " + std::to_string(output.size()) + " bytes\n");
        return 3;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(output.data());
    nlohmann::ordered_json answer;
    answer["version"] = u32(p);
    answer["tracked"] = u32(p + 4);
    answer["applications"] = u32(p + 8);
    answer["port"] = static_cast<uint32_t>(p[12] | p[13] << 8);
    answer["accepted"] = u32(p + 16);
    out(answer.dump() + "\n");
    return 0;
}
