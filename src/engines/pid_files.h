#pragma once

#include <array>
#include <string_view>

namespace vorn {

struct EnginePidFile {
    std::string_view file_name;
    std::string_view label;  // how messages name the engine
};

// The order in which pid files are examined and engines are stopped.
inline constexpr std::array<EnginePidFile, 3> kEnginePidFiles = {{
    {"product-xray.pid", "product Xray"},
    {"product-tuic.pid", "TUIC"},
    {"product-hysteria.pid", "Hysteria2"},
}};

}  // namespace vorn
