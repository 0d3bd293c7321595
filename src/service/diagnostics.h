#pragma once
// The support report: one UTF-8 text with what support asks for first (versions, the service,
// the status, the runtime files, the engines' configurations and logs, routes, adapters, WFP
// objects, the split driver, the engines' processes and the conflicting-VPN check), each in a
// titled section of bounded size, redacted throughout. Building it only looks: it writes no
// status, restores nothing, starts nothing and creates no folder.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "platform/platform.h"
#include "tunnel_core/status.h"

namespace vorn {

// Every section the report holds, in order; each is present even when it has nothing to show.
const std::vector<std::string_view>& diagnostics_section_titles();
// Bytes of one section beyond which the rest is left out.
inline constexpr size_t kDiagnosticsSectionLimit = 64 * 1024;
// Lines of each engine log the report keeps, from the end.
inline constexpr size_t kDiagnosticsLogLines = 200;

struct DiagnosticsReport {
    std::string text;
    std::optional<TunnelStatus> recorded;  // the status file's record, when it holds one
};

DiagnosticsReport build_diagnostics_report(Platform& platform);

// The `diagnostics` command: writes the report to `out_path` (with the caller's own rights, a new
// file moved over any old one) or, without it, to standard output; then prints the recorded
// status with a message naming the report. The failure is the command's standard-error line.
Status write_diagnostics(Platform& platform, const std::optional<std::string>& out_path);

}  // namespace vorn
