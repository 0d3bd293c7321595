#include "common/redact.h"

#include <algorithm>

#include "common/text.h"

namespace vorn {

namespace {

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alnum(char c) { return is_digit(c) || (lower(c) >= 'a' && lower(c) <= 'z'); }
bool is_hex(char c) { return is_digit(c) || (lower(c) >= 'a' && lower(c) <= 'f'); }
bool is_break(char c) { return c == '\r' || c == '\n'; }

struct Span {
    size_t begin;
    size_t end;
    std::string_view mark;
};

// Where a match of `needle` that starts at `at` ends, or npos. ASCII case is ignored, and a
// line break (and the indentation after it) may stand between two of its characters.
size_t match_end(std::string_view text, size_t at, std::string_view needle) {
    size_t p = at;
    for (size_t k = 0; k < needle.size(); ++k) {
        if (p < text.size() && k > 0 && is_break(text[p]) && lower(text[p]) != lower(needle[k])) {
            while (p < text.size() && is_break(text[p])) ++p;
            if (p < text.size() && lower(text[p]) != lower(needle[k])) {
                while (p < text.size() && (text[p] == ' ' || text[p] == '\t')) ++p;
            }
        }
        if (p >= text.size() || lower(text[p]) != lower(needle[k])) return std::string_view::npos;
        ++p;
    }
    return p;
}

void find_all(std::string_view text, const std::vector<std::string>& needles, std::string_view mark,
              std::vector<Span>& spans) {
    for (const std::string& needle : needles) {
        if (needle.empty()) continue;
        for (size_t i = 0; i < text.size(); ++i) {
            if (lower(text[i]) != lower(needle[0])) continue;
            size_t end = match_end(text, i, needle);
            if (end != std::string_view::npos) spans.push_back({i, end, mark});
        }
    }
}

// The text with each span replaced by its mark; overlapping spans become one, marked as the
// first of them.
std::string replace_spans(std::string_view text, std::vector<Span> spans) {
    if (spans.empty()) return std::string(text);
    std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.begin < b.begin; });
    std::string out;
    size_t done = 0;
    for (size_t i = 0; i < spans.size();) {
        Span merged = spans[i];
        for (++i; i < spans.size() && spans[i].begin < merged.end; ++i) merged.end = std::max(merged.end, spans[i].end);
        out.append(text.substr(done, merged.begin - done));
        out.append(merged.mark);
        done = merged.end;
    }
    out.append(text.substr(done));
    return out;
}

bool path_separator(char c) { return c == '\\' || c == '/'; }
bool ends_profile_name(char c) {
    return path_separator(c) || is_break(c) || c == '"' || c == '\'' || c == '<' || c == '>' || c == '|' ||
           c == ':' || c == '*' || c == '?' || c == ';' || c == '\t' || c == '\0';
}

// Profile folders that name no person.
bool shared_profile(std::string_view name) {
    for (std::string_view shared : {"public", "default", "default user", "all users"}) {
        if (equals_ignore_ascii_case(name, shared)) return true;
    }
    return false;
}

// Calls `found(begin, end)` for the name after each "\Users\" (either slash, any case).
template <class Found>
void for_each_profile_name(std::string_view text, Found found) {
    constexpr std::string_view kUsers = "users";
    for (size_t i = 1; i + kUsers.size() < text.size(); ++i) {
        if (!path_separator(text[i - 1]) || !equals_ignore_ascii_case(text.substr(i, kUsers.size()), kUsers)) continue;
        size_t begin = i + kUsers.size();
        if (!path_separator(text[begin])) continue;
        while (begin < text.size() && path_separator(text[begin])) ++begin;
        size_t end = begin;
        while (end < text.size() && !ends_profile_name(text[end])) ++end;
        size_t trimmed = end;
        while (trimmed > begin && text[trimmed - 1] == ' ') --trimmed;
        if (trimmed > begin && !shared_profile(text.substr(begin, trimmed - begin))) found(begin, trimmed);
        i = end;
    }
}

// A dotted quad that starts at `at` and is not part of a longer token; its length.
size_t ipv4_at(std::string_view text, size_t at, uint32_t& address) {
    if (at > 0 && (is_alnum(text[at - 1]) || text[at - 1] == '.' || text[at - 1] == '_')) return 0;
    size_t end = at;
    int dots = 0;
    while (end < text.size() && (is_digit(text[end]) || (text[end] == '.' && dots < 3 && ++dots))) ++end;
    if (end < text.size() && (is_alnum(text[end]) || text[end] == '_')) return 0;
    if (end + 1 < text.size() && text[end] == '.' && is_digit(text[end + 1])) return 0;
    auto parsed = parse_ipv4_address(text.substr(at, end - at));
    if (!parsed) return 0;
    address = *parsed;
    return end - at;
}

