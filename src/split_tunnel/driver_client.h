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
#include "platform/split_driver_protocol.h"

namespace vorn {

inline constexpr size_t kMaxRedirectApps = VORN_MAX_REDIRECT_APPS;
inline constexpr size_t kMaxRootProcesses = VORN_MAX_ROOT_PROCESSES;
inline constexpr size_t kPolicyHeaderSize = VORN_POLICY_HEADER_SIZE;
inline constexpr size_t kPolicyEntrySize = VORN_POLICY_ENTRY_SIZE;
inline constexpr size_t kDiagnosticsSize = VORN_DIAGNOSTICS_SIZE;
inline constexpr uint32_t kDriverProtocolVersion = VORN_PROTOCOL_VERSION;
inline constexpr uint32_t kIoctlSetPolicy = VORN_IOCTL_SET_POLICY;
inline constexpr uint32_t kIoctlClearPolicy = VORN_IOCTL_CLEAR_POLICY;
inline constexpr uint32_t kIoctlQueryDiagnostics = VORN_IOCTL_QUERY_DIAGNOSTICS;
inline constexpr const char* kDriverServiceName = VORN_DRIVER_NAME;

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
