// The redirect context Windows attaches to a redirected connection, and the SOCKS5 CONNECT
// request made from it.

#include "fuzz_check.h"
#include "split_tunnel/redirect_proxy.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vorn;
    std::string_view context(reinterpret_cast<const char*>(data), size);
    auto destination = decode_redirect_context(context);
    if (!destination) {
        fuzz::check_error_message(destination.error());
        return 0;
    }
    std::string request = socks5_connect_request(*destination);
    FUZZ_CHECK(request.size() == (destination->ipv6 ? 22u : 10u));
    FUZZ_CHECK(request.compare(0, 4, destination->ipv6 ? std::string("\x05\x01\x00\x04", 4) : std::string("\x05\x01\x00\x01", 4)) == 0);
    // The address and the port bytes stand as the context holds them (the port in network order).
    FUZZ_CHECK(request.substr(request.size() - 2) == context.substr(2, 2));
    FUZZ_CHECK(request.substr(4, destination->ipv6 ? 16 : 4) == context.substr(destination->ipv6 ? 8 : 4, destination->ipv6 ? 16 : 4));
    return 0;
}
