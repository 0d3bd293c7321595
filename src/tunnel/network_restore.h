#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace vorn {

// Host routes to delete: the exceptions file's addresses (when it holds an array of strings),
// then the fixed server addresses, without duplicates, in that order.
std::vector<std::string> host_routes_to_delete(std::string_view exceptions_text, bool readable);

// Removes what a full tunnel put into the routing table and adapter settings. Never fails.
void restore_full_tunnel_network(Platform& platform);

}  // namespace vorn
