// A request path as a client names it, and the final path the system reports for the file it
// opened. Whatever the service opens or reads is a file on a local disk as Windows reads the
// path; the input is the asked path, a line end, then the final path (none: no such file).

#include <algorithm>
#include <cctype>

#include "fakes.h"
#include "fuzz_check.h"
#include "tunnel/request_path.h"

namespace {

using namespace vorn;

bool drive_rooted(std::string_view p) {
    return p.size() >= 3 && std::isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':' && p[2] == '\\';
}

// Windows' view: the path ends at the first NUL and '/' separates too. "\\?\" takes the rest
// literally; any other path starting "\\" or "\??\" leaves the drives (another host, a pipe, a
// device). In a drive's folders a last component named CON, NUL, COM1 and the like (before any
// '.' or ':', trailing blanks aside; ¹²³ count as digits) opens a device.
bool windows_local_file(std::string_view asked) {
    std::string p(asked.substr(0, asked.find('\0')));
    std::replace(p.begin(), p.end(), '/', '\\');
    if (p.rfind("\\\\?\\", 0) == 0) return drive_rooted(std::string_view(p).substr(4));
    if (p.rfind("\\\\", 0) == 0 || p.rfind("\\??\\", 0) == 0) return false;
    size_t at = p.rfind('\\');
    std::string name = at != std::string::npos ? p.substr(at + 1) : p.size() >= 2 && p[1] == ':' ? p.substr(2) : p;
    name = to_ascii_upper(name.substr(0, name.find_first_of(".:")));
    name.erase(name.find_last_not_of(' ') + 1);
    for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
        if (name == device) return false;
    }
    if (name.rfind("COM", 0) != 0 && name.rfind("LPT", 0) != 0) return true;
    const std::string digit = name.substr(3);
    return !(digit.size() == 1 && digit[0] >= '1' && digit[0] <= '9') && digit != "\xC2\xB9" && digit != "\xC2\xB2" &&
           digit != "\xC2\xB3";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vorn::testing;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    // Both come as UTF-8: from a JSON string, a decoded file or the system's wide text.
    const std::string asked = decode_utf8_lossy(text.substr(0, text.find('\n')));
    std::optional<std::string> final_path;
    if (size_t end = text.find('\n'); end != std::string_view::npos) {
        std::string_view rest = text.substr(end + 1);
        final_path = decode_utf8_lossy(rest.substr(0, rest.find('\n')));
    }

    const bool accepted = check_local_request_path(asked).ok();
    if (accepted) FUZZ_CHECK(windows_local_file(asked));
    if (!accepted) fuzz::check_error_message(check_local_request_path(asked).error(), "the path ");
    if (final_path && accepted && same_final_path(asked, *final_path)) {
        std::string plain = *final_path;
        std::replace(plain.begin(), plain.end(), '/', '\\');
        if (plain.rfind("\\\\?\\", 0) == 0) plain.erase(0, 4);
        FUZZ_CHECK(drive_rooted(plain));
    }

    FakeRequestFiles files;
    const std::string bytes = "{\"tunnelMode\":\"full\"}";
    if (final_path) {
        files.files[asked] = ScriptedFile{OpenedFile{bytes, *final_path}, false};
    } else {
        files.files[asked] = ScriptedFile{fail("The system cannot find the file specified. (os error 2)"), true};
    }
    auto read = read_saved_request_file(files, asked);
    FUZZ_CHECK(files.opened.empty() || windows_local_file(asked));
    if (read) {
        FUZZ_CHECK(*read == bytes && accepted && same_final_path(asked, *final_path));
    } else {
        // It may name the final path: valid text that renders as a status record.
        fuzz::check_status_line(status_to_json(make_status(TunnelState::Error, read.error())).value());
        FUZZ_CHECK(read.failure().not_found == (accepted && !final_path));
    }
    return 0;
}
