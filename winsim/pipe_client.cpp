// pipe-client: sends one request message on the service's pipe and prints the answer, as the
// desktop application does.
//
//   pipe-client.exe REQUEST-JSON            send, print the answer (exit 0), or exit 2
//   pipe-client.exe --file PATH             send the bytes of a file as they are (any size, any bytes)
//   pipe-client.exe --hold SECONDS          connect, send nothing, wait, close
//   pipe-client.exe --time N REQUEST-JSON   N round trips; prints each one's milliseconds

#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/sim.h"

using namespace winsim;

namespace {

const wchar_t kPipe[] = L"\\\\.\\pipe\\VornTunnelService";

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

bool round_trip(const std::string& request, std::string& answer) {
    HANDLE pipe = open_pipe();
    if (pipe == INVALID_HANDLE_VALUE) {
        err("pipe-client: cannot open the service pipe: error " + std::to_string(GetLastError()) + "\n");
        return false;
    }
    DWORD written = 0;
    if (!WriteFile(pipe, request.data(), static_cast<DWORD>(request.size()), &written, nullptr)) {
        err("pipe-client: write failed: error " + std::to_string(GetLastError()) + "\n");
        CloseHandle(pipe);
        return false;
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
            return false;
        }
    }
    CloseHandle(pipe);
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args = utf8_args(argc, argv);
    if (args.size() == 2 && args[0] == "--hold") {
        HANDLE pipe = open_pipe();
        if (pipe == INVALID_HANDLE_VALUE) return 2;
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
            if (!round_trip(args[2], answer)) return 2;
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
    if (!round_trip(args[0], answer)) return 2;
    // The answer as the service sent it: no line feed is added.
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), answer.data(), static_cast<DWORD>(answer.size()), &written, nullptr);
    return 0;
}
