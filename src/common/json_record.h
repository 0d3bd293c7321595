#pragma once
// Typed reading of JSON records with a declared shape: the text must be exactly one object
// (whitespace around it allowed, no byte-order mark), declared members must not repeat, and
// required members must be present. Messages name the member with its line and column.

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/result.h"

namespace vorn {

struct JsonPosition {
    size_t line = 1;
    size_t column = 1;
};

std::string describe(JsonPosition at);

// How deep objects and arrays may nest in any JSON the system reads. Real records stay within a
// handful of levels; the bound keeps every later walk of a value (copy, compare, write) shallow.
inline constexpr size_t kMaxJsonDepth = 64;

// Fails with "nested deeper than 64 levels at line L, column C" when `text` opens more than
// kMaxJsonDepth objects and arrays at once. Looks only at brackets outside strings.
Status check_json_depth(std::string_view text);

// The library's error text without the "last read" snippet of the input: the kind of error and
// its position stay, no byte of the input is quoted.
std::string json_error_text(const nlohmann::json::exception& error);

// Untyped parse of untrusted text (tool output, files others can write): a discarded value when
// the text is not JSON or nests too deep.
nlohmann::json parse_untrusted_json(std::string_view text);

class JsonRecordReader {
public:
    // Parses `text`; fails on anything that is not one JSON object.
    static Result<JsonRecordReader> parse(std::string_view text);

    // The value of a declared member, or a failure when it is missing or repeated.
    Result<nlohmann::json> required(const std::string& key) const;
    // A declared member that may be absent; null when absent. Repeats are still refused.
    Result<nlohmann::json> optional(const std::string& key) const;
    Result<std::string> required_string(const std::string& key) const;

private:
    struct Member {
        nlohmann::json value;
        JsonPosition at;
        int count = 0;
        JsonPosition repeat_at;
    };
    std::map<std::string, Member> members_;
    JsonPosition end_;
};

// The JSON type name used in messages: "null", "boolean", "number", "string", "array", "object".
std::string json_type_name(const nlohmann::json& value);

}  // namespace vorn
