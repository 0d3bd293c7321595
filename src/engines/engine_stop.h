#pragma once
// Ending the engines an earlier connect left, found through their pid files.

#include "common/result.h"
#include "platform/platform.h"

namespace vorn {

// Ends the engines named by the pid files and removes those files; fails only on pid files that
// cannot be read or parsed (they are kept), with every such message joined by "; ".
Status stop_engines(Platform& platform);
// Up to 40 checks 250 ms apart until no tunnel adapter is listed. Never fails.
void wait_for_tunnel_interface_gone(Platform& platform);

}  // namespace vorn
