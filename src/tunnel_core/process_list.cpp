#include "tunnel_core/process_list.h"

#include "common/text.h"

namespace vorn {

std::optional<std::string> first_csv_field(std::string_view line) {
    line = trim(line);
    if (line.empty()) return std::nullopt;
    if (line.front() == '"') {
        size_t close = line.find('"', 1);
        if (close == std::string_view::npos) return std::nullopt;
        return std::string(line.substr(1, close - 1));
    }
    std::string_view field = trim(line.substr(0, line.find(',')));
    if (field.empty()) return std::nullopt;
    return std::string(field);
}

bool is_process_running(ToolRunner& tools, uint32_t pid) {
    std::string id = std::to_string(pid);
    auto run = tools.run("tasklist", {"/FI", "PID eq " + id, "/FO", "CSV", "/NH"}, ToolStdio::Capture);
    return run.ok() && run->exit_code == 0 && contains(run->out, id);
}

}  // namespace vorn
