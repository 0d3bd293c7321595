#include <winsock2.h>
#include <windows.h>
#include <fwpmu.h>

#include <cstddef>
#include <list>

#include "platform/win32/handle.h"
#include "platform/win32/wfp_guids.h"
#include "platform/win32/win32_platform.h"

namespace vorn::win32 {

// The structures as mingw-w64 lays them out for x64; the filtering engine reads them as such.
static_assert(sizeof(FWP_VALUE0) == 16 && offsetof(FWP_VALUE0, uint32) == 8);
static_assert(sizeof(FWP_CONDITION_VALUE0) == 16 && offsetof(FWP_CONDITION_VALUE0, uint32) == 8);
static_assert(sizeof(FWPM_FILTER_CONDITION0) == 40 && offsetof(FWPM_FILTER_CONDITION0, matchType) == 16 &&
              offsetof(FWPM_FILTER_CONDITION0, conditionValue) == 24);
static_assert(sizeof(FWP_V4_ADDR_AND_MASK) == 8 && offsetof(FWP_V4_ADDR_AND_MASK, mask) == 4);
static_assert(sizeof(FWP_V6_ADDR_AND_MASK) == 17 && offsetof(FWP_V6_ADDR_AND_MASK, prefixLength) == 16);
static_assert(sizeof(FWP_RANGE0) == 32 && offsetof(FWP_RANGE0, valueHigh) == 16);
static_assert(sizeof(FWPM_FILTER0) == 200 && offsetof(FWPM_FILTER0, displayData) == 16 &&
              offsetof(FWPM_FILTER0, flags) == 32 && offsetof(FWPM_FILTER0, providerKey) == 40 &&
              offsetof(FWPM_FILTER0, layerKey) == 64 && offsetof(FWPM_FILTER0, subLayerKey) == 80 &&
              offsetof(FWPM_FILTER0, weight) == 96 && offsetof(FWPM_FILTER0, numFilterConditions) == 112 &&
              offsetof(FWPM_FILTER0, filterCondition) == 120 && offsetof(FWPM_FILTER0, action) == 128 &&
              offsetof(FWPM_FILTER0, filterId) == 176 && offsetof(FWPM_FILTER0, effectiveWeight) == 184);

namespace {

GUID to_guid(const Guid& g) {
    GUID out;
    out.Data1 = g.data1;
    out.Data2 = g.data2;
    out.Data3 = g.data3;
    for (size_t i = 0; i < 8; ++i) out.Data4[i] = g.data4[i];
    return out;
}

const GUID& layer_key(WfpLayer layer) {
    switch (layer) {
        case WfpLayer::ConnectV4: return wfp_keys::kLayerAleAuthConnectV4;
        case WfpLayer::ConnectV6: return wfp_keys::kLayerAleAuthConnectV6;
        case WfpLayer::AcceptV4: return wfp_keys::kLayerAleAuthRecvAcceptV4;
        case WfpLayer::AcceptV6: return wfp_keys::kLayerAleAuthRecvAcceptV6;
    }
    return wfp_keys::kLayerAleAuthConnectV4;
}

const GUID& field_key(WfpField field) {
    switch (field) {
        case WfpField::Flags: return wfp_keys::kConditionFlags;
        case WfpField::AppId: return wfp_keys::kConditionAleAppId;
        case WfpField::LocalAddress: return wfp_keys::kConditionIpLocalAddress;
        case WfpField::RemoteAddress: return wfp_keys::kConditionIpRemoteAddress;
        case WfpField::Protocol: return wfp_keys::kConditionIpProtocol;
        case WfpField::LocalPort: return wfp_keys::kConditionIpLocalPort;
        case WfpField::RemotePort: return wfp_keys::kConditionIpRemotePort;
        case WfpField::InterfaceIndex: return wfp_keys::kConditionInterfaceIndex;
    }
    return wfp_keys::kConditionFlags;
}

FWP_MATCH_TYPE match_type(WfpMatch match) {
    switch (match) {
        case WfpMatch::Equal: return FWP_MATCH_EQUAL;
        case WfpMatch::FlagsAllSet: return FWP_MATCH_FLAGS_ALL_SET;
        case WfpMatch::Range: return FWP_MATCH_RANGE;
    }
    return FWP_MATCH_EQUAL;
}

// Owns what the conditions of one FwpmFilterAdd0 call point at, until the call returns.
class ConditionStorage {
public:
    FWP_CONDITION_VALUE0 value(const WfpValue& v) {
        FWP_CONDITION_VALUE0 out{};
        if (const auto* u8 = std::get_if<uint8_t>(&v)) {
            out.type = FWP_UINT8;
            out.uint8 = *u8;
        } else if (const auto* u16 = std::get_if<uint16_t>(&v)) {
            out.type = FWP_UINT16;
            out.uint16 = *u16;
        } else if (const auto* u32 = std::get_if<uint32_t>(&v)) {
            out.type = FWP_UINT32;
            out.uint32 = *u32;
        } else if (const auto* v4 = std::get_if<WfpV4Mask>(&v)) {
            out.type = FWP_V4_ADDR_MASK;
            out.v4AddrMask = &v4_.emplace_back(FWP_V4_ADDR_AND_MASK{v4->address, v4->mask});
        } else if (const auto* v6 = std::get_if<WfpV6Prefix>(&v)) {
            FWP_V6_ADDR_AND_MASK& m = v6_.emplace_back();
            for (size_t i = 0; i < 16; ++i) m.addr[i] = v6->address[i];
            m.prefixLength = v6->prefix_length;
            out.type = FWP_V6_ADDR_MASK;
            out.v6AddrMask = &m;
        } else if (const auto* range = std::get_if<WfpRange16>(&v)) {
            FWP_RANGE0& r = ranges_.emplace_back();
            r.valueLow.type = FWP_UINT16;
            r.valueLow.uint16 = range->low;
            r.valueHigh.type = FWP_UINT16;
            r.valueHigh.uint16 = range->high;
            out.type = FWP_RANGE_TYPE;
            out.rangeValue = &r;
        } else if (const auto* blob = std::get_if<std::vector<uint8_t>>(&v)) {
            std::vector<uint8_t>& bytes = bytes_.emplace_back(*blob);
            FWP_BYTE_BLOB& b = blobs_.emplace_back();
            b.size = static_cast<UINT32>(bytes.size());
            b.data = bytes.data();
            out.type = FWP_BYTE_BLOB_TYPE;
            out.byteBlob = &b;
        }
        return out;
    }

private:
    // Lists: an element's address stays put while more are added.
    std::list<FWP_V4_ADDR_AND_MASK> v4_;
    std::list<FWP_V6_ADDR_AND_MASK> v6_;
    std::list<FWP_RANGE0> ranges_;
    std::list<std::vector<uint8_t>> bytes_;
    std::list<FWP_BYTE_BLOB> blobs_;
};

class Win32WfpSession final : public WfpSession {
public:
    explicit Win32WfpSession(HANDLE engine) : engine_(engine) {}
    Win32WfpSession(const Win32WfpSession&) = delete;
    Win32WfpSession& operator=(const Win32WfpSession&) = delete;
    // Closing the engine aborts a transaction still open.
    ~Win32WfpSession() override { FwpmEngineClose0(engine_); }

