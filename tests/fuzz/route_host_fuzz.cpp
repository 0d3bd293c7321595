// A request's server host and what the resolver answers for it, through the full tunnel's
// routes and the failed probe's report: only canonical dotted quads reach a `route` command or
// the exceptions file, and a host that does not resolve reaches no command line at all.

#include <fuzzer/FuzzedDataProvider.h>

#include "common/operator_settings.h"
#include "connect_setup.h"
#include "full_tunnel/probes.h"
#include "full_tunnel/route_parsers.h"
#include "full_tunnel/routes.h"
#include "fuzz_check.h"
#include "tunnel_core/runtime_files.h"

using namespace vorn;
using namespace vorn::testing;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    FakePlatform f;
    FUZZ_CHECK(create_directories(f.runtime()).ok());
    const std::string host = in.ConsumeRandomLengthString(64);
    // The resolver's answers (absent: none); the control plane's always comes.
    if (in.ConsumeBool()) f.net.dns[host] = in.ConsumeBool() ? std::optional(in.ConsumeRandomLengthString(24)) : std::nullopt;
    f.net.dns.emplace(std::string(kControlPlaneHost), in.ConsumeBool() ? in.ConsumeRandomLengthString(24) : "198.51.100.20");
    f.net.accept_from = 1;
    ConnectMachine machine;  // the default route, the adapter and the routes are all there
    machine.curl_fails = true;
    f.tools.handler = [machine](const ToolCall& call) {
        if (call.program == "route") fuzz::check_route_args(call.args);
        return machine(call);
    };

    const std::optional<std::string> address = resolve_route_host(f.net, host);
    if (address) FUZZ_CHECK(fuzz::canonical_quad(*address));
    if (auto dashed = dashed_ipv4(host)) FUZZ_CHECK(fuzz::canonical_quad(*dashed) && address == dashed);
    const bool control = resolve_route_host(f.net, kControlPlaneHost).has_value();

    ProductTunnelRequest request =
        make_product_tunnel_request("full", "xray", {{"server", {{"host", host}}}}, nlohmann::json::object());
    FakeChild xray;
    FUZZ_CHECK(configure_full_tunnel_routes(f.platform, request, "VornVPN-1", xray).ok() == (address && control));
    FUZZ_CHECK(address || f.tools.calls.empty());
    if (auto listed = read_file(join_path(f.runtime(), std::string(kRouteExceptionsFileName)))) {
        nlohmann::json exceptions = nlohmann::json::parse(*listed);
        FUZZ_CHECK(exceptions.is_array() && exceptions.size() >= 3 && exceptions[0] == *address);
        for (const auto& entry : exceptions) FUZZ_CHECK(entry.is_string() && fuzz::canonical_quad(entry.get<std::string>()));
    }

    // The report of a failed probe looks up the route to the server's address, and to no other.
    const size_t configured = f.tools.calls.size();
    FUZZ_CHECK(!probe_full_tunnel(f.platform, host).ok());
    for (size_t i = configured; i < f.tools.calls.size(); ++i) {
        const ToolCall& call = f.tools.calls[i];
        if (call.program != "route" || call.args.size() != 2) continue;
        FUZZ_CHECK(call.args[1] == "0.0.0.0" || call.args[1] == "128.0.0.0" || call.args[1] == address);
    }
    return 0;
}
