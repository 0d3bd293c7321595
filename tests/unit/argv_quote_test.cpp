#include <gtest/gtest.h>

#include "common/argv_quote.h"

namespace vorn {
namespace {

// Expected forms follow the rules the Microsoft C runtime uses to split a command line.
TEST(QuoteArgument, EveryArgumentSurvivesTheRuntimeSplit) {
    struct Case {
        std::string arg;
        std::string quoted;
    };
    const Case cases[] = {
        {"print", "print"},
        {"IMAGENAME eq xray.exe", "\"IMAGENAME eq xray.exe\""},
        {"", "\"\""},
        {"say \"hi\"", "\"say \\\"hi\\\"\""},
        {"C:\\dir\\", "C:\\dir\\"},                 // no quoting needed: backslashes literal
        {"C:\\my dir\\", "\"C:\\my dir\\\\\""},     // trailing backslash doubled before the quote
        {"a\\\"b", "\"a\\\\\\\"b\""},               // backslash before a quote: doubled, quote escaped
        {"tab\there", "\"tab\there\""},
        {"\"C:\\x.exe\" run-service", "\"\\\"C:\\x.exe\\\" run-service\""},
    };
    for (const Case& c : cases) EXPECT_EQ(quote_argument(c.arg), c.quoted) << c.arg;
}

TEST(BuildCommandLine, QuotesTheProgramAndEachArgument) {
    EXPECT_EQ(build_command_line("C:\\w\\tasklist.exe", {"/FI", "PID eq 42", "/NH"}),
              "\"C:\\w\\tasklist.exe\" /FI \"PID eq 42\" /NH");
}

}  // namespace
}  // namespace vorn
