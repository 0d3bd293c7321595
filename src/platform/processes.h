#pragma once
// Starting the proxy engines: hidden children with their output captured in log files.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/result.h"

namespace vorn {

// A started child. Dropping it closes our handles; the process keeps running.
class ChildProcess {
public:
    virtual ~ChildProcess() = default;
    virtual uint32_t pid() const = 0;
    // Asks without waiting: absent while it runs, else its exit status.
    virtual Result<std::optional<uint32_t>> poll() = 0;
    // Ends the process through our handle (an id could name another process by now); the
    // failure is the system's text. Does not wait.
    virtual Status terminate() = 0;
};

enum class LaunchStage { StdoutLog, StderrLog, Start };

// The message is the system's text for the failed step.
struct LaunchFailure : Failure {
    LaunchFailure(LaunchStage failed_stage, std::string cause) : Failure(fail(std::move(cause))), stage(failed_stage) {}
    LaunchStage stage;
};

struct LaunchRequest {
    std::string executable;  // full path
    std::vector<std::string> args;
    std::string stdout_log;  // full paths; created anew with read, write and delete sharing
    std::string stderr_log;
};

class ProcessLauncher {
public:
    virtual ~ProcessLauncher() = default;
    // Creates the stdout log, then the stderr log, then starts the program with CREATE_NO_WINDOW,
    // the null device as input and the logs as output; only those three handles are inherited.
    // The failure names the step that failed.
    virtual Result<std::unique_ptr<ChildProcess>, LaunchFailure> launch(const LaunchRequest& request) = 0;
    // When the process now holding `pid` started (Unix milliseconds); absent when no process
    // holds it or it cannot be asked.
    virtual std::optional<uint64_t> process_start_time_ms(uint32_t pid) = 0;
    // Opens a running process to watch it (an engine started by an earlier connect or another
    // process); null when there is none or it cannot be opened. Holding it keeps the id ours.
    virtual std::unique_ptr<ChildProcess> open(uint32_t pid) = 0;
};

}  // namespace vorn
