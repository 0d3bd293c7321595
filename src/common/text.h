#pragma once
// Text helpers. All text inside the system is UTF-8 in std::string.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"

namespace vorn {

bool is_ascii_space(char c);
std::string_view trim(std::string_view text);
// Also removes the non-ASCII white space characters (no-break space, ideographic space, ...).
std::string_view trim_unicode(std::string_view text);
std::string to_ascii_lower(std::string_view text);
std::string to_ascii_upper(std::string_view text);
bool equals_ignore_ascii_case(std::string_view a, std::string_view b);
bool starts_with(std::string_view text, std::string_view prefix);
bool contains(std::string_view text, std::string_view needle);

// Splits at runs of ASCII whitespace; no empty tokens.
std::vector<std::string_view> split_whitespace(std::string_view text);
// Splits at line feeds; a trailing carriage return is removed from each line. A final line
// feed does not produce an empty last line.
std::vector<std::string> split_lines(std::string_view text);
std::string join(const std::vector<std::string>& parts, std::string_view separator);

bool is_valid_utf8(std::string_view bytes);
// Invalid sequences become U+FFFD, one per maximal invalid subpart.
std::string decode_utf8_lossy(std::string_view bytes);

// UTF-16 code units <-> UTF-8. The strict form refuses unpaired surrogates; the lossy form
// replaces them with U+FFFD.
std::optional<std::string> utf16_to_utf8_strict(std::u16string_view units);
std::string utf16_to_utf8_lossy(std::u16string_view units);
std::u16string utf8_to_utf16(std::string_view utf8);

// An IPv4 address in dotted-decimal form, in host byte order: four parts of one to three digits,
// each 0 to 255 (leading zeros allowed), nothing else.
std::optional<uint32_t> parse_ipv4_address(std::string_view text);

// Unsigned 32-bit decimal with an optional leading '+', nothing else. The failure texts are
// the ones the system reports for unreadable pid files.
Result<uint32_t> parse_u32_decimal(std::string_view text);

}  // namespace vorn
