#include "split_tunnel/driver_client.h"

#include <algorithm>
#include <cctype>
#include <tuple>

#include "common/text.h"
#include "platform/poll.h"

namespace vorn {

namespace {

constexpr PollSchedule kServiceWait{30, 100};
constexpr size_t kPathCapacityUnits = VORN_PATH_UNITS;  // the entry's path field, terminator included
constexpr size_t kPathFieldBytes = kPathCapacityUnits * 2;

bool is_separator(char c) { return c == '\\' || c == '/'; }

// A Windows path as path comparison sees it: the prefix ("C:" or "\\server\share"), whether it
// has a root, then its names ("." and empty names dropped).
struct PathParts {
    std::string prefix;
    bool rooted = false;
    std::vector<std::string> names;

    auto key() const { return std::tie(prefix, rooted, names); }
};

PathParts path_parts(const std::string& path) {
    PathParts parts;
    size_t i = 0;
    if (path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':') {
        parts.prefix = path.substr(0, 2);
        i = 2;
    } else if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
        size_t server_end = path.find_first_of("\\/", 2);
        size_t share_end = server_end == std::string::npos ? std::string::npos : path.find_first_of("\\/", server_end + 1);
        parts.prefix = path.substr(0, share_end);
        parts.rooted = true;
        i = share_end == std::string::npos ? path.size() : share_end;
    }
    if (i < path.size() && is_separator(path[i])) parts.rooted = true;
    std::string name;
    for (; i <= path.size(); ++i) {
        if (i == path.size() || is_separator(path[i])) {
            if (!name.empty() && name != ".") parts.names.push_back(name);
            name.clear();
        } else {
            name += path[i];
        }
    }
    return parts;
}

bool has_file_name(const std::string& path) {
    PathParts parts = path_parts(path);
    return !parts.names.empty() && parts.names.back() != "..";
}

void put_u32(std::string& out, size_t offset, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[offset + static_cast<size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

void put_u16(std::string& out, size_t offset, uint16_t v) {
    out[offset] = static_cast<char>(v & 0xFF);
    out[offset + 1] = static_cast<char>(v >> 8);
}

uint32_t get_u32(const std::string& in, size_t offset) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(in[offset + static_cast<size_t>(i)]);
    return v;
}

}  // namespace

bool is_absolute_windows_path(const std::string& path) {
    if (path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' && is_separator(path[2])) {
        return true;
    }
    return path.size() >= 3 && is_separator(path[0]) && is_separator(path[1]) && !is_separator(path[2]);
}

Result<RedirectPolicy> build_redirect_policy(const std::vector<std::string>& applications,
                                             uint32_t service_process_id, uint16_t proxy_port) {
    if (proxy_port == 0) {
        return coded("SPLIT_REDIRECT_INVALID_PORT", "the transparent TCP proxy port must be non-zero");
    }
    // An ordered set: path order, component by component; equal paths kept once.
    std::vector<std::pair<PathParts, std::string>> ordered;
    for (const std::string& app : applications) {
        if (app.empty() || !has_file_name(app)) {
            return coded("SPLIT_REDIRECT_INVALID_APP", "redirected application path must name an executable");
        }
        PathParts parts = path_parts(app);
        auto at = std::lower_bound(ordered.begin(), ordered.end(), parts,
                                   [](const auto& entry, const PathParts& p) { return entry.first.key() < p.key(); });
        if (at == ordered.end() || at->first.key() != parts.key()) ordered.insert(at, {std::move(parts), app});
    }
    if (ordered.empty()) {
        return coded("SPLIT_REDIRECT_EMPTY_POLICY", "split redirect policy has no applications");
    }
    if (ordered.size() > kMaxRedirectApps) {
        return coded("SPLIT_REDIRECT_TOO_MANY_RULES",
                     "split redirect policy exceeds " + std::to_string(kMaxRedirectApps) + " applications");
    }
    RedirectPolicy policy;
    for (auto& [key, app] : ordered) policy.applications.push_back(app);
    policy.service_process_id = service_process_id;
    policy.proxy_port = proxy_port;
    return policy;
}

Result<RedirectPolicy> attach_root_processes(RedirectPolicy policy, std::vector<uint32_t> ids) {
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    if (ids.size() > kMaxRootProcesses) {
        return coded("SPLIT_REDIRECT_TOO_MANY_ROOT_PIDS",
                     "split redirect policy exceeds " + std::to_string(kMaxRootProcesses) + " running roots");
    }
    policy.root_process_ids = std::move(ids);
    return policy;
}

Result<std::string> encode_redirect_policy(const RedirectPolicy& policy) {
    std::string record(kPolicyHeaderSize + kPolicyEntrySize * policy.applications.size(), '\0');
    put_u32(record, 0, kDriverProtocolVersion);
    put_u32(record, 4, policy.service_process_id);
    put_u16(record, 8, policy.proxy_port);
    put_u16(record, 10, policy.reserved);
    put_u32(record, 12, static_cast<uint32_t>(policy.applications.size()));
    put_u32(record, 16, static_cast<uint32_t>(policy.root_process_ids.size()));
    for (size_t i = 0; i < policy.root_process_ids.size() && i < kMaxRootProcesses; ++i) {
        put_u32(record, 20 + 4 * i, policy.root_process_ids[i]);
    }
    for (size_t i = 0; i < policy.applications.size(); ++i) {
        std::u16string units = utf8_to_utf16(policy.applications[i]);
        if (units.size() >= kPathCapacityUnits) {
            return coded("SPLIT_REDIRECT_PATH_TOO_LONG", "redirected application path exceeds driver capacity");
        }
        size_t entry = kPolicyHeaderSize + kPolicyEntrySize * i;
        put_u32(record, entry, static_cast<uint32_t>(i));
        put_u32(record, entry + 4, 1);
        for (size_t u = 0; u < units.size(); ++u) put_u16(record, entry + 8 + 2 * u, units[u]);
    }
    static_assert(kPolicyHeaderSize + kPolicyEntrySize * kMaxRedirectApps == 83732);
    static_assert(8 + kPathFieldBytes + 256 == kPolicyEntrySize);
    return record;
}

Result<DriverDiagnostics> decode_driver_diagnostics(const std::string& bytes) {
    if (bytes.size() < kDiagnosticsSize) {
        return coded("SPLIT_DRIVER_STATS_TRUNCATED", "driver returned a truncated diagnostic record");
    }
    uint32_t version = get_u32(bytes, 0);
    if (version != kDriverProtocolVersion) {
        return coded("SPLIT_DRIVER_PROTOCOL_MISMATCH",
                     "driver protocol version " + std::to_string(version) + " is unsupported");
    }
    DriverDiagnostics diagnostics;
    diagnostics.tracked_processes = get_u32(bytes, 4);
    for (size_t i = 0; i < 12; ++i) diagnostics.further[i] = static_cast<uint8_t>(bytes[8 + i]);
    return diagnostics;
}

Result<std::string> driver_control(DriverDevice& device, uint32_t code, const std::string* input,
                                   uint32_t output_size) {
    DriverReply reply = device.control(code, input, output_size);
    if (!reply.opened) {
        return coded("SPLIT_DRIVER_UNAVAILABLE", "Vorn split redirect driver is not installed or not running");
    }
    if (!reply.ok) {
        return coded("SPLIT_DRIVER_IO_FAILED", "Vorn split redirect driver rejected the requested operation");
    }
    if (reply.reported > output_size) {
        return coded("SPLIT_DRIVER_IO_FAILED", "Vorn split redirect driver returned an oversized response");
    }
    return reply.output.substr(0, reply.reported);
}

Result<DriverDiagnostics> query_driver_diagnostics(DriverDevice& device) {
    auto reply = driver_control(device, kIoctlQueryDiagnostics, nullptr, kDiagnosticsSize);
    if (!reply.ok()) return reply.failure();
    return decode_driver_diagnostics(*reply);
}

Status clear_redirect_policy(DriverDevice& device) {
    auto reply = driver_control(device, kIoctlClearPolicy, nullptr, 0);
    if (!reply.ok()) return reply.failure();
    return {};
}

namespace {

Failure start_failure(std::string message) { return coded("SPLIT_DRIVER_START_FAILED", std::move(message)); }

Failure start_failure(const char* text, const SystemFailure& failure) {
    return start_failure(std::string(text) + " (" + std::to_string(failure.error_value) + ")");
}

// Makes sure the driver's kernel service runs: started when stopped, then up to 30 polls.
Status ensure_driver_running(DriverPorts ports) {
    if (auto opened = ports.service.open(kDriverServiceName); !opened) {
        return start_failure(opened.failure().at_manager ? "could not open the Windows service manager"
                                                         : "could not open the Vorn split driver service",
                             opened.failure());
    }
    struct Closer {
        DriverServiceControl& service;
        ~Closer() { service.close(); }
    } closer{ports.service};
    auto state = ports.service.query();
    if (!state) return start_failure("could not query the Vorn split driver", state.failure());
    if (*state == DriverServiceState::Stopped) {
        if (auto started = ports.service.start(); !started) {
            return start_failure("could not start the Vorn split driver", started.failure());
        }
    }
    auto ended = poll_until(ports.clock, kServiceWait, [&]() -> std::optional<Status> {
        state = ports.service.query();
        if (!state) return start_failure("could not query the Vorn split driver", state.failure());
        if (*state == DriverServiceState::Running) return Status{};
        if (*state == DriverServiceState::Stopped) return start_failure("Vorn split redirect driver stopped during startup");
        return std::nullopt;
    });
    return ended.value_or(start_failure("Vorn split redirect driver did not enter the running state"));
}

}  // namespace

Result<DriverDiagnostics> apply_redirect_policy(DriverPorts ports, const RedirectPolicy& policy) {
    if (policy.service_process_id == 0 || policy.proxy_port == 0) {
        return coded("SPLIT_DRIVER_POLICY_REJECTED",
                     "redirect policy requires a service PID and a loopback TCP listener port");
    }
    for (const std::string& app : policy.applications) {
        if (!is_absolute_windows_path(app)) {
            return coded("SPLIT_DRIVER_POLICY_REJECTED", "redirect policy contains a non-absolute application path");
        }
    }
    if (auto running = ensure_driver_running(ports); !running) return running.failure();
    auto record = encode_redirect_policy(policy);
    if (!record.ok()) return record.failure();
    auto sent = driver_control(ports.device, kIoctlSetPolicy, &*record, 0);
    if (!sent.ok()) return sent.failure();
    return query_driver_diagnostics(ports.device);
}

}  // namespace vorn
