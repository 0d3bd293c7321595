#include "full_tunnel/probes.h"

#include "common/text.h"
#include "engines/xray_config.h"
#include "full_tunnel/routes.h"
#include "platform/poll.h"
#include "tunnel_core/conflicting_vpn.h"

namespace vorn {

namespace {

constexpr PollSchedule kInboundWait{50, 100};
constexpr int kCondensedLines = 80;
const std::string kProbeProxy = "http://127.0.0.1:18089";
const std::string kProbeInbound = "127.0.0.1:18089";
const std::string kProbeExplanation =
    "Xray local proxy accepted the probe, but the HTTPS probe timed out after full-tunnel routes were "
    "installed. This usually points to a client routing/full-tunnel conflict, a competing VPN filter, or a "
    "route exception that Windows is not applying to Xray egress.";

std::string diagnostic_report(Platform& platform, const std::string& server_host) {
    std::vector<std::string> sections;
    ToolRunner& tools = platform.tools;
    if (auto tasks = run_diagnostic_command(tools, "tasklist", {"/FO", "CSV", "/NH"})) {
        auto names = find_conflicting_vpn_processes(*tasks);
        if (!names.empty()) sections.push_back("active VPN processes: " + join(names, ", "));
    }
    // A host that does not resolve never becomes a command-line argument.
    if (std::optional<std::string> server = resolve_route_host(platform.net, server_host)) {
        if (auto routes = run_diagnostic_command(tools, "route", {"print", *server})) {
            sections.push_back("route to VPN server (" + *server + "):\n" + condense_command_output(*routes));
        }
    } else {
        sections.push_back("route to VPN server: " + server_host + " did not resolve");
    }
    if (auto routes = run_diagnostic_command(tools, "route", {"print", "0.0.0.0"})) {
        sections.push_back("default route snapshot:\n" + condense_command_output(*routes));
    }
    if (auto routes = run_diagnostic_command(tools, "route", {"print", "128.0.0.0"})) {
        sections.push_back("full tunnel high route snapshot:\n" + condense_command_output(*routes));
    }
    return join(sections, "\n");
}

}  // namespace

const std::vector<ProbeTarget>& probe_targets() {
    static const std::vector<ProbeTarget> targets = {
        {"cloudflare", "www.cloudflare.com", "104.16.124.96", "https://www.cloudflare.com/cdn-cgi/trace"},
        {"youtube", "www.youtube.com", "142.250.185.78", "https://www.youtube.com/generate_204"},
    };
    return targets;
}

std::optional<std::string> run_diagnostic_command(ToolRunner& tools, const std::string& program,
                                                  const std::vector<std::string>& args) {
    auto run = tools.run(program, args, ToolStdio::Capture);
    if (!run || run->exit_code != 0) return std::nullopt;
    std::string_view text = trim(run->out);
    if (text.empty()) return std::nullopt;
    return std::string(text);
}

std::string condense_command_output(std::string_view text) {
    std::vector<std::string> kept;
    for (const std::string& line : split_lines(text)) {
        if (trim(line).empty()) continue;
        kept.push_back(line);
        if (static_cast<int>(kept.size()) == kCondensedLines) break;
    }
    return join(kept, "\n");
}

std::vector<std::string> curl_probe_arguments(const ProbeTarget& target) {
    return {"--silent",
            "--show-error",
            "--ssl-no-revoke",
            "--proxy",
            kProbeProxy,
            "--resolve",
            std::string(target.host) + ":443:" + std::string(target.pinned_address),
            "--connect-timeout",
            "8",
            "--max-time",
            "12",
            "-I",
            std::string(target.url)};
}

namespace {

Failure probe_failure(std::string message) { return coded("XRAY_PROXY_PROBE_FAILED", std::move(message)); }

}  // namespace

Status probe_full_tunnel(Platform& platform, const std::string& server_host) {
    bool open = poll_until(platform.clock, kInboundWait,
                           [&platform] { return platform.net.tcp_connect("127.0.0.1", kProbeHttpPort); });
    if (!open) return probe_failure("Xray probe HTTP inbound did not open on " + kProbeInbound);

    for (const ProbeTarget& target : probe_targets()) {
        const std::string label(target.label);
        auto run = platform.tools.run("curl.exe", curl_probe_arguments(target), ToolStdio::Capture);
        if (!run) {
            return probe_failure("could not run " + label + " full tunnel HTTPS probe: " + run.error());
        }
        if (run->exit_code == 0) continue;
        std::string message = "full tunnel HTTPS probe failed: " + label + ": " +
                              tool_failure_detail(*run, "curl.exe") + "\n" + kProbeExplanation;
        std::string report = diagnostic_report(platform, server_host);
        if (!trim(report).empty()) message += "\n" + report;
        return probe_failure(std::move(message));
    }
    return {};
}

}  // namespace vorn
