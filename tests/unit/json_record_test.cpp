#include <gtest/gtest.h>

#include "common/json_record.h"

namespace vorn {
namespace {

TEST(JsonRecordReader, ReportsMembersWithTheirPositions) {
    struct Case {
        const char* text;
        const char* error;  // of required_string("a"), or "" when it reads "x"
    };
    const Case cases[] = {
        {"{\"a\":\"x\"}", ""},
        {"  {\"a\":\"x\",\"b\":[1,{\"a\":2}]}  \n", ""},
        {"{\"\\u0061\":\"x\"}", ""},  // escaped key names the same member
        {"{\"b\":1}", "missing member \"a\" at line 1, column 7"},
        {"{\n  \"a\": \"x\",\n  \"a\": \"y\"\n}", "duplicate member \"a\" at line 3, column 3"},
        {"{\"a\": 5}", "member \"a\" must be a string, found number at line 1, column 2"},
        {"[1]", "expected a JSON object, found array at line 1, column 1"},
        {"\xEF\xBB\xBF{\"a\":\"x\"}", "unexpected byte-order mark at line 1, column 1"},
    };
    for (const Case& c : cases) {
        auto reader = JsonRecordReader::parse(c.text);
        std::string error;
        if (!reader) {
            error = reader.error();
        } else if (auto value = reader->required_string("a"); !value) {
            error = value.error();
        } else {
            EXPECT_EQ(*value, "x") << c.text;
        }
        EXPECT_EQ(error, c.error) << c.text;
    }
}

TEST(JsonRecordReader, SyntaxErrorsAndTrailingTextCarryTheParsersLineAndColumn) {
    for (std::string text : {std::string("{\"a\":\"x\"} {}"), std::string("{\"a\":\n  nope}"), std::string(""),
                             std::string("{\"a\":\"x\"} x"), std::string("{\"a\":\"x\"}\0junk", 14)}) {
        auto reader = JsonRecordReader::parse(text);
        ASSERT_FALSE(reader.ok()) << text;
        EXPECT_NE(reader.error().find("line "), std::string::npos) << reader.error();
        EXPECT_NE(reader.error().find("column "), std::string::npos) << reader.error();
    }
}

// Errors keep the library's kind and position and quote none of the input: not a secret, not
// half of a multi-byte character.
TEST(JsonRecordReader, ErrorsQuoteNoInputBytes) {
    const std::string deep = std::string(64, '[') + std::string(64, ']');
    const std::string deeper = "[" + deep + "]";
    const std::string shallower = deep.substr(1, 126);
    struct Case {
        std::string text;
        const char* error;  // "" when the text reads
    };
    const Case cases[] = {
        {"{\"a\": \xC3\xA9}",
         "[json.exception.parse_error.101] parse error at line 1, column 7: syntax error while parsing value - "
         "invalid literal"},
        {"{\"a\": SECRET-TOKEN}",
         "[json.exception.parse_error.101] parse error at line 1, column 7: syntax error while parsing value - "
         "invalid literal"},
        {"{\"a\":\"\xFF\"}",
         "[json.exception.parse_error.101] parse error at line 1, column 7: syntax error while parsing value - "
         "invalid string: ill-formed UTF-8 byte"},
        {"{\"a\":\"SECRET; expected ','",  // a made-up tail is not taken for the library's
         "[json.exception.parse_error.101] parse error at line 1, column 27: syntax error while parsing value - "
         "invalid string: missing closing quote"},
        {"{\"a\":\"x\",}",
         "[json.exception.parse_error.101] parse error at line 1, column 10: syntax error while parsing object "
         "key - unexpected '}'; expected string literal"},
        {"{\"a\":-x}",
         "[json.exception.parse_error.101] parse error at line 1, column 7: syntax error while parsing value - "
         "invalid number; expected digit after '-'"},
        {"{\"a\":1e999}", "[json.exception.out_of_range.406] number overflow"},
        {"{\"a\": number overflow parsing 'SECRET}",
         "[json.exception.parse_error.101] parse error at line 1, column 9: syntax error while parsing value - "
         "invalid literal"},
        {"{\"a\":" + shallower + "}", ""},  // 64 levels with the record itself
        {"{\"a\":" + deep + "}", "nested deeper than 64 levels at line 1, column 69"},
        {"{\"a\":\"" + deeper + "\"}", ""},  // brackets in strings do not nest
        {"{\"a\\\"[\":" + shallower + "}", ""},
        {"{\"a\":" + std::string(100000, '['), "nested deeper than 64 levels at line 1, column 69"},
    };
    for (const Case& c : cases) {
        auto reader = JsonRecordReader::parse(c.text);
        EXPECT_EQ(reader ? std::string() : reader.error(), c.error) << c.text.substr(0, 80);
    }
    EXPECT_TRUE(parse_untrusted_json(deeper).is_discarded());
    EXPECT_TRUE(parse_untrusted_json(deep).is_array());
}

TEST(JsonRecordReader, UndeclaredRepeatsAreIgnoredAndNestedValuesKept) {
    auto reader = JsonRecordReader::parse(R"({"x":1,"x":2,"c":{"k":[1,"}",{"z":null}]},"s":"a\"}"})");
    ASSERT_TRUE(reader.ok());
    auto c = reader->required("c");
    ASSERT_TRUE(c.ok());
    EXPECT_EQ(c->dump(), R"({"k":[1,"}",{"z":null}]})");
    EXPECT_EQ(reader->required_string("s").value(), "a\"}");
    EXPECT_TRUE(reader->optional("absent")->is_null());
}

}  // namespace
}  // namespace vorn
