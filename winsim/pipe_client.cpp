// pipe-client: sends one request message on the service's pipe and prints the answer, as the
// desktop application does. Before it sends anything it checks that the pipe is served by the
// service's own process; otherwise it exits 3.
//
//   pipe-client.exe REQUEST-JSON            send, print the answer (exit 0), or exit 2 (3: the
//                                           pipe's server is not the service)
//   pipe-client.exe --file PATH             send the bytes of a file as they are (any size, any bytes)
//   pipe-client.exe --hold SECONDS          connect, send nothing, wait, close
//   pipe-client.exe --time N REQUEST-JSON   N round trips; prints each one's milliseconds
//   pipe-client.exe --service-pid           prints the running service's process id (0: none)

#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/sim.h"
#include "platform/service_names.h"

using namespace winsim;

namespace {

const wchar_t kPipe[] = L"" VORN_SERVICE_PIPE_NAME;
const wchar_t kService[] = L"" VORN_SERVICE_NAME;

// The process id of the running service; 0 when it is not running or cannot be asked.
DWORD service_process_id() {
    DWORD pid = 0;
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) return 0;
    if (SC_HANDLE service = OpenServiceW(manager, kService, SERVICE_QUERY_STATUS)) {
        SERVICE_STATUS_PROCESS status{};
        DWORD needed = 0;
        if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status), sizeof status,
                                 &needed)) {
            pid = status.dwProcessId;
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return pid;
}

// Whoever holds the pipe's name gets our request (and could act as us once it has read from
// the pipe): nothing is sent unless the server is the service's own process.
bool served_by_the_service(HANDLE pipe) {
    ULONG server = 0;
    if (!GetNamedPipeServerProcessId(pipe, &server)) {
        err("pipe-client: cannot tell who serves the pipe: error " + std::to_string(GetLastError()) + "\n");
        return false;
    }
    DWORD service = service_process_id();
    if (server == 0 || server != service) {
        err("pipe-client: the pipe is served by process " + std::to_string(server) + ", not by the service " +
            "VornTunnelService (process " + std::to_string(service) + ")\n");
        return false;
    }
    return true;
}

// Opens the pipe, waiting up to 30 s while the service is busy with another client.
HANDLE open_pipe() {
    for (int attempt = 0; attempt < 600; ++attempt) {
        HANDLE pipe = CreateFileW(kPipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            DWORD mode = PIPE_READMODE_MESSAGE;
            SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
            return pipe;
        }
        Sleep(50);
    }
    return INVALID_HANDLE_VALUE;
}

enum class Trip { Answered, Failed, WrongServer };

Trip round_trip(const std::string& request, std::string& answer) {
    HANDLE pipe = open_pipe();
    if (pipe == INVALID_HANDLE_VALUE) {
        err("pipe-client: cannot open the service pipe: error " + std::to_string(GetLastError()) + "\n");
        return Trip::Failed;
    }
    if (!served_by_the_service(pipe)) {
        CloseHandle(pipe);
        return Trip::WrongServer;
    }
    DWORD written = 0;
    if (!WriteFile(pipe, request.data(), static_cast<DWORD>(request.size()), &written, nullptr)) {
        err("pipe-client: write failed: error " + std::to_string(GetLastError()) + "\n");
        CloseHandle(pipe);
        return Trip::Failed;
    }
    answer.clear();
    char buffer[65536];
    for (;;) {
        DWORD got = 0;
        BOOL ok = ReadFile(pipe, buffer, sizeof buffer, &got, nullptr);
        answer.append(buffer, got);
        if (ok) break;
        if (GetLastError() != ERROR_MORE_DATA) {
            err("pipe-client: no answer: error " + std::to_string(GetLastError()) + "\n");
            CloseHandle(pipe);
            return Trip::Failed;
        }
    }
    CloseHandle(pipe);
    return Trip::Answered;
}

int exit_code(Trip trip) { return trip == Trip::WrongServer ? 3 : 2; }

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args = utf8_args(argc, argv);
    if (args.size() == 1 && args[0] == "--service-pid") {
        out(std::to_string(service_process_id()) + "\n");
        return 0;
    }
    if (args.size() == 2 && args[0] == "--hold") {
        HANDLE pipe = open_pipe();
        if (pipe == INVALID_HANDLE_VALUE) return 2;
        if (!served_by_the_service(pipe)) {
            CloseHandle(pipe);
            return 3;
        }
        Sleep(static_cast<DWORD>(std::atoi(args[1].c_str())) * 1000);
        CloseHandle(pipe);
        return 0;
    }
    if (args.size() == 3 && args[0] == "--time") {
        int count = std::atoi(args[1].c_str());
        LARGE_INTEGER frequency, start, end;
        QueryPerformanceFrequency(&frequency);
        std::string answer;
        for (int i = 0; i < count; ++i) {
            QueryPerformanceCounter(&start);
            if (Trip trip = round_trip(args[2], answer); trip != Trip::Answered) return exit_code(trip);
            QueryPerformanceCounter(&end);
            char line[64];
            std::snprintf(line, sizeof line, "%.3f\n", 1000.0 * double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart));
            out(line);
        }
        return 0;
    }
    if (args.size() == 2 && args[0] == "--file") {
        FILE* file = _wfopen(widen(args[1]).c_str(), L"rb");
        if (!file) {
            err("pipe-client: cannot open " + args[1] + "\n");
            return 2;
        }
        std::string bytes;
        char chunk[4096];
        for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;) bytes.append(chunk, got);
        std::fclose(file);
        args = {bytes};
    }
    if (args.size() != 1) {
        err("usage: pipe-client REQUEST-JSON | --file PATH | --hold SECONDS | --time N REQUEST-JSON\n");
        return 2;
    }
    std::string answer;
    if (Trip trip = round_trip(args[0], answer); trip != Trip::Answered) return exit_code(trip);
    // The answer as the service sent it: no line feed is added.
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), answer.data(), static_cast<DWORD>(answer.size()), &written, nullptr);
    return 0;
}
