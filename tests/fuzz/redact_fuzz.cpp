// The report's redactor: whatever surrounds a known secret or a profile folder's user name (any
// text, line breaks inside the secret, another letter case), neither comes out, as text or in a
// JSON document.
//
// Input: a byte for how many secrets (1 to 3); per secret a length byte (8 to 40 characters)
// and its characters, then the user name the same way (3 to 12); the rest is the text, in which
// byte 0x01 and the byte after it place a secret (which one, in upper case or not, broken by a
// line break where) and byte 0x02 places a profile path with the user name.

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/redact.h"
#include "common/text.h"
#include "fuzz_check.h"

namespace {

// Keys, ids and passwords; no 'x' (the addresses' mark) and nothing that ends a mark or a token.
constexpr char kAlphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWYZabcdefghijklmnopqrstuvwyz_-";

struct Reader {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    uint8_t byte() { return at < size ? data[at++] : 0; }
    std::string word(size_t shortest, size_t longest) {
        size_t length = shortest + byte() % (longest - shortest + 1);
        std::string w;
        for (size_t i = 0; i < length; ++i) w += kAlphabet[byte() % (sizeof kAlphabet - 1)];
        return w;
    }
};

std::string without_breaks(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c != '\r' && c != '\n') out += c;
    }
    return out;
}

// A word the marks themselves spell would be found in any report.
std::string unlike_the_marks(std::string word) {
    for (std::string_view mark : {vorn::kRedactedMark, vorn::kUserMark, vorn::kServerMark}) {
        if (vorn::contains(mark, vorn::to_ascii_lower(word))) return word + "7";
    }
    return word;
}

void check_gone(const std::string& out, const std::string& secret) {
    std::string wanted = vorn::to_ascii_lower(secret);
    FUZZ_CHECK(!vorn::contains(vorn::to_ascii_lower(out), wanted));
    FUZZ_CHECK(!vorn::contains(vorn::to_ascii_lower(without_breaks(out)), wanted));
}

void check_strings(const nlohmann::json& value, const std::vector<std::string>& gone) {
    if (value.is_object() || value.is_array()) {
        for (const auto& item : value) check_strings(item, gone);
    } else if (value.is_string()) {
        for (const std::string& secret : gone) check_gone(value.get<std::string>(), secret);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vorn;
    Reader in{data, size};
    std::vector<std::string> secrets;
    for (size_t count = 1 + in.byte() % 3; secrets.size() < count;) {
        secrets.push_back(unlike_the_marks(in.word(8, 40)));
    }
    std::string name = unlike_the_marks(in.word(3, 12));
    for (const char* shared : {"public", "default"}) {
        if (equals_ignore_ascii_case(name, shared)) name += "7";
    }

    std::string text;
    bool named = false;
    bool placed = false;
    while (in.at < in.size) {
        uint8_t c = in.byte();
        if (c == 0x01) {
            uint8_t how = in.byte();
            std::string secret = secrets[how % secrets.size()];
            if (how & 0x20) secret = to_ascii_upper(secret);
            if (how & 0x80) secret.insert(1 + (how >> 3) % (secret.size() - 1), (how & 0x40) ? "\n  " : "\r\n");
            text += secret;
            placed = true;
        } else if (c == 0x02) {
            text += "C:\\Users\\" + name + "\\AppData";
            named = true;
        } else {
            text += static_cast<char>(c);
        }
    }
    if (!placed) text += secrets[0];

    Redactor redactor;
    redactor.learn(nlohmann::json{{"config", {{"user", {{"unlisted", secrets[0]}}}}}});
    for (const std::string& secret : secrets) redactor.add_secret(secret);
    redactor.learn_user_names(text);

    std::vector<std::string> gone = secrets;
    if (named) gone.push_back(name);
    std::string out = redactor.text(text);
    if (is_valid_utf8(text)) FUZZ_CHECK(is_valid_utf8(out));
    for (const std::string& secret : gone) check_gone(out, secret);

    nlohmann::json document = {{"note", text}, {"user", {{"unlisted", text}}}};
    document["servers"] = nlohmann::json::array({nlohmann::json::object({{"password", secrets.back()}})});
    nlohmann::json redacted = redactor.json(document);
    check_strings(redacted, gone);
    // Member names pass through the text rules too (a learned user name may be part of one).
    auto key = [&](const char* name) { return redactor.text(name); };
    FUZZ_CHECK(redacted[key("user")][key("unlisted")] == kRedactedMark);
    FUZZ_CHECK(redacted[key("servers")][0][key("password")] == kRedactedMark);
    return 0;
}
