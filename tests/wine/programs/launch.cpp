// Test launcher: sets or removes environment variables, then runs a program with the same
// standard handles and returns its exit code. Wine fixes ProgramData for programs started
// from Linux; this is how a test gives the service a runtime folder of its own.
//
//   launch.exe [--set NAME=VALUE]... [--unset NAME]... [--hold FILE] -- PROGRAM [ARGS...]
//
// --hold keeps FILE open for reading (read and write shared, delete not) while the program runs,
// as a reader of the status file may.

#include <winsock2.h>
#include <windows.h>

#include <string>

static std::wstring quote(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
    std::wstring out = L"\"";
    size_t slashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++slashes;
            continue;
        }
        out.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
        slashes = 0;
        out += c;
    }
    out.append(slashes * 2, L'\\');
    return out + L"\"";
}

int wmain(int argc, wchar_t** argv) {
    int i = 1;
    HANDLE held = INVALID_HANDLE_VALUE;
    for (; i < argc; ++i) {
        std::wstring a = argv[i];
        if (a == L"--") {
            ++i;
            break;
        }
        if (a == L"--set" && i + 1 < argc) {
            std::wstring kv = argv[++i];
            size_t eq = kv.find(L'=');
            SetEnvironmentVariableW(kv.substr(0, eq).c_str(), kv.substr(eq + 1).c_str());
        } else if (a == L"--unset" && i + 1 < argc) {
            SetEnvironmentVariableW(argv[++i], nullptr);
        } else if (a == L"--hold" && i + 1 < argc) {
            held = CreateFileW(argv[++i], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
            if (held == INVALID_HANDLE_VALUE) return 124;
        }
    }
    if (i >= argc) return 125;
    std::wstring line;
    for (int k = i; k < argc; ++k) line += (k > i ? L" " : L"") + quote(argv[k]);
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    for (HANDLE h : {si.hStdInput, si.hStdOutput, si.hStdError}) {
        if (h != nullptr && h != INVALID_HANDLE_VALUE) SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
    // Wine's process creation fails now and then under load (ERROR_INTERNAL_ERROR); try again.
    PROCESS_INFORMATION pi{};
    bool started = false;
    for (int attempt = 0; attempt < 5 && !started; ++attempt) {
        started = CreateProcessW(argv[i], line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi) != 0;
        if (!started) Sleep(200);
    }
    if (!started) return 126;
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
    return static_cast<int>(code);
}
