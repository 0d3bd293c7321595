#include "common/json_record.h"

#include "common/text.h"

namespace vorn {

using nlohmann::json;

std::string describe(JsonPosition at) {
    return "line " + std::to_string(at.line) + ", column " + std::to_string(at.column);
}

std::string json_type_name(const json& value) {
    switch (value.type()) {
        case json::value_t::null: return "null";
        case json::value_t::boolean: return "boolean";
        case json::value_t::object: return "object";
        case json::value_t::array: return "array";
        case json::value_t::string: return "string";
        default: return "number";
    }
}

namespace {

// Walks text that is already known to be one valid JSON document.
class Scanner {
public:
    explicit Scanner(std::string_view text) : text_(text) {}

    void skip_space() {
        while (pos_ < text_.size() && is_json_space(text_[pos_])) advance();
    }
    char peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }
    JsonPosition position() const { return {line_, column_}; }
    size_t offset() const { return pos_; }
    void advance() {
        if (text_[pos_] == '\n') {
            ++line_;
            column_ = 1;
        } else if ((static_cast<unsigned char>(text_[pos_]) & 0xC0) != 0x80) {
            ++column_;
        }
        ++pos_;
    }
    void skip_string() {
        advance();  // opening quote
        while (pos_ < text_.size() && text_[pos_] != '"') {
            if (text_[pos_] == '\\') advance();
            advance();
        }
        advance();  // closing quote
    }
    void skip_value() {
        int depth = 0;
        while (pos_ < text_.size()) {
            char c = peek();
            if (c == '"') {
                skip_string();
                if (depth == 0) return;
            } else if (c == '{' || c == '[') {
                ++depth;
                advance();
            } else if (c == '}' || c == ']') {
                if (depth == 0) return;
                advance();
                if (--depth == 0) return;
            } else if (depth == 0 && (c == ',' || is_json_space(c))) {
                return;
            } else {
                advance();
            }
        }
    }
    std::string_view slice(size_t from, size_t to) const { return text_.substr(from, to - from); }

private:
    static bool is_json_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
    std::string_view text_;
    size_t pos_ = 0;
    size_t line_ = 1;
    size_t column_ = 1;
};

}  // namespace

Status check_json_depth(std::string_view text) {
    size_t depth = 0;
    bool in_string = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (in_string) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxJsonDepth) {
                Scanner at(text.substr(0, i + 1));
                while (at.offset() < i) at.advance();
                return fail("nested deeper than " + std::to_string(kMaxJsonDepth) + " levels at " +
                            describe(at.position()));
            }
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return {};
}

std::string json_error_text(const nlohmann::json::exception& error) {
    std::string text = error.what();
    // The lexer's message and the context before the snippet are the library's own words; the
    // snippet may stop inside a multi-byte character or quote a secret. A trailing "; expected
    // <token>" is the library's too and is kept.
    static constexpr std::string_view kOverflow = "number overflow parsing '";
    if (error.id == 406) {
        if (size_t at = text.find(kOverflow); at != std::string::npos) return text.substr(0, at) + "number overflow";
    }
    static constexpr std::string_view kSnippet = "; last read: '";
    size_t snippet = text.find(kSnippet);
    if (snippet == std::string::npos) return text;
    static constexpr std::string_view kExpected[] = {
        "'['", "'{'", "']'", "'}'", "':'", "','", "end of input", "value", "'[', '{', or a literal",
        "string literal", "number literal", "true literal", "false literal", "null literal"};
    std::string expected;
    for (std::string_view token : kExpected) {
        std::string tail = "; expected " + std::string(token);
        if (text.size() >= snippet + kSnippet.size() + tail.size() && text.ends_with(tail)) expected = tail;
    }
    return text.substr(0, snippet) + expected;
}

json parse_untrusted_json(std::string_view text) {
    if (!check_json_depth(text)) return json::value_t::discarded;
    return json::parse(text.begin(), text.end(), nullptr, false);
}

Result<JsonRecordReader> JsonRecordReader::parse(std::string_view text) {
    if (starts_with(text, "\xEF\xBB\xBF")) {
        return fail("unexpected byte-order mark at line 1, column 1");
    }
    // The parser would take a NUL byte for the end of the text and ignore what follows it.
    if (size_t nul = text.find('\0'); nul != std::string_view::npos) {
        Scanner at(text.substr(0, nul + 1));
        while (at.offset() < nul) at.advance();
        return fail("unexpected NUL byte at " + describe(at.position()));
    }
    if (auto shallow = check_json_depth(text); !shallow) return shallow.failure();
    json whole;
    try {
        whole = json::parse(text.begin(), text.end());
    } catch (const json::exception& e) {
        return fail(json_error_text(e));
    }
    Scanner scan(text);
    scan.skip_space();
    if (!whole.is_object()) {
        return fail("expected a JSON object, found " + json_type_name(whole) + " at " +
                    describe(scan.position()));
    }
    JsonRecordReader reader;
    scan.advance();  // '{'
    scan.skip_space();
    while (scan.peek() == '"') {
        JsonPosition key_at = scan.position();
        size_t key_from = scan.offset();
        scan.skip_string();
        std::string key = json::parse(scan.slice(key_from, scan.offset())).get<std::string>();
        scan.skip_space();
        scan.advance();  // ':'
        scan.skip_space();
        size_t value_from = scan.offset();
        scan.skip_value();
        Member& member = reader.members_[key];
        if (++member.count == 1) {
            member.value = json::parse(scan.slice(value_from, scan.offset()));
            member.at = key_at;
        } else if (member.count == 2) {
            member.repeat_at = key_at;
        }
        scan.skip_space();
        if (scan.peek() == ',') {
            scan.advance();
            scan.skip_space();
        }
    }
    reader.end_ = scan.position();
    return reader;
}

Result<json> JsonRecordReader::optional(const std::string& key) const {
    auto it = members_.find(key);
    if (it == members_.end()) return json();
    if (it->second.count > 1) {
        return fail("duplicate member \"" + key + "\" at " + describe(it->second.repeat_at));
    }
    return it->second.value;
}

Result<json> JsonRecordReader::required(const std::string& key) const {
    if (members_.find(key) == members_.end()) {
        return fail("missing member \"" + key + "\" at " + describe(end_));
    }
    return optional(key);
}

Result<std::string> JsonRecordReader::required_string(const std::string& key) const {
    auto value = required(key);
    if (!value) return value.failure();
    if (!value->is_string()) {
        return fail("member \"" + key + "\" must be a string, found " + json_type_name(*value) +
                    " at " + describe(members_.at(key).at));
    }
    return value->get<std::string>();
}

}  // namespace vorn
