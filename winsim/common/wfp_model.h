#pragma once
// The simulated filtering engine's model, shared by the stand-in fwpuclnt.dll (which keeps the
// engine's objects) and wfp-decide (which asks them about a flow): the layers and condition
// fields modelled, conditions as state\wfp.json renders them, the machine-wide state with its
// lock, and how WFP matches and arbitrates a flow. Only what the product uses is modelled; the
// rest is refused rather than guessed.

#include <winsock2.h>
#include <windows.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include <nlohmann/json.hpp>

namespace winsim::wfp {

using nlohmann::json;

enum class Layer { ConnectV4, ConnectV6, AcceptV4, AcceptV6 };
enum class Field { Flags, AppId, LocalAddress, RemoteAddress, Protocol, LocalPort, RemotePort, InterfaceIndex };
enum class Match { Equal, Range, FlagsAllSet };

std::optional<Layer> layer_of(const GUID& key);
std::optional<Layer> layer_named(const std::string& name);
const GUID& layer_key(Layer layer);
std::string layer_name(Layer layer);
bool is_v6(Layer layer);

std::optional<Field> field_of(const GUID& key);
const GUID& field_key(Field field);
std::string field_name(Field field);

using V6Address = std::array<uint8_t, 16>;   // network byte order
struct V4Mask {                              // host byte order, as FWP_V4_ADDR_AND_MASK
    uint32_t address;
    uint32_t mask;
};
struct V6Prefix {
    V6Address address;
    uint8_t length;
};
struct Range16 {
    uint16_t low;
    uint16_t high;
};
struct AppPath {  // an application id: its device path without the terminating NUL, UTF-8
    std::string text;
};
// FWP_UINT8, FWP_UINT16, FWP_UINT32, FWP_V4_ADDR_MASK, FWP_BYTE_ARRAY16_TYPE, FWP_V6_ADDR_MASK,
// FWP_RANGE_TYPE of two FWP_UINT16, FWP_BYTE_BLOB_TYPE.
using Value = std::variant<uint8_t, uint16_t, uint32_t, V4Mask, V6Address, V6Prefix, Range16, AppPath>;

struct Condition {
    Field field;
    Match match;
    Value value;
};

const char* type_name(const Value& value);
const char* match_name(Match match);  // as FWP_MATCH_TYPE names it
// Why the engine does not model this condition at a layer of the family; empty when it does.
std::string unmodelled(const Condition& condition, bool v6);
json to_json(const Condition& condition);
// A condition read back from the state, or nullopt with `why` saying what is not modelled.
std::optional<Condition> condition_from_json(const json& entry, bool v6, std::string* why);

std::string format_ipv6(const V6Address& address);
std::optional<V6Address> parse_ipv6(const std::string& text);
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case.
std::string key_text(const GUID& key);
std::optional<GUID> parse_key(const std::string& text);

enum class Kind { None, Provider, Sublayer, Filter };
const char* map_name(Kind kind);  // "providers", "sublayers", "filters"
// An object's kind: from its entry, or for a bare key (listed in "objects" with no entry, as
// older leftovers are) from the key's prefix. None when no such object exists.
Kind kind_of(const json& state, const std::string& key);
bool listed(const json& state, const std::string& key);
bool bare(const json& state, const std::string& key);

// state\wfp.json, with every object whose dynamic owner process has ended dropped.
json load_engine();
void save_engine(const json& state);

// The machine-wide lock on state\wfp.json: every read-modify-write holds it, and a transaction
// from its begin to its end. A holder that dies releases it (the mutex is abandoned), so a
// transaction its process never finished leaves nothing and blocks no one.
class StateLock {
public:
    explicit StateLock(DWORD wait_ms = INFINITE);
    ~StateLock();
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;
    bool held() const { return held_; }

private:
    HANDLE mutex_;
    bool held_ = false;
};

// A connection as the ALE layers see it. Addresses of the layer's family are used.
struct Flow {
    Layer layer = Layer::ConnectV4;
    uint32_t flags = 0;
    std::string app;
    uint32_t local_v4 = 0;
    uint32_t remote_v4 = 0;
    V6Address local_v6{};
    V6Address remote_v6{};
    uint8_t protocol = 0;
    uint16_t local_port = 0;   // the ICMP type for ICMP
    uint16_t remote_port = 0;  // the ICMP code for ICMP
    uint32_t interface_index = 0;
};

struct Decision {
    bool permit = true;
    std::string key;    // the deciding filter; empty when none matched
    std::string name;
    std::string error;  // set when the state holds an object the engine does not model
};
Decision decide(const json& state, const Flow& flow);

}  // namespace winsim::wfp
