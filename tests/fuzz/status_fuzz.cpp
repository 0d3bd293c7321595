// The status file as any program may have left it; what reads back renders again the same.

#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vorn;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto status = parse_status(text);
    if (!status) return 0;
    auto pretty = status_to_pretty_json(*status);
    auto compact = status_to_json(*status);
    FUZZ_CHECK(pretty.ok() && compact.ok());
    fuzz::check_status_line(*compact);
    FUZZ_CHECK(parse_status(*pretty) == status);
    FUZZ_CHECK(parse_status(*compact) == status);
    return 0;
}
