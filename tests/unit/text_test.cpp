#include <gtest/gtest.h>

#include "common/files.h"
#include "common/text.h"
#include "fakes.h"

namespace vorn {
namespace {

TEST(ParseU32, AcceptsDigitsAndPlusRejectsTheRestWithTheirTexts) {
    struct Case {
        const char* text;
        std::optional<uint32_t> value;
        const char* error;
    };
    const Case cases[] = {
        {"1234", 1234u, ""},
        {"+7", 7u, ""},
        {"0", 0u, ""},
        {"4294967295", 4294967295u, ""},
        {"", std::nullopt, "cannot parse integer from empty string"},
        {"+", std::nullopt, "invalid digit found in string"},
        {"abc", std::nullopt, "invalid digit found in string"},
        {"-1", std::nullopt, "invalid digit found in string"},
        {"12 34", std::nullopt, "invalid digit found in string"},
        {"4294967296", std::nullopt, "number too large to fit in target type"},
        {"99999999999999999999", std::nullopt, "number too large to fit in target type"},
    };
    for (const Case& c : cases) {
        auto parsed = parse_u32_decimal(c.text);
        if (c.value) {
            ASSERT_TRUE(parsed.ok()) << c.text;
            EXPECT_EQ(*parsed, *c.value) << c.text;
        } else {
            ASSERT_FALSE(parsed.ok()) << c.text;
            EXPECT_EQ(parsed.error(), c.error) << c.text;
        }
    }
}

TEST(SplitLines, DropsOneTrailingCarriageReturnPerLine) {
    EXPECT_EQ(split_lines("a\r\nb\nc"), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(split_lines("a\r\n\r\n"), (std::vector<std::string>{"a", ""}));
    EXPECT_EQ(split_lines("a\r\r\n"), (std::vector<std::string>{"a\r"}));
    EXPECT_TRUE(split_lines("").empty());
}

TEST(Trim, RemovesAsciiWhitespaceOnBothSides) {
    EXPECT_EQ(trim("  4242 \r\n"), "4242");
    EXPECT_EQ(trim("\t\v\f"), "");
    EXPECT_EQ(trim("a b"), "a b");
}

TEST(Utf8, LossyDecodingReplacesEachInvalidSequence) {
    struct Case {
        std::string bytes;
        std::string decoded;
    };
    const std::string r = "\xEF\xBF\xBD";
    const Case cases[] = {
        {"plain", "plain"},
        {"caf\xC3\xA9", "caf\xC3\xA9"},
        {"\xFF", r},
        {"a\xC3", "a" + r},                   // truncated two-byte sequence
        {"\xE2\x82", r},                       // truncated three-byte sequence: one replacement
        {"\xED\xA0\x80", r + r + r},           // encoded surrogate
        {"\xC0\xAF", r + r},                   // overlong
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(decode_utf8_lossy(c.bytes), c.decoded);
        EXPECT_EQ(is_valid_utf8(c.bytes), c.bytes == c.decoded);
    }
}

TEST(Utf16, RoundTripsAndRefusesUnpairedSurrogatesWhenStrict) {
    std::string text = "C:\\Users\\J\xC3\xBCrgen\\\xF0\x9F\x98\x80";
    EXPECT_EQ(utf16_to_utf8_strict(utf8_to_utf16(text)), text);
    std::u16string unpaired = u"a";
    unpaired += static_cast<char16_t>(0xD800);
    EXPECT_EQ(utf16_to_utf8_strict(unpaired), std::nullopt);
    EXPECT_EQ(utf16_to_utf8_lossy(unpaired), "a\xEF\xBF\xBD");
}

TEST(Whitespace, SplitsAtRuns) {
    auto tokens = split_whitespace("        128.0.0.0        128.0.0.0       172.19.0.1   1");
    ASSERT_EQ(tokens.size(), 4u);
    EXPECT_EQ(tokens[0], "128.0.0.0");
    EXPECT_EQ(tokens[3], "1");
}

TEST(Ipv4, DottedQuadsOnly) {
    struct Case {
        const char* text;
        std::optional<uint32_t> address;
    };
    const Case cases[] = {
        {"203.0.113.7", 0xCB007107u}, {"0.0.0.0", 0u}, {"255.255.255.255", 0xFFFFFFFFu}, {"010.1.1.1", 0x0A010101u},
        {"256.1.1.1", std::nullopt}, {"1.2.3", std::nullopt}, {"1.2.3.4.", std::nullopt}, {"1.2.3.1234", std::nullopt},
        {"1..2.3", std::nullopt}, {" 1.2.3.4", std::nullopt}, {"", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(parse_ipv4_address(c.text), c.address) << c.text;
}

}  // namespace
}  // namespace vorn

namespace vorn {
namespace {

TEST(ReadFileAtMost, TheBoundItselfIsReadOneByteMoreIsRefused) {
    testing::TempDir dir;
    struct Case {
        size_t size;
        bool read;
    };
    for (const Case& c : {Case{0, true}, Case{10, true}, Case{11, false}, Case{4096, false}}) {
        std::string path = dir.str() + "/f" + std::to_string(c.size);
        ASSERT_TRUE(write_file(path, std::string(c.size, 'x')).ok());
        auto bytes = read_file_at_most(path, 10, "too large");
        EXPECT_EQ(bytes.ok(), c.read) << c.size;
        EXPECT_EQ(bytes.ok() ? bytes->size() : 0u, c.read ? c.size : 0u);
        if (!c.read) { EXPECT_EQ(bytes.error(), "too large"); }
    }
    EXPECT_FALSE(read_file_at_most(dir.str() + "/missing", 10, "too large").ok());
}

}  // namespace
}  // namespace vorn
