#include "common/argv_quote.h"

namespace vorn {

std::string quote_argument(std::string_view arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string_view::npos) {
        return std::string(arg);
    }
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes are literal unless they precede a quote: then each one is doubled and
        // the quote escaped.
        out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    // Before the closing quote every backslash is doubled.
    out.append(backslashes * 2, '\\');
    out += '"';
    return out;
}

std::string build_command_line(std::string_view program, const std::vector<std::string>& args) {
    // The program name is split by different rules (no escapes), so it is only ever quoted.
    std::string line;
    line.reserve(program.size() + 2);
    line.push_back('"');
    line.append(program);
    line.push_back('"');
    for (const std::string& arg : args) {
        line += ' ';
        line += quote_argument(arg);
    }
    return line;
}

}  // namespace vorn
