// Plays the other local process in the Wine tests of the service's pipe and ports:
//
//   pipe_probe serve NAME SECONDS FILE   create \\.\pipe\NAME (one instance), count the clients
//                                        that connect for SECONDS
//   pipe_probe race N                    N status round trips with the service, each followed at
//                                        once by an attempt to create an instance of its pipe
//   pipe_probe listen PORT SECONDS FILE  hold a listener on 127.0.0.1:PORT for SECONDS
//   pipe_probe listen6 PORT SECONDS FILE hold a dual-stack listener on [::]:PORT for SECONDS
//   pipe_probe oversized BYTES           send the service a status request padded to BYTES bytes,
//                                        reading its answer while the write may still wait
//   pipe_probe squat STARTS STATUS       start the service STARTS times, each time with STATUS
//                                        (its status file) saying "connected" so that it resumes;
//                                        from the moment it is seen starting until it answers,
//                                        try to create an instance of its pipe in a tight loop
//   pipe_probe timed REQUEST             one round trip with the service, timed from its open
//
// serve, listen and listen6 write "ok PID" (or "failed ERROR") to FILE once set up, and serve
// then adds "connections N"; race prints "answered A created C" (no line end); oversized prints
// the answer and "write pending" or "write done" on a line of its own; squat prints "answered A
// tries T created C" and a line for each failure other than 231 (ERROR_PIPE_BUSY); timed prints
// the answer and "took N ms".

#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>

#include "platform/service_names.h"

