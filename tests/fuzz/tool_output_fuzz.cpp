// What the Windows tools print, as parsed: tasklist CSV, route print, the default-route query,
// the PowerShell process listing and pid files.

#include <algorithm>

#include "common/text.h"
#include "full_tunnel/route_parsers.h"
#include "fuzz_check.h"
#include "service/live_status.h"
#include "split_tunnel/split_session.h"
#include "tunnel_core/conflicting_vpn.h"
#include "tunnel_core/process_list.h"
#include "tunnel_core/tunnel_interface.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vorn;
    std::string_view text(reinterpret_cast<const char*>(data), size);

    for (const std::string& line : split_lines(text)) {
        if (auto field = first_csv_field(line)) {
            FUZZ_CHECK(!field->empty() || trim(line).front() == '"');
            FUZZ_CHECK(line.find(*field) != std::string::npos);
        }
    }
    for (const std::string& name : find_conflicting_vpn_processes(text)) {
        const auto& images = conflicting_vpn_images();
        FUZZ_CHECK(std::any_of(images.begin(), images.end(),
                               [&](std::string_view image) { return equals_ignore_ascii_case(name, image); }));
    }
    (void)lists_xray_image(text);
    (void)has_tunnel_route(text);
    (void)lists_tunnel_interface(text);
    if (auto index = find_tunnel_interface_index(text)) {
        FUZZ_CHECK(!index->empty() && std::all_of(index->begin(), index->end(), [](char c) { return c >= '0' && c <= '9'; }));
    }
    if (auto route = parse_default_route(text)) {
        FUZZ_CHECK(!route->next_hop.empty() && route->next_hop != "0.0.0.0" && !route->interface_index.empty());
        FUZZ_CHECK(is_valid_utf8(route->next_hop) && is_valid_utf8(route->interface_index));
    }
    (void)match_root_processes(text, {"C:\\Program Files\\App\\app.exe", "c:\\b.exe"});
    // A pid file: the number it holds, written back, reads the same.
    if (auto pid = parse_u32_decimal(trim(text))) {
        FUZZ_CHECK(parse_u32_decimal(std::to_string(*pid)).value() == *pid);
    } else {
        fuzz::check_error_message(pid.error());
    }
    return 0;
}
