#include "common/text.h"

#include <algorithm>

namespace vorn {

bool is_ascii_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && is_ascii_space(text[begin])) ++begin;
    while (end > begin && is_ascii_space(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

namespace {

bool is_unicode_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

// The code point that starts at `i` and its length, for valid UTF-8 only.
std::pair<char32_t, size_t> code_point_at(std::string_view s, size_t i) {
    unsigned char b = static_cast<unsigned char>(s[i]);
    size_t n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    if (i + n > s.size()) return {0xFFFD, 1};
    char32_t c = n == 1 ? b : b & (0x3F >> (n - 1));
    for (size_t k = 1; k < n; ++k) c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    return {c, n};
}

}  // namespace

std::string_view trim_unicode(std::string_view text) {
    while (!text.empty()) {
        auto [c, n] = code_point_at(text, 0);
        if (!is_unicode_space(c)) break;
        text.remove_prefix(n);
    }
    while (!text.empty()) {
        size_t start = text.size() - 1;
        while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
        auto [c, n] = code_point_at(text, start);
        if (n != text.size() - start || !is_unicode_space(c)) break;
        text.remove_suffix(n);
    }
    return text;
}

static char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
static char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

std::string to_ascii_lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), lower);
    return out;
}

std::string to_ascii_upper(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), upper);
    return out;
}

bool equals_ignore_ascii_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool contains(std::string_view text, std::string_view needle) {
    return text.find(needle) != std::string_view::npos;
}

std::vector<std::string_view> split_whitespace(std::string_view text) {
    std::vector<std::string_view> tokens;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && is_ascii_space(text[i])) ++i;
        size_t start = i;
        while (i < text.size() && !is_ascii_space(text[i])) ++i;
        if (i > start) tokens.push_back(text.substr(start, i - start));
    }
    return tokens;
}

std::vector<std::string> split_lines(std::string_view text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        size_t next = end == std::string_view::npos ? text.size() : end + 1;
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.emplace_back(line);
        start = next;
    }
    return lines;
}

std::string join(const std::vector<std::string>& parts, std::string_view separator) {
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) out += separator;
        out += parts[i];
    }
    return out;
}

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Decodes one code point at `i`. Returns the number of bytes consumed; `cp` is set when the
// sequence is valid. An invalid sequence consumes its maximal valid prefix (at least one byte).
size_t decode_one(std::string_view s, size_t i, std::optional<char32_t>& cp) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char b0 = byte(i);
    cp.reset();
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    }
    size_t need;
    char32_t value;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
        value = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        value = b0 & 0x0F;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        value = b0 & 0x07;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return 1;
    }
    size_t k = 1;
    for (; k <= need; ++k) {
        if (i + k >= s.size()) return k;
        unsigned char b = byte(i + k);
        unsigned char min = k == 1 ? lo : 0x80;
        unsigned char max = k == 1 ? hi : 0xBF;
        if (b < min || b > max) return k;
        value = (value << 6) | (b & 0x3F);
    }
    cp = value;
    return k;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
    size_t i = 0;
    std::optional<char32_t> cp;
    while (i < bytes.size()) {
        i += decode_one(bytes, i, cp);
        if (!cp) return false;
    }
    return true;
}

std::string decode_utf8_lossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    size_t i = 0;
    std::optional<char32_t> cp;
    while (i < bytes.size()) {
        size_t n = decode_one(bytes, i, cp);
        if (cp) {
            out.append(bytes.substr(i, n));
        } else {
            append_utf8(out, kReplacement);
        }
        i += n;
    }
    return out;
}

static std::optional<std::string> utf16_to_utf8(std::u16string_view units, bool strict) {
    std::string out;
    out.reserve(units.size());
    for (size_t i = 0; i < units.size(); ++i) {
        char32_t u = units[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            append_utf8(out, 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            if (strict) return std::nullopt;
            append_utf8(out, kReplacement);
        } else {
            append_utf8(out, u);
        }
    }
    return out;
}

std::optional<std::string> utf16_to_utf8_strict(std::u16string_view units) {
    return utf16_to_utf8(units, true);
}

std::string utf16_to_utf8_lossy(std::u16string_view units) { return *utf16_to_utf8(units, false); }

std::u16string utf8_to_utf16(std::string_view utf8) {
    std::u16string out;
    out.reserve(utf8.size());
    size_t i = 0;
    std::optional<char32_t> cp;
    while (i < utf8.size()) {
        i += decode_one(utf8, i, cp);
        char32_t c = cp.value_or(kReplacement);
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

Result<uint32_t> parse_u32_decimal(std::string_view text) {
    if (text.empty()) return fail("cannot parse integer from empty string");
    std::string_view digits = text;
    if (digits.front() == '+') digits.remove_prefix(1);
    if (digits.empty()) return fail("invalid digit found in string");
    uint64_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return fail("invalid digit found in string");
        value = value * 10 + static_cast<uint64_t>(c - '0');
        if (value > 0xFFFFFFFFull) return fail("number too large to fit in target type");
    }
    return static_cast<uint32_t>(value);
}

std::optional<uint32_t> parse_ipv4_address(std::string_view text) {
    uint32_t value = 0;
    size_t i = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (i >= text.size() || text[i] != '.') return std::nullopt;
            ++i;
        }
        size_t start = i;
        uint32_t number = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 3) {
            number = number * 10 + static_cast<uint32_t>(text[i++] - '0');
        }
        if (i == start || number > 255) return std::nullopt;
        value = (value << 8) | number;
    }
    if (i != text.size()) return std::nullopt;
    return value;
}

}  // namespace vorn
