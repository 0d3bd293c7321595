// The exceptions file and the next-hop file beside it, as a disconnect and a default-route
// change find them (anyone's bytes): each host route deleted or added is one canonical address
// of the list (or a fixed server address), once, through the recorded next hop only when that is
// a canonical address itself.

#include <algorithm>
#include <tuple>

#include <fuzzer/FuzzedDataProvider.h>

#include "common/operator_settings.h"
#include "fakes.h"
#include "full_tunnel/route_exceptions.h"
#include "full_tunnel/routes.h"
#include "fuzz_check.h"
#include "tunnel/network_restore.h"
#include "tunnel_core/runtime_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vorn;
    using namespace vorn::testing;
    FuzzedDataProvider in(data, size);
    const bool listed = in.ConsumeBool(), hop_recorded = in.ConsumeBool();
    const std::string hop = in.ConsumeRandomLengthString(32);
    const std::string list = in.ConsumeRandomLengthString(4096);
    const uint8_t failing_add = in.ConsumeIntegral<uint8_t>();  // the add `route` refuses (1-based)

    const std::vector<std::string> hosts = listed_route_exceptions(list);
    for (const std::string& host : hosts) {
        FUZZ_CHECK(fuzz::canonical_quad(host) && std::count(hosts.begin(), hosts.end(), host) == 1);
    }
    // What a disconnect deletes: each listed host and fixed server address, once.
    const std::vector<std::string> deletes = host_routes_to_delete(list, listed);
    auto named = [&](std::string_view host) { return std::count(deletes.begin(), deletes.end(), host) == 1; };
    FUZZ_CHECK(std::all_of(kFixedServerAddresses.begin(), kFixedServerAddresses.end(), named));
    FUZZ_CHECK(!listed || std::all_of(hosts.begin(), hosts.end(), named));
    for (const std::string& host : deletes) {
        FUZZ_CHECK(named(host) && (std::count(hosts.begin(), hosts.end(), host) == 1 ||
                                   std::count(kFixedServerAddresses.begin(), kFixedServerAddresses.end(), host) == 1));
    }

    FakePlatform f;
    FUZZ_CHECK(create_directories(f.runtime()).ok());
    // The two files as the input has them (absent ones removed).
    auto place = [&] {
        for (auto [name, present, bytes] : {std::tuple{kRouteExceptionsFileName, listed, &list},
                                            std::tuple{kRouteExceptionsNextHopFileName, hop_recorded, &hop}}) {
            const std::string path = join_path(f.runtime(), std::string(name));
            if (present) FUZZ_CHECK(write_file(path, *bytes).ok());
            if (!present) remove_file(path);
        }
    };
    place();
    const std::string trimmed_hop(trim(hop));
    const std::optional<std::string> through =
        hop_recorded && fuzz::canonical_quad(trimmed_hop) ? std::optional(trimmed_hop) : std::nullopt;
    int adds = 0;
    f.tools.handler = [&](const ToolCall& call) -> Result<ToolRun> {
        if (call.program != "route") return ToolRun{0, "", ""};
        fuzz::check_route_args(call.args);
        if (call.args[0] == "delete" && call.args[3] == "255.255.255.255") {
            FUZZ_CHECK(call.args.size() == (through ? 5u : 4u) && (!through || call.args[4] == *through));
        }
        bool refused = call.args[0] == "add" && ++adds == failing_add;
        return ToolRun{refused ? 1u : 0u, "", refused ? "The route addition failed: The object already exists." : ""};
    };

    // A default-route change moves each listed host route to the new next hop, in list order.
    const DefaultRoute route{"192.168.50.1", "14"};
    Status moved = repoint_route_exceptions(f.platform, route);
    std::vector<std::string> added;
    for (const ToolCall& call : f.tools.calls) {
        if (call.args[0] == "add") added.push_back(call.args[1]);
    }
    if (!listed) FUZZ_CHECK(!moved.ok() && f.tools.calls.empty());
    if (listed) FUZZ_CHECK(moved.ok() == (failing_add == 0 || failing_add > hosts.size()));
    if (moved.ok()) FUZZ_CHECK(added == hosts && read_file(join_path(f.runtime(), std::string(kRouteExceptionsNextHopFileName))).value() == route.next_hop);
    if (!moved.ok()) fuzz::check_error_message(moved.error());

    // The disconnect deletes what the list named, the fixed addresses, and the two files.
    f.tools.calls.clear();
    place();
    restore_full_tunnel_network(f.platform);
    std::vector<std::string> deleted;
    for (const ToolCall& call : f.tools.calls) {
        if (call.program == "route" && call.args[3] == "255.255.255.255") deleted.push_back(call.args[1]);
    }
    FUZZ_CHECK(deleted == deletes);
    FUZZ_CHECK(!file_exists(join_path(f.runtime(), std::string(kRouteExceptionsFileName))));
    FUZZ_CHECK(!file_exists(join_path(f.runtime(), std::string(kRouteExceptionsNextHopFileName))));
    return 0;
}
