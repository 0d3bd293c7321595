#pragma once
// Property checks for the fuzz targets: a broken property aborts, which libFuzzer reports as a
// finding with the input that caused it.

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/text.h"
#include "tunnel_core/status.h"

#define FUZZ_CHECK(condition)                                                              \
    do {                                                                                   \
        if (!(condition)) {                                                                \
            std::fprintf(stderr, "property broken at %s:%d: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                  \
        }                                                                                  \
    } while (0)

namespace vorn::fuzz {

// A compact status record as it goes to standard output and the pipe: one line of valid
// UTF-8 JSON with a known state and a string message.
inline void check_status_line(const std::string& line) {
    FUZZ_CHECK(is_valid_utf8(line));
    FUZZ_CHECK(line.find('\n') == std::string::npos);
    nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
    FUZZ_CHECK(record.is_object() && record.size() == 2);
    FUZZ_CHECK(record["status"] == "idle" || record["status"] == "connected" || record["status"] == "error");
    FUZZ_CHECK(record["message"].is_string() || record["message"].is_null());
}

// A failure message of a parser: it renders as a status record (pretty and compact), is one
// line, and carries none of the library's quotes of the input.
inline void check_error_message(const std::string& message, std::string_view prefix = {}) {
    FUZZ_CHECK(message.rfind(prefix, 0) == 0);
    FUZZ_CHECK(is_valid_utf8(message));
    FUZZ_CHECK(message.find('\n') == std::string::npos);
    FUZZ_CHECK(message.find("last read") == std::string::npos);
    auto compact = status_to_json(make_status(TunnelState::Error, message));
    FUZZ_CHECK(compact.ok());
    check_status_line(*compact);
    FUZZ_CHECK(status_to_pretty_json(make_status(TunnelState::Error, message)).ok());
}

// Four decimal octets 0-255 as `route` reads them one way only: no leading zeros, sign or blanks.
inline bool canonical_quad(std::string_view text) {
    std::optional<uint32_t> value = parse_ipv4_address(text);
    if (!value) return false;
    std::string rendered;
    for (int shift = 24; shift >= 0; shift -= 8) {
        rendered += std::to_string((*value >> shift) & 0xFF) + (shift ? "." : "");
    }
    return rendered == text;
}

// A `route` command's arguments: every address (destination, mask, gateway) a canonical quad,
// an add through a numbered interface with metric 1.
inline void check_route_args(const std::vector<std::string>& args) {
    FUZZ_CHECK(!args.empty());
    if (args[0] == "print") {
        FUZZ_CHECK(args.size() == 1 || (args.size() == 2 && canonical_quad(args[1])));
        return;
    }
    FUZZ_CHECK(args[0] == "add" || args[0] == "delete");
    FUZZ_CHECK(args.size() >= 4 && canonical_quad(args[1]) && args[2] == "mask" && canonical_quad(args[3]));
    if (args.size() > 4) FUZZ_CHECK(canonical_quad(args[4]));
    if (args[0] == "delete") {
        FUZZ_CHECK(args.size() <= 5);
        return;
    }
    FUZZ_CHECK(args.size() == 9 && args[5] == "if" && parse_u32_decimal(args[6]).ok() && args[6][0] != '+');
    FUZZ_CHECK(args[7] == "metric" && args[8] == "1");
}

}  // namespace vorn::fuzz
