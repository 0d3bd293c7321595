#include <winsock2.h>
#include <windows.h>
#include <fwpmu.h>

#include "platform/win32/win32_platform.h"

namespace vorn::win32 {

namespace {

GUID to_guid(const Guid& g) {
    GUID out;
    out.Data1 = g.data1;
    out.Data2 = g.data2;
    out.Data3 = g.data3;
    for (size_t i = 0; i < 8; ++i) out.Data4[i] = g.data4[i];
    return out;
}

class Win32WfpSession final : public WfpSession {
public:
    explicit Win32WfpSession(HANDLE engine) : engine_(engine) {}
    Win32WfpSession(const Win32WfpSession&) = delete;
    Win32WfpSession& operator=(const Win32WfpSession&) = delete;
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

private:
    HANDLE engine_;
};

}  // namespace

Result<std::unique_ptr<WfpSession>, SystemFailure> Win32Wfp::open() {
    HANDLE engine = nullptr;
    // An ordinary (not dynamic) session: no session structure, Windows NT authentication.
    DWORD status = FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, nullptr, &engine);
    if (status != 0) return system_failure(status, "FwpmEngineOpen0 failed");
    return std::make_unique<Win32WfpSession>(engine);
}

}  // namespace vorn::win32