namespace {

const wchar_t kServicePipe[] = L"" VORN_SERVICE_PIPE_NAME;
const wchar_t kServiceName[] = L"" VORN_SERVICE_NAME;

void write_report(const wchar_t* path, const std::string& text, bool append = false) {
    HANDLE file = CreateFileW(path, append ? FILE_APPEND_DATA : GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

std::string setup_line(bool ok) {
    return ok ? "ok " + std::to_string(GetCurrentProcessId()) + "\n" : "failed " + std::to_string(GetLastError()) + "\n";
}

int serve(const std::wstring& name, int seconds, const wchar_t* report) {
    std::wstring path = L"\\\\.\\pipe\\" + name;
    HANDLE pipe = CreateNamedPipeW(path.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_NOWAIT,
                                   1, 65536, 65536, 250, nullptr);
    write_report(report, setup_line(pipe != INVALID_HANDLE_VALUE));
    if (pipe == INVALID_HANDLE_VALUE) return 1;
    int connections = 0;
    for (int step = 0; step < seconds * 20; ++step) {
        if (ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED || GetLastError() == ERROR_NO_DATA) {
            ++connections;
            DisconnectNamedPipe(pipe);
        }
        Sleep(50);
    }
    write_report(report, "connections " + std::to_string(connections) + "\n", true);
    CloseHandle(pipe);
    return 0;
}

bool round_trip(const std::string& request = "{\"command\":\"status\"}", std::string* answered = nullptr) {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 200 && pipe == INVALID_HANDLE_VALUE; ++attempt) {
        pipe = CreateFileW(kServicePipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE) Sleep(20);
    }
    if (pipe == INVALID_HANDLE_VALUE) return false;
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
    char answer[4096];
    DWORD n = 0;
    bool ok = WriteFile(pipe, request.data(), static_cast<DWORD>(request.size()), &n, nullptr) &&
              ReadFile(pipe, answer, sizeof answer, &n, nullptr);
    if (ok && answered) answered->assign(answer, n);
    CloseHandle(pipe);
    return ok;
}

// One round trip, timed inside this process: the Wine process start is not the service's time.
int timed(const wchar_t* request_text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, request_text, -1, nullptr, 0, nullptr, nullptr);
    std::string request(static_cast<size_t>(size > 0 ? size - 1 : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, request_text, -1, request.data(), size, nullptr, nullptr);
    std::string answer;
    ULONGLONG begin = GetTickCount64();
    if (!round_trip(request, &answer)) return 2;
    std::printf("%s\ntook %llu ms\n", answer.c_str(), GetTickCount64() - begin);
    return 0;
}

// What a squatter would try: join the pipe with instances of its own.
bool instance_created() {
    HANDLE pipe = CreateNamedPipeW(kServicePipe, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_NOWAIT,
                                   PIPE_UNLIMITED_INSTANCES, 65536, 65536, 250, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return false;
    CloseHandle(pipe);
    return true;
}

int race(int count) {
    int answered = 0;
    int created = instance_created() ? 1 : 0;  // while the service is idle
    for (int i = 0; i < count; ++i) {
        if (round_trip()) ++answered;
        if (instance_created()) ++created;
    }
    std::printf("answered %d created %d", answered, created);
    return 0;
}

int listen_on(int port, bool dual_stack, int seconds, const wchar_t* report) {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET s = socket(dual_stack ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr_in6 address6{};
    address6.sin6_family = AF_INET6;
    address6.sin6_port = htons(static_cast<u_short>(port));
    address6.sin6_addr = in6addr_any;
    DWORD v6_only = 0;
    if (dual_stack) setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&v6_only), sizeof v6_only);
    const sockaddr* bound =
        dual_stack ? reinterpret_cast<const sockaddr*>(&address6) : reinterpret_cast<const sockaddr*>(&address);
    int bound_size = dual_stack ? sizeof address6 : sizeof address;
    // The port may still be in use for a moment by whatever a previous case left closing.
    bool ok = false;
    for (int attempt = 0; attempt < 50 && !ok; ++attempt) {
        ok = bind(s, bound, bound_size) == 0;
        if (!ok && WSAGetLastError() != WSAEADDRINUSE) break;
        if (!ok) Sleep(100);
    }
    ok = ok && listen(s, 8) == 0;
    write_report(report, ok ? setup_line(true) : "failed " + std::to_string(WSAGetLastError()) + "\n");
    Sleep(static_cast<DWORD>(seconds) * 1000);
    closesocket(s);
    return ok ? 0 : 1;
}

// A client that reads its answer while its write waits: a message larger than the pipe's buffer
// completes only as far as the server reads it.
int oversized(size_t bytes) {
    std::string message = "{\"command\":\"status\"}";
    message.resize(bytes, ' ');  // whole, a valid status request
    HANDLE pipe = CreateFileW(kServicePipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return 2;
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
    OVERLAPPED write{}, read{};
    write.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    read.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD n = 0;
    bool writing = WriteFile(pipe, message.data(), static_cast<DWORD>(message.size()), &n, &write) ||
                   GetLastError() == ERROR_IO_PENDING;
    if (!writing) return 2;
    char answer[4096];
    if (!ReadFile(pipe, answer, sizeof answer, &n, &read) && GetLastError() != ERROR_IO_PENDING) return 2;
    if (WaitForSingleObject(read.hEvent, 20000) != WAIT_OBJECT_0 || !GetOverlappedResult(pipe, &read, &n, FALSE)) {
        return 2;
    }
    bool written = WaitForSingleObject(write.hEvent, 0) == WAIT_OBJECT_0;
    std::printf("%.*s\nwrite %s\n", static_cast<int>(n), answer, written ? "done" : "pending");
    CloseHandle(pipe);
    return 0;
}

DWORD service_state(SC_HANDLE service) {
    SERVICE_STATUS status{};
    return QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
}

int squat(int starts, const wchar_t* status_file) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceW(manager, kServiceName, SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (!service) return 2;
    int answered = 0, tries = 0, created = 0;
    std::map<DWORD, int> other_failures;
    for (int start = 0; start < starts; ++start) {
        write_report(status_file, "{\"status\":\"connected\",\"message\":\"saved\"}");
        // Started on a thread of its own: the start call returns only once the service reports.
        std::atomic<bool> start_failed{false};
        std::thread starter([&] { start_failed = !StartServiceW(service, 0, nullptr); });
        while (service_state(service) == SERVICE_STOPPED && !start_failed) {
        }
        // From the moment it is seen starting until it answers, every try must find the name taken.
        std::atomic<bool> done{false};
        bool served = false;
        std::thread client([&] {
            for (DWORD state; (state = service_state(service)) != SERVICE_RUNNING && state != SERVICE_STOPPED;) {
                Sleep(1);
            }
            served = round_trip("{\"command\":\"connect\"}");  // answered at once, as refused
            done = true;
        });
        while (!done) {
            ++tries;
            if (instance_created()) {
                ++created;
            } else if (GetLastError() != ERROR_PIPE_BUSY) {
                ++other_failures[GetLastError()];
            }
        }
        client.join();
        starter.join();
        answered += served ? 1 : 0;
        SERVICE_STATUS status{};
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        while (service_state(service) != SERVICE_STOPPED) Sleep(10);
    }
    std::printf("answered %d tries %d created %d\n", answered, tries, created);
    for (auto [error, count] : other_failures) std::printf("error %lu: %d\n", error, count);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);  // line ends as printed
    std::wstring verb = argc > 1 ? argv[1] : L"";
    if (verb == L"serve" && argc == 5) return serve(argv[2], _wtoi(argv[3]), argv[4]);
    if (verb == L"race" && argc == 3) return race(_wtoi(argv[2]));
    if ((verb == L"listen" || verb == L"listen6") && argc == 5) {
        return listen_on(_wtoi(argv[2]), verb == L"listen6", _wtoi(argv[3]), argv[4]);
    }
    if (verb == L"oversized" && argc == 3) return oversized(static_cast<size_t>(_wtoi(argv[2])));
    if (verb == L"squat" && argc == 4) return squat(_wtoi(argv[2]), argv[3]);
    if (verb == L"timed" && argc == 3) return timed(argv[2]);
    std::fputs("usage: pipe_probe serve NAME SECONDS FILE | race N | listen[6] PORT SECONDS FILE | oversized BYTES | "
               "squat STARTS STATUS | timed REQUEST\n", stderr);
    return 2;
}
