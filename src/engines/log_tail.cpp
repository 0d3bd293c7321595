#include "engines/log_tail.h"

#include <vector>

#include "common/text.h"
#include "tunnel_core/runtime_files.h"

namespace vorn {

std::string log_tail_of_text(std::string_view text) {
    std::vector<std::string> lines = split_lines(text);
    size_t first = lines.size() > 20 ? lines.size() - 20 : 0;
    std::vector<std::string> tail(lines.begin() + static_cast<std::ptrdiff_t>(first), lines.end());
    std::string text_tail(trim(join(tail, "\n")));
    if (text_tail.size() <= kLogTailLimitBytes) return text_tail;
    // Long lines: their end only, from a character's first byte on.
    size_t cut = text_tail.size() - kLogTailLimitBytes;
    while (cut < text_tail.size() && (static_cast<unsigned char>(text_tail[cut]) & 0xC0) == 0x80) ++cut;
    return std::string(trim(std::string_view(text_tail).substr(cut)));
}

std::string read_log_tail(Platform& platform, std::string_view log_name) {
    auto text = read_runtime_file(platform, log_name);
    if (!text || !*text) return "";
    return log_tail_of_text(decode_utf8_lossy(**text));
}

std::string exit_detail(Platform& platform, std::string_view stdout_log, std::string_view stderr_log) {
    std::string tail = read_log_tail(platform, stderr_log);
    if (tail.empty()) tail = read_log_tail(platform, stdout_log);
    return tail.empty() ? "" : ": " + tail;
}

}  // namespace vorn
