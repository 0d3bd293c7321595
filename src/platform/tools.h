#pragma once
// Running the system's command-line tools (route, netsh, tasklist, sc.exe, ...) by name; each
// runs from the Windows system folder, whatever lies beside the executable.

#include <cstdint>
#include <string>
#include <vector>

#include "common/result.h"

namespace vorn {

enum class ToolStdio {
    Capture,        // input from the null device, output and error captured
    Null,           // all three streams on the null device
    Inherit,        // the caller's standard streams
    DiscardOutput,  // input inherited, output and error on the null device
};

struct ToolRun {
    uint32_t exit_code = 0;
    std::string out;  // decoded as UTF-8 with replacement (Capture only)
    std::string err;
};

class ToolRunner {
public:
    virtual ~ToolRunner() = default;
    // Starts the program hidden, waits for it, and reports its exit code. A failure means the
    // program could not be run (not found, could not start, or did not finish in time).
    virtual Result<ToolRun> run(const std::string& program, const std::vector<std::string>& args,
                                ToolStdio stdio) = 0;
};

// A cleanup command: all streams on the null device, outcome ignored.
inline void run_quietly(ToolRunner& tools, const std::string& program,
                        const std::vector<std::string>& args) {
    (void)tools.run(program, args, ToolStdio::Null);
}

}  // namespace vorn
