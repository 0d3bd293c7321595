#pragma once

#include <array>
#include <string_view>

namespace vorn {

struct EnginePidFile {
    std::string_view file_name;
    std::string_view label;  // how messages name the engine
};

inline constexpr std::string_view kXrayPidFile = "product-xray.pid";
inline constexpr std::string_view kTuicPidFile = "product-tuic.pid";
inline constexpr std::string_view kHysteriaPidFile = "product-hysteria.pid";

// The order in which pid files are examined and engines are stopped.
inline constexpr std::array<EnginePidFile, 3> kEnginePidFiles = {{
    {kXrayPidFile, "product Xray"},
    {kTuicPidFile, "TUIC"},
    {kHysteriaPidFile, "Hysteria2"},
}};

}  // namespace vorn
