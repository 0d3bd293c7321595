#include "tunnel_core/conflicting_vpn.h"

#include "common/exit_status.h"
#include "common/text.h"
#include "tunnel_core/process_list.h"

namespace vorn {

const std::vector<std::string_view>& conflicting_vpn_images() {
    static const std::vector<std::string_view> names = {"openvpn.exe",   "itopvpn.exe",  "nordvpn.exe",
                                                        "wireguard.exe", "protonvpn.exe", "surfshark.exe",
                                                        "expressvpn.exe"};
    return names;
}

std::vector<std::string> find_conflicting_vpn_processes(std::string_view tasklist_csv) {
    std::vector<std::string> found;
    for (const std::string& line : split_lines(tasklist_csv)) {
        auto image = first_csv_field(line);
        if (!image) continue;
        bool listed = false;
        for (std::string_view name : conflicting_vpn_images()) listed = listed || equals_ignore_ascii_case(*image, name);
        bool seen = false;
        for (const std::string& f : found) seen = seen || equals_ignore_ascii_case(f, *image);
        if (listed && !seen) found.push_back(*image);
    }
    return found;
}

Status check_conflicting_vpn(ToolRunner& tools) {
    auto run = tools.run("tasklist", {"/FO", "CSV", "/NH"}, ToolStdio::Capture);
    if (!run) return fail("could not inspect running VPN processes: " + run.error());
    if (run->exit_code != 0) {
        return fail("could not inspect running VPN processes: tasklist exited with " + render_exit_status(run->exit_code));
    }
    auto names = find_conflicting_vpn_processes(run->out);
    if (!names.empty()) {
        return coded("CONFLICTING_VPN_ACTIVE", "close other VPN clients before starting Vorn VPN: " + join(names, ", "));
    }
    return {};
}

}  // namespace vorn
