#include "split_tunnel/wfp_cleanup.h"

#include <cstdio>

namespace vorn {

namespace {

// Keys share the tail 8F69-2E1D2CC40000 + n, read as one big-endian 64-bit number.
Guid family_key(uint32_t data1, uint64_t tail_offset) {
    uint64_t tail = 0x8F692E1D2CC40000ull + tail_offset;
    Guid g{data1, 0x6E39, 0x4C1F, {}};
    for (int i = 0; i < 8; ++i) g.data4[static_cast<size_t>(i)] = static_cast<uint8_t>(tail >> (56 - 8 * i));
    return g;
}

}  // namespace

Guid wfp_provider_key() { return family_key(0x56A51FF0, 0xC01); }
Guid wfp_sublayer_key() { return family_key(0x56A51FF1, 0xC01); }
Guid wfp_filter_key(bool ipv6, int slot) {
    return family_key(ipv6 ? 0x56A51FF3 : 0x56A51FF2, static_cast<uint64_t>(slot));
}

std::string guid_text(const Guid& g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.data1, g.data2,
                  g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4], g.data4[5], g.data4[6],
                  g.data4[7]);
    return text;
}

void delete_family(WfpSession& engine) {
    for (int slot = 0; slot < kWfpFilterSlots; ++slot) {
        (void)engine.delete_filter(wfp_filter_key(false, slot));
        (void)engine.delete_filter(wfp_filter_key(true, slot));
    }
    (void)engine.delete_sublayer(wfp_sublayer_key());
    (void)engine.delete_provider(wfp_provider_key());
}

Status remove_wfp_objects(Platform& platform) {
    auto opened = platform.wfp.open();
    if (!opened) return fail("FwpmEngineOpen0 failed: Windows error " + std::to_string(opened.failure().error_value));
    std::unique_ptr<WfpSession> engine = std::move(*opened);
    // Without a transaction the deletes still run one by one: a clean-up is best effort.
    bool in_transaction = engine->begin_transaction() == 0;
    delete_family(*engine);
    // A commit that fails undoes the deletes; then they are made one by one.
    if (in_transaction && engine->commit_transaction() != 0) delete_family(*engine);
    return {};
}

}  // namespace vorn
