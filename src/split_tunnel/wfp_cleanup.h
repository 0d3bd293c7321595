#pragma once
// Removes this product's WFP objects (filters of 128 slots, the sublayer, the provider),
// whatever an earlier run left. The system never creates them.

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

Status remove_wfp_objects(Platform& platform);

}  // namespace vorn