// Addresses that say nothing about the user: this network, private, shared, loopback,
// link-local, multicast and reserved ranges, and any a.b.0.0 (a route or a mask).
bool unrevealing_ipv4(uint32_t a) {
    uint32_t first = a >> 24;
    return first == 0 || first == 10 || first == 127 || first >= 224 || (a & 0xFFC00000u) == 0x64400000u ||
           (a & 0xFFFF0000u) == 0xA9FE0000u || (a & 0xFFF00000u) == 0xAC100000u ||
           (a & 0xFFFF0000u) == 0xC0A80000u || (a & 0xFFFFu) == 0;
}

// The groups of one side of an IPv6 address ("" has none); false when a group is not 1 to 4
// hex digits.
bool ipv6_groups(std::string_view side, std::vector<uint32_t>& groups) {
    if (side.empty()) return true;
    size_t start = 0;
    for (size_t i = 0; i <= side.size(); ++i) {
        if (i < side.size() && side[i] != ':') continue;
        size_t length = i - start;
        if (length == 0 || length > 4) return false;
        groups.push_back(static_cast<uint32_t>(std::stoul(std::string(side.substr(start, length)), nullptr, 16)));
        start = i + 1;
    }
    return true;
}

// An IPv6 address that starts at `at` and is not part of a longer token: its length, and the
// groups before any "::" in `leading`.
size_t ipv6_at(std::string_view text, size_t at, std::vector<uint32_t>& leading) {
    if (at > 0 && (is_alnum(text[at - 1]) || text[at - 1] == ':' || text[at - 1] == '_')) return 0;
    size_t end = at;
    while (end < text.size() && (is_hex(text[end]) || text[end] == ':')) ++end;
    if (end < text.size() && (is_alnum(text[end]) || text[end] == '_')) return 0;
    if (end + 1 < text.size() && text[end] == '.' && is_digit(text[end + 1])) return 0;
    std::string_view token = text.substr(at, end - at);
    size_t compressed = token.find("::");
    std::vector<uint32_t> trailing;
    leading.clear();
    if (compressed == std::string_view::npos) {
        if (!ipv6_groups(token, leading) || leading.size() != 8) return 0;
        return token.size();
    }
    if (token.find("::", compressed + 1) != std::string_view::npos) return 0;
    if (!ipv6_groups(token.substr(0, compressed), leading) || !ipv6_groups(token.substr(compressed + 2), trailing) ||
        leading.size() + trailing.size() > 7) {
        return 0;
    }
    return token.size();
}

std::string hex_group(uint32_t value) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    do {
        text.insert(text.begin(), kDigits[value & 15]);
        value >>= 4;
    } while (value != 0);
    return text;
}

// Six pairs of hex digits joined by one and the same separator (':', '-' or a space).
size_t mac_at(std::string_view text, size_t at) {
    if (at > 0 && (is_alnum(text[at - 1]) || text[at - 1] == ':' || text[at - 1] == '-')) return 0;
    if (at + 17 > text.size()) return 0;
    char separator = text[at + 2];
    if (separator != ':' && separator != '-' && separator != ' ') return 0;
    for (size_t pair = 0; pair < 6; ++pair) {
        size_t p = at + pair * 3;
        if (!is_hex(text[p]) || !is_hex(text[p + 1])) return 0;
        if (pair < 5 && text[p + 2] != separator) return 0;
    }
    size_t end = at + 17;
    if (end < text.size() && (is_alnum(text[end]) || (text[end] == separator && separator != ' '))) return 0;
    return 17;
}

std::string redact_addresses(std::string_view text, const std::set<uint32_t>& server, const std::set<uint32_t>& kept) {
    std::string out;
    out.reserve(text.size());
    std::vector<uint32_t> leading;
    for (size_t i = 0; i < text.size();) {
        uint32_t address = 0;
        if (size_t n = is_hex(text[i]) ? mac_at(text, i) : 0; n > 0) {
            out.append(text.substr(i, 9));
            char separator = text[i + 2];
            for (int pair = 0; pair < 3; ++pair) {
                out += "xx";
                if (pair < 2) out += separator;
            }
            i += n;
            continue;
        }
        if (size_t n = is_digit(text[i]) ? ipv4_at(text, i, address) : 0; n > 0) {
            if (server.count(address)) {
                out.append(kServerMark);
            } else if (unrevealing_ipv4(address) || kept.count(address)) {
                out.append(text.substr(i, n));
            } else {
                out += std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 255) + ".x.x";
            }
            i += n;
            continue;
        }
        if (size_t n = (is_hex(text[i]) || text[i] == ':') ? ipv6_at(text, i, leading) : 0; n > 0) {
            // Global unicast (2000::/3) names a host; loopback, link-local, unique-local and
            // multicast addresses do not.
            if (!leading.empty() && leading[0] >= 0x2000 && leading[0] <= 0x3FFF) {
                out += hex_group(leading[0]) + ":" + (leading.size() > 1 ? hex_group(leading[1]) + ":" : std::string()) + ":x";
            } else {
                out.append(text.substr(i, n));
            }
            i += n;
            continue;
        }
        // Skip the rest of a token that cannot start an address here.
        size_t next = i + 1;
        if (is_alnum(text[i])) {
            while (next < text.size() && is_alnum(text[next])) ++next;
        }
        out.append(text.substr(i, next - i));
        i = next;
    }
    return out;
}

