// The engine configurations built from a request file: valid JSON, and never much larger than
// the request they come from.

#include "common/json_record.h"
#include "engines/backend.h"
#include "engines/xray_config.h"
#include "fuzz_check.h"
#include "tunnel_core/request.h"

namespace {

// Two-space indentation costs at most two bytes per level on each line, and a request nests at
// most 64 levels below the few levels of the engine document around it.
constexpr size_t kFixedPart = 16384;
constexpr size_t kPerRequestByte = 2 * (vorn::kMaxJsonDepth + 8) + 8;

void check_document(const nlohmann::json& document, size_t request_size) {
    std::string text = document.dump(2);
    FUZZ_CHECK(text.size() <= kFixedPart + kPerRequestByte * request_size);
    FUZZ_CHECK(nlohmann::json::parse(text) == document);
    FUZZ_CHECK(document.dump() == nlohmann::json::parse(text).dump());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vorn;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    if (!is_valid_utf8(text)) return 0;
    auto request = parse_product_tunnel_request(text);
    if (!request) return 0;
    auto tun = build_xray_tun_config(*request, "C:\\ProgramData\\VornVPN\\runtime", "VornVPN-1700000000000");
    check_document(tun, size);
    if (auto valid = validate_xray_tun_config(tun); !valid) fuzz::check_error_message(valid.error());
    check_document(build_xray_split_config(*request, "C:\\ProgramData\\VornVPN\\runtime"), size);
    check_document(build_proxy_outbound(*request), size);
    check_document(build_hysteria_config(*request), size);
    check_document(build_tuic_config(*request), size);
    if (auto backend = select_backend(*request); !backend) fuzz::check_error_message(backend.rendered());
    return 0;
}
