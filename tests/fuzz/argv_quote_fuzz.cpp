// Quoting against the way a Windows program's C runtime splits its command line back into
// arguments: whatever the arguments, the child sees exactly them.

#include <fuzzer/FuzzedDataProvider.h>

#include "common/argv_quote.h"
#include "fuzz_check.h"

namespace {

// The Microsoft C runtime's rules: the program name ends at the closing quote or the first
// blank and knows no escapes; in arguments, 2n backslashes before a quote give n and the quote
// toggles quoting, 2n+1 give n and a literal quote, other backslashes are literal, and "" inside
// quotes is a literal quote.
std::vector<std::string> split_command_line(const std::string& line) {
    std::vector<std::string> argv;
    size_t i = 0;
    std::string program;
    if (i < line.size() && line[i] == '"') {
        for (++i; i < line.size() && line[i] != '"'; ++i) program += line[i];
        if (i < line.size()) ++i;
    } else {
        for (; i < line.size() && line[i] != ' ' && line[i] != '\t'; ++i) program += line[i];
    }
    argv.push_back(program);
    for (;;) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        if (i >= line.size()) return argv;
        std::string arg;
        bool quoted = false;
        while (i < line.size()) {
            char c = line[i];
            if (c == '\\') {
                size_t n = 0;
                while (i < line.size() && line[i] == '\\') ++n, ++i;
                if (i < line.size() && line[i] == '"') {
                    arg.append(n / 2, '\\');
                    if (n % 2) {
                        arg += '"';
                        ++i;
                    }
                } else {
                    arg.append(n, '\\');
                }
            } else if (c == '"') {
                if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
                    arg += '"';
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
            } else if (!quoted && (c == ' ' || c == '\t')) {
                break;
            } else {
                arg += c;
                ++i;
            }
        }
        argv.push_back(arg);
    }
}

std::string without_nul(std::string text, bool program) {
    std::erase(text, '\0');
    if (program) std::erase(text, '"');  // a program path cannot hold a quote
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vorn;
    FuzzedDataProvider in(data, size);
    std::string program = without_nul(in.ConsumeRandomLengthString(64), true);
    if (program.empty()) program = "C:\\Windows\\System32\\route.exe";
    std::vector<std::string> args;
    while (in.remaining_bytes() > 0 && args.size() < 16) args.push_back(without_nul(in.ConsumeRandomLengthString(64), false));

    std::vector<std::string> expected = {program};
    expected.insert(expected.end(), args.begin(), args.end());
    FUZZ_CHECK(split_command_line(build_command_line(program, args)) == expected);
    for (const std::string& arg : args) {
        FUZZ_CHECK(split_command_line("x " + quote_argument(arg)) == (std::vector<std::string>{"x", arg}));
    }
    return 0;
}
