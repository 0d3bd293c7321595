#include "tunnel/request_path.h"

#include <algorithm>
#include <string>

#include "common/text.h"

namespace vorn {

namespace {

// Windows takes '/' as a separator too.
std::string backslashed(std::string_view path) {
    std::string text(path);
    std::replace(text.begin(), text.end(), '/', '\\');
    return text;
}

bool drive_rooted(std::string_view path) {
    return path.size() >= 3 && ((path[0] | 0x20) >= 'a' && (path[0] | 0x20) <= 'z') && path[1] == ':' &&
           path[2] == '\\';
}

// CON, NUL, COM1 and the like open a device in any folder, with any extension or after a ':'
// ("NUL:", "CON:stream").
bool reserved_device_name(std::string_view path) {
    const size_t cut = path.find_last_of('\\');
    std::string_view name = cut != std::string_view::npos ? path.substr(cut + 1)
                            : path.size() >= 2 && path[1] == ':' ? path.substr(2)  // "C:lpt1"
                                                                  : path;
    name = name.substr(0, name.find_first_of(".:"));
    while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
    const std::string upper = to_ascii_upper(name);
    if (upper == "CON" || upper == "PRN" || upper == "AUX" || upper == "NUL" || upper == "CONIN$" ||
        upper == "CONOUT$") {
        return true;
    }
    if (!starts_with(upper, "COM") && !starts_with(upper, "LPT")) return false;
    // Windows takes the Latin-1 superscripts ¹²³ (here in UTF-8) for digits too.
    const std::string_view number = std::string_view(upper).substr(3);
    return (number.size() == 1 && number[0] >= '1' && number[0] <= '9') || number == "\xC2\xB9" ||
           number == "\xC2\xB2" || number == "\xC2\xB3";
}

Status refuse(std::string_view kind) {
    return fail("the path is " + std::string(kind) + ", not a file on a local disk");
}

}  // namespace

Status check_local_request_path(std::string_view path) {
    // Windows reads the path only up to a NUL: "AUX\0.json" opens the device.
    if (path.find('\0') != std::string_view::npos) return refuse("cut short by a NUL character");
    const std::string text = backslashed(path);
    if (starts_with(text, "\\\\?\\")) {
        std::string_view rest = std::string_view(text).substr(4);
        if (starts_with(to_ascii_upper(rest.substr(0, 4)), "UNC\\")) return refuse("a UNC path");
        if (!drive_rooted(rest)) return refuse("a device path");
    } else if (starts_with(text, "\\\\.\\")) {
        if (starts_with(to_ascii_lower(text.substr(4, 5)), "pipe\\")) return refuse("a pipe path");
        return refuse("a device path");
    } else if (starts_with(text, "\\??\\")) {
        return refuse("a device path");
    } else if (starts_with(text, "\\\\")) {
        return refuse("a UNC path");
    }
    if (reserved_device_name(text)) return refuse("a device name");
    return {};
}

bool same_final_path(std::string_view asked, std::string_view final_path) {
    auto plain = [](std::string_view path) {
        std::string text = backslashed(path);
        if (starts_with(text, "\\\\?\\")) text.erase(0, 4);
        return to_ascii_lower(text);
    };
    // A drive's path only: a relative "UNC\host\share\r.json" is not "\\?\UNC\host\share\r.json".
    const std::string final_plain = plain(final_path);
    return drive_rooted(final_plain) && plain(asked) == final_plain;
}

Result<std::string, ReadFailure> read_saved_request_file(RequestFiles& files, const std::string& path) {
    if (auto local = check_local_request_path(path); !local) return ReadFailure{local.failure(), false};
    auto opened = files.read_local(path);
    if (!opened) return std::move(opened).failure();
    if (!same_final_path(path, opened->final_path)) {
        return ReadFailure{fail("the path leads to " + opened->final_path + " through a link"), false};
    }
    return std::move(opened->bytes);
}

}  // namespace vorn
