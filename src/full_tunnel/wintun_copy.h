#pragma once
// Xray's TUN inbound loads wintun.dll from its own folder: the copy the full tunnel puts there.

#include <string>

#include "common/result.h"
#include "platform/platform.h"

namespace vorn {

// An existing trusted wintun.dll beside xray.exe is kept; an untrusted one is written afresh
// from the embedded image.
Status copy_wintun_next_to_xray(Platform& platform, const std::string& xray_path, const std::string& wintun_source);

}  // namespace vorn