    uint32_t delete_filter(const Guid& key) override {
        GUID g = to_guid(key);
        return FwpmFilterDeleteByKey0(engine_, &g);
    }
    uint32_t delete_sublayer(const Guid& key) override {
        GUID g = to_guid(key);
        return FwpmSubLayerDeleteByKey0(engine_, &g);
    }
    uint32_t delete_provider(const Guid& key) override {
        GUID g = to_guid(key);
        return FwpmProviderDeleteByKey0(engine_, &g);
    }
    uint32_t begin_transaction() override { return FwpmTransactionBegin0(engine_, 0); }
    uint32_t commit_transaction() override { return FwpmTransactionCommit0(engine_); }
    uint32_t abort_transaction() override { return FwpmTransactionAbort0(engine_); }

    uint32_t add_provider(const Guid& key, std::string_view name) override {
        std::wstring wide = to_wide(name);
        FWPM_PROVIDER0 provider{};
        provider.providerKey = to_guid(key);
        provider.displayData.name = wide.data();
        return FwpmProviderAdd0(engine_, &provider, nullptr);
    }

    uint32_t add_sublayer(const Guid& key, const Guid& provider_key, std::string_view name, uint16_t weight) override {
        std::wstring wide = to_wide(name);
        GUID provider = to_guid(provider_key);
        FWPM_SUBLAYER0 sublayer{};
        sublayer.subLayerKey = to_guid(key);
        sublayer.displayData.name = wide.data();
        sublayer.providerKey = &provider;
        sublayer.weight = weight;
        return FwpmSubLayerAdd0(engine_, &sublayer, nullptr);
    }

