#include <cstddef>

#include "platform/win32/win32_platform.h"

// Generated at build time from the Wintun DLL the build was given.
extern const unsigned char vorn_wintun_image[];
extern const std::size_t vorn_wintun_image_size;

namespace vorn::win32 {

std::string_view embedded_wintun_image() {
    return std::string_view(reinterpret_cast<const char*>(vorn_wintun_image), vorn_wintun_image_size);
}

}  // namespace vorn::win32
