#pragma once
// The conversation with the split redirect driver: the policy it is given, its diagnostics,
// and making sure its kernel service runs.

#include <array>
#include <optional>
#include <cstdint>
#include <string>
#include <vector>

#include "common/result.h"
#include "platform/clock.h"
#include "platform/driver.h"

namespace vorn {

inline constexpr size_t kMaxRedirectApps = 64;
inline constexpr size_t kMaxRootProcesses = 64;
inline constexpr size_t kPolicyHeaderSize = 276;
inline constexpr size_t kPolicyEntrySize = 1304;
inline constexpr size_t kDiagnosticsSize = 20;
inline constexpr uint32_t kDriverProtocolVersion = 2;
inline constexpr uint32_t kIoctlSetPolicy = 0x12A004;
inline constexpr uint32_t kIoctlClearPolicy = 0x12A008;
inline constexpr uint32_t kIoctlQueryDiagnostics = 0x12600C;
inline constexpr const char* kDriverServiceName = "VornSplitCallout";

struct RedirectPolicy {
    std::vector<std::string> applications;
    std::vector<uint32_t> root_process_ids;
    uint32_t service_process_id = 0;
    uint16_t proxy_port = 0;
    uint16_t reserved = 0;
};

struct DriverDiagnostics {
    uint32_t tracked_processes = 0;
    std::array<uint8_t, 12> further{};
};

// The driver's ports for one conversation.
struct DriverPorts {
    DriverServiceControl& service;
    DriverDevice& device;
    Clock& clock;
};

// Every failure below is coded ("SPLIT_DRIVER_UNAVAILABLE: ..." once rendered).
Result<RedirectPolicy> build_redirect_policy(const std::vector<std::string>& applications,
                                             uint32_t service_process_id, uint16_t proxy_port);
Result<RedirectPolicy> attach_root_processes(RedirectPolicy policy, std::vector<uint32_t> ids);
Result<std::string> encode_redirect_policy(const RedirectPolicy& policy);
Result<DriverDiagnostics> decode_driver_diagnostics(const std::string& bytes);
// Drive letter or UNC prefix, and a root.
bool is_absolute_windows_path(const std::string& path);

Result<std::string> driver_control(DriverDevice& device, uint32_t code, const std::string* input,
                                   uint32_t output_size);
Result<DriverDiagnostics> query_driver_diagnostics(DriverDevice& device);
Status clear_redirect_policy(DriverDevice& device);
Result<DriverDiagnostics> apply_redirect_policy(DriverPorts ports, const RedirectPolicy& policy);

}  // namespace vorn
