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
    FUZZ_CHECK(is_valid_utf8(request->tunnel_mode) && is_valid_utf8(request->transport));
    return 0;
}