    uint32_t add_filter(const WfpFilter& filter, const Guid& sublayer, const Guid& provider_key) override {
        std::wstring wide = to_wide(filter.name);
        GUID provider = to_guid(provider_key);
        ConditionStorage storage;
        std::vector<FWPM_FILTER_CONDITION0> conditions;
        for (const WfpCondition& c : filter.conditions) {
            FWPM_FILTER_CONDITION0 condition{};
            condition.fieldKey = field_key(c.field);
            condition.matchType = match_type(c.match);
            condition.conditionValue = storage.value(c.value);
            conditions.push_back(condition);
        }
        FWPM_FILTER0 f{};
        f.filterKey = to_guid(filter.key);
        f.displayData.name = wide.data();
        f.providerKey = &provider;
        f.layerKey = layer_key(filter.layer);
        f.subLayerKey = to_guid(sublayer);
        f.weight.type = FWP_UINT8;
        f.weight.uint8 = filter.weight;
        f.numFilterConditions = static_cast<UINT32>(conditions.size());
        f.filterCondition = conditions.empty() ? nullptr : conditions.data();
        f.action.type = filter.permit ? FWP_ACTION_PERMIT : FWP_ACTION_BLOCK;
        UINT64 id = 0;
        return FwpmFilterAdd0(engine_, &f, nullptr, &id);
    }

    uint32_t find(WfpObject kind, const Guid& key) override {
        GUID g = to_guid(key);
        DWORD status = 0;
        switch (kind) {
            case WfpObject::Provider: {
                FWPM_PROVIDER0* found = nullptr;
                status = FwpmProviderGetByKey0(engine_, &g, &found);
                if (found) FwpmFreeMemory0(reinterpret_cast<void**>(&found));
                break;
            }
            case WfpObject::Sublayer: {
                FWPM_SUBLAYER0* found = nullptr;
                status = FwpmSubLayerGetByKey0(engine_, &g, &found);
                if (found) FwpmFreeMemory0(reinterpret_cast<void**>(&found));
                break;
            }
            case WfpObject::Filter: {
                FWPM_FILTER0* found = nullptr;
                status = FwpmFilterGetByKey0(engine_, &g, &found);
                if (found) FwpmFreeMemory0(reinterpret_cast<void**>(&found));
                break;
            }
        }
        return status;
    }

private:
    HANDLE engine_;
};

}  // namespace

Result<std::unique_ptr<WfpSession>, SystemFailure> Win32Wfp::open() {
    HANDLE engine = nullptr;
    // An ordinary (not dynamic) session: what it adds outlives this process, so a command-line
    // connect's firewall stays after it exits. Nothing is persistent across a reboot.
    DWORD status = FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, nullptr, &engine);
    if (status != 0) return system_failure(status, "FwpmEngineOpen0 failed");
    return std::make_unique<Win32WfpSession>(engine);
}

Result<std::vector<uint8_t>, SystemFailure> Win32Wfp::app_id(const std::string& path) {
    std::wstring wide = to_wide(path);
    FWP_BYTE_BLOB* blob = nullptr;
    DWORD status = FwpmGetAppIdFromFileName0(wide.c_str(), &blob);
    if (status != 0) return system_failure(status, "FwpmGetAppIdFromFileName0 failed");
    std::vector<uint8_t> id;
    if (blob != nullptr) {
        id.assign(blob->data, blob->data + blob->size);
        FwpmFreeMemory0(reinterpret_cast<void**>(&blob));
    }
    return id;
}

}  // namespace vorn::win32
