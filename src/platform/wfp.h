#pragma once
// The Windows Filtering Platform management calls the system needs: open, transactions, add,
// look up and delete by key, the application id of a file, close.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/result.h"

namespace vorn {

struct Guid {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    std::array<uint8_t, 8> data4;

    bool operator==(const Guid&) const = default;
};

// The four ALE layers the firewall filters at: outbound connects and inbound accepts.
enum class WfpLayer : uint8_t { ConnectV4, ConnectV6, AcceptV4, AcceptV6 };

// The condition fields the system uses (FWPM_CONDITION_*). LocalPort also carries the ICMP type.
enum class WfpField : uint8_t { Flags, AppId, LocalAddress, RemoteAddress, Protocol, LocalPort, RemotePort, InterfaceIndex };

enum class WfpMatch : uint8_t { Equal, FlagsAllSet, Range };

// An IPv4 address and mask, both in host byte order (FWP_V4_ADDR_AND_MASK).
struct WfpV4Mask {
    uint32_t address;
    uint32_t mask;
    bool operator==(const WfpV4Mask&) const = default;
};

// An IPv6 address in network byte order and its prefix length (FWP_V6_ADDR_AND_MASK).
struct WfpV6Prefix {
    std::array<uint8_t, 16> address;
    uint8_t prefix_length;
    bool operator==(const WfpV6Prefix&) const = default;
};

// A closed range of 16-bit values (FWP_RANGE0 of two FWP_UINT16).
struct WfpRange16 {
    uint16_t low;
    uint16_t high;
    bool operator==(const WfpRange16&) const = default;
};

// FWP_UINT8, FWP_UINT16, FWP_UINT32, FWP_V4_ADDR_MASK, FWP_V6_ADDR_MASK, FWP_RANGE_TYPE and
// FWP_BYTE_BLOB_TYPE (an application id).
using WfpValue = std::variant<uint8_t, uint16_t, uint32_t, WfpV4Mask, WfpV6Prefix, WfpRange16, std::vector<uint8_t>>;

struct WfpCondition {
    WfpField field;
    WfpMatch match;
    WfpValue value;
    bool operator==(const WfpCondition&) const = default;
};

// One filter of the product's sublayer. Conditions on one field are ORed, different fields ANDed.
struct WfpFilter {
    Guid key;
    std::string name;
    WfpLayer layer;
    uint8_t weight;  // FWP_UINT8: 0 to 15, the highest matching filter of the sublayer decides
    bool permit;     // else block
    std::vector<WfpCondition> conditions;
};

enum class WfpObject : uint8_t { Provider, Sublayer, Filter };

// An open engine handle; closed (FwpmEngineClose0) when dropped, which aborts an open transaction.
class WfpSession {
public:
    virtual ~WfpSession() = default;
    // Each returns the status of the call (0 on success).
    virtual uint32_t delete_filter(const Guid& key) = 0;
    virtual uint32_t delete_sublayer(const Guid& key) = 0;
    virtual uint32_t delete_provider(const Guid& key) = 0;
    virtual uint32_t begin_transaction() = 0;
    virtual uint32_t commit_transaction() = 0;
    virtual uint32_t abort_transaction() = 0;
    virtual uint32_t add_provider(const Guid& key, std::string_view name) = 0;
    virtual uint32_t add_sublayer(const Guid& key, const Guid& provider, std::string_view name, uint16_t weight) = 0;
    virtual uint32_t add_filter(const WfpFilter& filter, const Guid& sublayer, const Guid& provider) = 0;
    // 0 when the object exists; the "not found" status of its kind when it does not.
    virtual uint32_t find(WfpObject kind, const Guid& key) = 0;
};

class Wfp {
public:
    virtual ~Wfp() = default;
    // The session, or the status FwpmEngineOpen0 returned as the failure's error value.
    virtual Result<std::unique_ptr<WfpSession>, SystemFailure> open() = 0;
    // FwpmGetAppIdFromFileName0: the blob the ALE layers compare an application with.
    virtual Result<std::vector<uint8_t>, SystemFailure> app_id(const std::string& path) = 0;
};

}  // namespace vorn
