// The request file: its bytes as the desktop application (or anyone) may write them.

#include "common/text.h"
#include "fuzz_check.h"
#include "tunnel_core/request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vorn;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    if (!is_valid_utf8(text)) return 0;  // refused before parsing, as the reader does
    auto request = parse_product_tunnel_request(text);
    if (!request) {
        fuzz::check_error_message(request.error(), "could not parse product tunnel request: ");
        return 0;
    }
    for (const std::string& path : split_policy_app_paths(*request)) FUZZ_CHECK(is_valid_utf8(path));
    FUZZ_CHECK(is_valid_utf8(request->tunnel_mode_text) && is_valid_utf8(request->transport_text));
    // The types agree with the names they were read from.
    FUZZ_CHECK((request->mode == TunnelMode::Split) == (request->tunnel_mode_text == "split"));
    FUZZ_CHECK((request->mode == TunnelMode::Full) == (request->tunnel_mode_text == "full"));
    FUZZ_CHECK((request->transport == Transport::Unknown) ==
               !(normalized_transport(request->transport_text) == "XRAY" ||
                 normalized_transport(request->transport_text) == "HYSTERIA2" ||
                 normalized_transport(request->transport_text) == "TUIC"));
    if (request->server.host) FUZZ_CHECK(is_valid_utf8(*request->server.host));
    return 0;
}
