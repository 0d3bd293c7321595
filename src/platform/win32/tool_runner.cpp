// Runs the system's command-line tools from the Windows system folder.

#include <winsock2.h>
#include <windows.h>
#include <io.h>
#include <fcntl.h>

#include <cstdio>
#include <vector>

#include "common/argv_quote.h"
#include "common/text.h"
#include "platform/win32/handle.h"
#include "platform/win32/process_util.h"
#include "platform/win32/security.h"
#include "platform/win32/win32_platform.h"

namespace vorn::win32 {

namespace {

// A hung tool must never hang the service.
constexpr DWORD kToolTimeoutMs = 120000;
// Output that a tool's own children keep open after it exited is not waited for beyond this.
constexpr DWORD kDrainAfterExitMs = 2000;

// The system's own tool by its full path in the system folder (PowerShell from its folder there),
// never from beside the executable, PATH or the current folder: a user who can write any of
// those must not get a program run as LocalSystem.
std::optional<std::wstring> find_tool(const std::string& program) {
    std::wstring folder = system_directory();
    if (folder.empty() || program.empty() || program.find_first_of("\\/:") != std::string::npos) return std::nullopt;
    std::string name = program.find('.') == std::string::npos ? program + ".exe" : program;
    if (equals_ignore_ascii_case(name, "powershell.exe")) folder += L"\\WindowsPowerShell\\v1.0";
    return folder + L"\\" + to_wide(name);
}

// One end read by us with overlapped I/O, the other inherited by the child.
struct OutputPipe {
    UniqueHandle read_end;
    UniqueHandle write_end;
    UniqueHandle event;
    OVERLAPPED overlapped{};
    char buffer[8192];
    std::string data;
    bool open = true;
    bool pending = false;
};

// The name cannot be guessed and only the account we run as may open the pipe, so no other
// process can connect first and feed us the "output" that the system then parses.
bool create_output_pipe(OutputPipe& pipe) {
    auto random = random_hex(16);
    if (!random) {
        SetLastError(ERROR_GEN_FAILURE);
        return false;
    }
    std::wstring name = L"\\\\.\\pipe\\vorn-tool-" + *random;
    SddlDescriptor descriptor(L"D:P(A;;GA;;;" + process_user_sid_text() + L")");
    if (!descriptor.valid()) return false;
    SECURITY_ATTRIBUTES private_pipe{sizeof private_pipe, descriptor.get(), FALSE};
    pipe.read_end.reset(CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 65536, 65536, 0, &private_pipe));
    if (!pipe.read_end) return false;
    SECURITY_ATTRIBUTES sa = inheritable();
    pipe.write_end.reset(CreateFileW(name.c_str(), GENERIC_WRITE, 0, &sa, OPEN_EXISTING, 0, nullptr));
    pipe.event.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    return pipe.write_end.valid() && pipe.event.valid();
}

void start_read(OutputPipe& pipe) {
    while (pipe.open) {
        pipe.overlapped = OVERLAPPED{};
        pipe.overlapped.hEvent = pipe.event.get();
        DWORD n = 0;
        if (ReadFile(pipe.read_end.get(), pipe.buffer, sizeof pipe.buffer, &n, &pipe.overlapped)) {
            pipe.data.append(pipe.buffer, n);
            continue;
        }
        if (GetLastError() == ERROR_IO_PENDING) {
            pipe.pending = true;
            return;
        }
        pipe.open = false;  // broken pipe: the writer is gone
    }
}

void finish_read(OutputPipe& pipe) {
    DWORD n = 0;
    pipe.pending = false;
    if (GetOverlappedResult(pipe.read_end.get(), &pipe.overlapped, &n, FALSE)) {
        pipe.data.append(pipe.buffer, n);
        start_read(pipe);
    } else {
        pipe.open = false;
    }
}

void cancel_read(OutputPipe& pipe) {
    if (!pipe.pending) return;
    CancelIoEx(pipe.read_end.get(), &pipe.overlapped);
    DWORD n = 0;
    GetOverlappedResult(pipe.read_end.get(), &pipe.overlapped, &n, TRUE);
    pipe.pending = false;
}

struct ChildStdio {
    UniqueHandle in, out, err;
};

// The standard handles a child gets for `stdio`; a capture makes the two output pipes instead of
// `out` and `err`. False when a pipe could not be made.
bool open_child_stdio(ToolStdio stdio, ChildStdio& std_handles, OutputPipe& out_pipe, OutputPipe& err_pipe) {
    switch (stdio) {
        case ToolStdio::Capture:
            if (!create_output_pipe(out_pipe) || !create_output_pipe(err_pipe)) return false;
            std_handles.in = open_null_device();
            break;
        case ToolStdio::Null:
            std_handles.in = open_null_device();
            std_handles.out = open_null_device();
            std_handles.err = open_null_device();
            break;
        case ToolStdio::Inherit:
            std_handles.in = inheritable_copy(STD_INPUT_HANDLE);
            std_handles.out = inheritable_copy(STD_OUTPUT_HANDLE);
            std_handles.err = inheritable_copy(STD_ERROR_HANDLE);
            break;
        case ToolStdio::DiscardOutput:
            std_handles.in = inheritable_copy(STD_INPUT_HANDLE);
            std_handles.out = open_null_device();
            std_handles.err = open_null_device();
            break;
    }
    return true;
}

// Reads both pipes until the process has exited and they have ended, or until `deadline`, which
// shrinks to a short drain once the process exits. Whether the process was seen to exit.
bool drain_output(HANDLE process, OutputPipe& out_pipe, OutputPipe& err_pipe, ULONGLONG& deadline) {
    bool exited = false;
    start_read(out_pipe);
    start_read(err_pipe);
    for (;;) {
        std::vector<HANDLE> waits;
        std::vector<OutputPipe*> owners;
        if (!exited) {
            waits.push_back(process);
            owners.push_back(nullptr);
        }
        for (OutputPipe* pipe : {&out_pipe, &err_pipe}) {
            if (pipe->pending) {
                waits.push_back(pipe->event.get());
                owners.push_back(pipe);
            }
        }
        if (waits.empty()) break;
        ULONGLONG now = GetTickCount64();
        if (now >= deadline) break;
        DWORD r = WaitForMultipleObjects(static_cast<DWORD>(waits.size()), waits.data(), FALSE,
                                         static_cast<DWORD>(deadline - now));
        if (r == WAIT_TIMEOUT || r == WAIT_FAILED) break;
        size_t index = r - WAIT_OBJECT_0;
        if (owners[index] == nullptr) {
            exited = true;
            deadline = std::min<ULONGLONG>(deadline, GetTickCount64() + kDrainAfterExitMs);
        } else {
            finish_read(*owners[index]);
        }
    }
    cancel_read(out_pipe);
    cancel_read(err_pipe);
    return exited;
}

}  // namespace

