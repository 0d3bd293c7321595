// Starting proxy engines: hidden, input from the null device, output into log files that stay
// readable, writable and deletable by others while the engine runs.

#include "common/argv_quote.h"
#include "platform/win32/handle.h"
#include "platform/win32/process_util.h"
#include "platform/win32/security.h"
#include "platform/win32/win32_platform.h"

namespace vorn::win32 {

namespace {

class Win32Child final : public ChildProcess {
public:
    explicit Win32Child(StartedProcess started) : started_(std::move(started)) {}
    uint32_t pid() const override { return started_.pid; }
    Result<std::optional<uint32_t>> poll() override {
        DWORD r = WaitForSingleObject(started_.process.get(), 0);
        if (r == WAIT_TIMEOUT) return std::optional<uint32_t>();
        if (r != WAIT_OBJECT_0) return fail(last_error_text());
        DWORD code = 0;
        if (!GetExitCodeProcess(started_.process.get(), &code)) return fail(last_error_text());
        return std::optional<uint32_t>(code);
    }
    Status terminate() override {
        if (!TerminateProcess(started_.process.get(), 1)) return fail(last_error_text());
        return {};
    }

private:
    StartedProcess started_;
};

UniqueHandle create_log(const std::string& path) {
    // What an engine logs (Xray: every destination) is nobody else's to read.
    SddlDescriptor private_file(kPrivateFileSddl);
    SECURITY_ATTRIBUTES sa = inheritable();
    sa.lpSecurityDescriptor = private_file.get();
    return UniqueHandle(CreateFileW(to_wide(path).c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &sa,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

Result<std::unique_ptr<ChildProcess>, LaunchFailure> Win32ProcessLauncher::launch(const LaunchRequest& request) {
    UniqueHandle out = create_log(request.stdout_log);
    if (!out) return LaunchFailure(LaunchStage::StdoutLog, last_error_text());
    UniqueHandle err = create_log(request.stderr_log);
    if (!err) return LaunchFailure(LaunchStage::StderrLog, last_error_text());
    UniqueHandle in = open_null_device();
    auto started = start_hidden_process(to_wide(request.executable),
                                        to_wide(build_command_line(request.executable, request.args)),
                                        in.get(), out.get(), err.get());
    if (!started) return LaunchFailure(LaunchStage::Start, started.error());
    return std::make_unique<Win32Child>(std::move(*started));
}

std::optional<uint64_t> Win32ProcessLauncher::process_start_time_ms(uint32_t pid) {
    UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) return std::nullopt;
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process.get(), &created, &exited, &kernel, &user)) return std::nullopt;
    return unix_ms_from_filetime(created);
}

std::unique_ptr<ChildProcess> Win32ProcessLauncher::open(uint32_t pid) {
    StartedProcess opened;
    opened.process = UniqueHandle(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!opened.process) return nullptr;
    opened.pid = pid;
    return std::make_unique<Win32Child>(std::move(opened));
}

}  // namespace vorn::win32
