#pragma once
// The full tunnel's exception list in the runtime folder: the addresses whose host routes keep
// them on the physical network, and beside it the next hop those routes were added through.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "platform/platform.h"

namespace vorn {

// The compact JSON array of the exception addresses.
Result<std::string> render_route_exceptions(const std::vector<std::string>& addresses);
// The addresses an exceptions file lists (an array of strings; only IPv4 addresses are taken,
// since each becomes a `route` argument).
std::vector<std::string> listed_route_exceptions(std::string_view exceptions_text);
// The addresses the persisted exceptions file lists; a missing file is a failure.
Result<std::vector<std::string>> persisted_route_exceptions(Platform& platform);
// The next hop the persisted exceptions were added through, when it is a plain dotted quad.
std::optional<std::string> persisted_exceptions_next_hop(Platform& platform);
// Records the next hop the exceptions go through; a failure is the write's error text.
Status persist_exceptions_next_hop(Platform& platform, const std::string& next_hop);

}  // namespace vorn