Result<ToolRun> Win32ToolRunner::run(const std::string& program, const std::vector<std::string>& args,
                                     ToolStdio stdio) {
    std::optional<std::wstring> path = find_tool(program);
    if (!path) return fail(windows_error_text(ERROR_FILE_NOT_FOUND));

    ChildStdio std_handles;
    OutputPipe out_pipe, err_pipe;
    if (!open_child_stdio(stdio, std_handles, out_pipe, err_pipe)) return fail(last_error_text());
    HANDLE child_out = stdio == ToolStdio::Capture ? out_pipe.write_end.get() : std_handles.out.get();
    HANDLE child_err = stdio == ToolStdio::Capture ? err_pipe.write_end.get() : std_handles.err.get();
    auto started = start_hidden_process(*path, to_wide(build_command_line(from_wide(*path), args)),
                                        std_handles.in.get(), child_out, child_err);
    if (!started) return started.failure();
    UniqueHandle process = std::move(started->process);
    // Our copies of the child's ends must go, or the pipes never report end of stream.
    std_handles = ChildStdio{};
    out_pipe.write_end.reset();
    err_pipe.write_end.reset();

    ToolRun run;
    ULONGLONG deadline = GetTickCount64() + kToolTimeoutMs;
    bool exited = false;
    if (stdio == ToolStdio::Capture) {
        exited = drain_output(process.get(), out_pipe, err_pipe, deadline);
        run.out = decode_utf8_lossy(out_pipe.data);
        run.err = decode_utf8_lossy(err_pipe.data);
    }
    if (!exited) {
        ULONGLONG now = GetTickCount64();
        DWORD wait = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        exited = WaitForSingleObject(process.get(), wait) == WAIT_OBJECT_0;
    }
    if (!exited) {
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), 5000);
        return fail(program + " did not finish within " + std::to_string(kToolTimeoutMs / 1000) +
                    " seconds and was ended");
    }
    DWORD code = 0;
    if (!GetExitCodeProcess(process.get(), &code)) return fail(last_error_text());
    run.exit_code = code;
    return run;
}

void use_binary_console_streams() {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

}  // namespace vorn::win32
