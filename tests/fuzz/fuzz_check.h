#pragma once
// Property checks for the fuzz targets: a broken property aborts, which libFuzzer reports as a
// finding with the input that caused it.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

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

}  // namespace vorn::fuzz