void add_unique(std::vector<std::string>& list, std::string value) {
    for (const std::string& known : list) {
        if (equals_ignore_ascii_case(known, value)) return;
    }
    list.push_back(std::move(value));
    // Longest first, so that a secret inside a longer one never leaves the rest behind.
    std::stable_sort(list.begin(), list.end(), [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
}

}  // namespace

bool is_secret_member(std::string_view name) {
    std::string key;
    for (char c : name) {
        if (c != '_' && c != '-') key += lower(c);
    }
    for (std::string_view exact : {"id", "uuid", "auth", "key", "psk", "passwd", "pwd"}) {
        if (key == exact) return true;
    }
    for (std::string_view ending : {"password", "passphrase", "secret", "token", "key", "uuid", "shortid", "credential", "credentials"}) {
        if (key.size() >= ending.size() && key.compare(key.size() - ending.size(), ending.size(), ending) == 0) return true;
    }
    return key.rfind("auth", 0) == 0;
}

void Redactor::add_secret(std::string_view secret) {
    if (secret.size() < kMinTextSecretLength) return;
    add_unique(secrets_, std::string(secret));
    // As a JSON string would carry it, for logs that quote configurations.
    std::string escaped = nlohmann::json(std::string(secret)).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    escaped = escaped.substr(1, escaped.size() - 2);
    if (escaped != secret) add_unique(secrets_, escaped);
}

void Redactor::add_server_host(std::string_view host) {
    std::string_view trimmed = trim(host);
    if (auto address = parse_ipv4_address(trimmed)) {
        // The server is never this machine.
        if ((*address >> 24) != 127 && *address != 0) server_addresses_.insert(*address);
        return;
    }
    if (trimmed.size() >= kMinTextSecretLength && !equals_ignore_ascii_case(trimmed, "localhost")) {
        add_unique(server_names_, std::string(trimmed));
    }
}

void Redactor::add_kept_address(std::string_view address) {
    if (auto parsed = parse_ipv4_address(trim(address))) kept_addresses_.insert(*parsed);
}

void Redactor::learn(const nlohmann::json& document) { learn_under(document, false); }

void Redactor::learn_under(const nlohmann::json& value, bool secret) {
    if (value.is_object()) {
        for (auto it = value.begin(); it != value.end(); ++it) {
            learn_under(it.value(), secret || is_secret_member(it.key()) || equals_ignore_ascii_case(it.key(), "user"));
        }
    } else if (value.is_array()) {
        for (const auto& item : value) learn_under(item, secret);
    } else if (secret && value.is_string()) {
        add_secret(value.get<std::string>());
    } else if (secret && value.is_number()) {
        add_secret(value.dump());
    }
}

void Redactor::learn_user_names(std::string_view text) {
    for_each_profile_name(text, [&](size_t begin, size_t end) {
        std::string name(text.substr(begin, end - begin));
        if (name.size() >= kMinTextSecretLength) add_unique(user_names_, name);
    });
}

std::string Redactor::text(std::string_view input) const {
    std::vector<Span> spans;
    find_all(input, secrets_, kRedactedMark, spans);
    std::string step = replace_spans(input, spans);

    spans.clear();
    find_all(step, server_names_, kServerMark, spans);
    step = replace_spans(step, spans);

    spans.clear();
    for_each_profile_name(step, [&](size_t begin, size_t end) { spans.push_back({begin, end, kUserMark}); });
    step = replace_spans(step, spans);

    spans.clear();
    find_all(step, user_names_, kUserMark, spans);
    step = replace_spans(step, spans);

    return redact_addresses(step, server_addresses_, kept_addresses_);
}

nlohmann::json Redactor::json(const nlohmann::json& document) const { return redact_under(document, false); }

nlohmann::json Redactor::redact_under(const nlohmann::json& value, bool secret) const {
    if (value.is_object()) {
        nlohmann::json out = nlohmann::json::object();
        for (auto it = value.begin(); it != value.end(); ++it) {
            bool hidden = secret || is_secret_member(it.key()) || equals_ignore_ascii_case(it.key(), "user");
            out[text(it.key())] = redact_under(it.value(), hidden);
        }
        return out;
    }
    if (value.is_array()) {
        nlohmann::json out = nlohmann::json::array();
        for (const auto& item : value) out.push_back(redact_under(item, secret));
        return out;
    }
    if (secret && (value.is_string() || value.is_number())) return std::string(kRedactedMark);
    if (value.is_string()) return text(value.get<std::string>());
    return value;
}

}  // namespace vorn
