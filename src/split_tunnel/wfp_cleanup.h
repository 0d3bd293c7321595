#pragma once
// Removes this product's WFP objects (filters of 128 slots per address family, the sublayer,
// the provider), whatever an earlier run or the tunnel's firewall left.

#include <string>

#include "common/result.h"
#include "platform/platform.h"

namespace vorn {

inline constexpr int kWfpFilterSlots = 128;

Guid wfp_provider_key();
Guid wfp_sublayer_key();
Guid wfp_filter_key(bool ipv6, int slot);
// Registry form: {56A51FF2-6E39-4C1F-8F69-2E1D2CC40000}
std::string guid_text(const Guid& guid);

// Deletes every object of the family through `engine`, filters before the sublayer that holds
// them and the sublayer before its provider. A failed delete (most often: not found) is passed over.
void delete_family(WfpSession& engine);
// The same in one transaction of its own: the firewall goes whole or not at all.
Status remove_wfp_objects(Platform& platform);

}  // namespace vorn
