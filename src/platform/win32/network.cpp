#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "platform/win32/handle.h"
#include "platform/win32/win32_platform.h"

namespace vorn::win32 {

// Two sources mark the routes as changed: the IP helper's route notifications (a route added,
// removed or changed) and the registry key under which Windows keeps each interface's gateways
// (written when DHCP or an administrator gives an interface a new one).
struct Win32Network::RouteNotifications {
    std::atomic<bool> changed{true};
    HANDLE notification = nullptr;
    HKEY interfaces = nullptr;
    UniqueHandle event{CreateEventW(nullptr, FALSE, FALSE, nullptr)};

    RouteNotifications() = default;
    RouteNotifications(const RouteNotifications&) = delete;
    RouteNotifications& operator=(const RouteNotifications&) = delete;
    ~RouteNotifications() {
        if (notification != nullptr) CancelMibChangeNotify2(notification);  // waits for a running callback
        if (interfaces != nullptr) RegCloseKey(interfaces);
    }
    bool arm_registry() {
        DWORD filter = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;
#ifdef REG_NOTIFY_THREAD_AGNOSTIC
        filter |= REG_NOTIFY_THREAD_AGNOSTIC;
#endif
        return RegNotifyChangeKeyValue(interfaces, TRUE, filter, event.get(), TRUE) == ERROR_SUCCESS;
    }
};

namespace {

constexpr const wchar_t* kInterfacesKey = L"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces";

void CALLBACK route_changed(PVOID context, PMIB_IPFORWARD_ROW2, MIB_NOTIFICATION_TYPE) {
    static_cast<std::atomic<bool>*>(context)->store(true);
}

}  // namespace

Win32Network::Win32Network() {
    WSADATA data;
    started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

Win32Network::~Win32Network() {
    routes_.reset();
    if (started_) WSACleanup();
}

bool Win32Network::routes_may_have_changed() {
    if (!routes_) {
        routes_ = std::make_unique<RouteNotifications>();
        NotifyRouteChange2(AF_INET, route_changed, &routes_->changed, FALSE, &routes_->notification);
    }
    RouteNotifications& r = *routes_;
    bool changed = r.changed.exchange(false);
    if (r.interfaces == nullptr) {
        // Opened as soon as it exists; until then only the route notifications count.
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kInterfacesKey, 0, KEY_NOTIFY, &r.interfaces) == ERROR_SUCCESS) {
            changed = true;
            if (!r.arm_registry()) {
                RegCloseKey(r.interfaces);
                r.interfaces = nullptr;
            }
        }
    } else if (WaitForSingleObject(r.event.get(), 0) == WAIT_OBJECT_0) {
        changed = true;
        (void)r.arm_registry();
    }
    return changed;
}

bool Win32Network::tcp_connect(const std::string& host, uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) return false;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return false;
    bool ok = connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    closesocket(s);
    return ok;
}

std::optional<std::string> Win32Network::resolve_ipv4(const std::string& host) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* answer = nullptr;
    if (getaddrinfo(host.c_str(), "0", &hints, &answer) != 0) return std::nullopt;
    std::optional<std::string> first;
    for (addrinfo* a = answer; a != nullptr && !first; a = a->ai_next) {
        if (a->ai_family != AF_INET) continue;
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr, text, sizeof text);
        first = text;
    }
    freeaddrinfo(answer);
    return first;
}

namespace {

// One of the system's TCP listener tables with owner process ids (MIB_TCPTABLE_OWNER_PID for
// AF_INET, MIB_TCP6TABLE_OWNER_PID for AF_INET6).
Result<std::vector<char>> listener_table(ULONG family, size_t row_size) {
    std::vector<char> table;
    DWORD size = 0;
    DWORD status = ERROR_INSUFFICIENT_BUFFER;
    // The table can grow between the size query and the read: ask again with the new size.
    for (int attempt = 0; attempt < 4 && status == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
        table.resize(size + 16 * row_size);
        size = static_cast<DWORD>(table.size());
        status = GetExtendedTcpTable(table.data(), &size, FALSE, family, TCP_TABLE_OWNER_PID_LISTENER, 0);
    }
    if (status != NO_ERROR) {
        return fail(std::string("GetExtendedTcpTable (") + (family == AF_INET ? "IPv4" : "IPv6") +
                    ") failed: " + windows_error_text(status));
    }
    return table;
}

bool loopback_or_any(uint32_t ipv4) { return ipv4 == INADDR_ANY || ipv4 == INADDR_LOOPBACK; }

// In IPv6: the any address (a dual-stack listener unless the socket is IPv6-only, which the table
// does not say), ::1, or an IPv4-mapped address of either of the IPv4 ones.
bool loopback_or_any(const UCHAR (&bytes)[16]) {
    in6_addr address;
    std::memcpy(&address, bytes, sizeof address);
    if (IN6_IS_ADDR_V4MAPPED(&address)) {
        uint32_t ipv4 = 0;
        std::memcpy(&ipv4, bytes + 12, sizeof ipv4);
        return loopback_or_any(ntohl(ipv4));
    }
    return IN6_IS_ADDR_UNSPECIFIED(&address) || IN6_IS_ADDR_LOOPBACK(&address);
}

}  // namespace

Result<std::vector<uint32_t>> Win32Network::tcp_listener_pids(uint16_t port) {
    auto ipv4 = listener_table(AF_INET, sizeof(MIB_TCPROW_OWNER_PID));
    if (!ipv4) return ipv4.failure();
    auto ipv6 = listener_table(AF_INET6, sizeof(MIB_TCP6ROW_OWNER_PID));
    if (!ipv6) return ipv6.failure();
    std::vector<uint32_t> pids;
    const auto* rows = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(ipv4->data());
    for (DWORD i = 0; i < rows->dwNumEntries; ++i) {
        const MIB_TCPROW_OWNER_PID& row = rows->table[i];
        if (ntohs(static_cast<u_short>(row.dwLocalPort)) == port && loopback_or_any(ntohl(row.dwLocalAddr))) {
            pids.push_back(row.dwOwningPid);
        }
    }
    const auto* rows6 = reinterpret_cast<const MIB_TCP6TABLE_OWNER_PID*>(ipv6->data());
    for (DWORD i = 0; i < rows6->dwNumEntries; ++i) {
        const MIB_TCP6ROW_OWNER_PID& row = rows6->table[i];
        if (ntohs(static_cast<u_short>(row.dwLocalPort)) == port && loopback_or_any(row.ucLocalAddr)) {
            pids.push_back(row.dwOwningPid);
        }
    }
    return pids;
}

}  // namespace vorn::win32
