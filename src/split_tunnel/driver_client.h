#pragma once
// The conversation with the split redirect driver: the policy it is given, its diagnostics,
// and making sure its kernel service runs.

#include <array>
#include <optional>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/driver.h"

namespace vorn {

struct SplitError {
    std::string code;
    std::string message;
    std::string rendered() const { return code + ": " + message; }
};

template <class T>
struct SplitResult {
    std::optional<T> value;
    std::optional<SplitError> error;
    bool ok() const { return !error.has_value(); }
};

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

SplitResult<RedirectPolicy> build_redirect_policy(const std::vector<std::string>& applications,
                                                  uint32_t service_process_id, uint16_t proxy_port);
SplitResult<RedirectPolicy> attach_root_processes(RedirectPolicy policy, std::vector<uint32_t> ids);
SplitResult<std::string> encode_redirect_policy(const RedirectPolicy& policy);
SplitResult<DriverDiagnostics> decode_driver_diagnostics(const std::string& bytes);
// Drive letter or UNC prefix, and a root.
bool is_absolute_windows_path(const std::string& path);

SplitResult<std::string> driver_control(DriverDevice& device, uint32_t code, const std::string* input,
                                        uint32_t output_size);
SplitResult<DriverDiagnostics> query_driver_diagnostics(DriverDevice& device);
SplitResult<bool> clear_redirect_policy(DriverDevice& device);
SplitResult<DriverDiagnostics> apply_redirect_policy(DriverPorts ports, const RedirectPolicy& policy);

}  // namespace vorn
