#include "common/wfp_model.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <set>
#include <type_traits>
#include <vector>

#include "common/sim.h"
#include "platform/win32/wfp_guids.h"

namespace winsim::wfp {

namespace keys = vorn::wfp_keys;

namespace {

struct LayerInfo {
    Layer layer;
    const GUID* key;
    const char* name;
    bool v6;
};
const LayerInfo kLayers[] = {
    {Layer::ConnectV4, &keys::kLayerAleAuthConnectV4, "ALE_AUTH_CONNECT_V4", false},
    {Layer::ConnectV6, &keys::kLayerAleAuthConnectV6, "ALE_AUTH_CONNECT_V6", true},
    {Layer::AcceptV4, &keys::kLayerAleAuthRecvAcceptV4, "ALE_AUTH_RECV_ACCEPT_V4", false},
    {Layer::AcceptV6, &keys::kLayerAleAuthRecvAcceptV6, "ALE_AUTH_RECV_ACCEPT_V6", true},
};

struct FieldInfo {
    Field field;
    const GUID* key;
    const char* name;
};
const FieldInfo kFields[] = {
    {Field::Flags, &keys::kConditionFlags, "FLAGS"},
    {Field::AppId, &keys::kConditionAleAppId, "ALE_APP_ID"},
    {Field::LocalAddress, &keys::kConditionIpLocalAddress, "IP_LOCAL_ADDRESS"},
    {Field::RemoteAddress, &keys::kConditionIpRemoteAddress, "IP_REMOTE_ADDRESS"},
    {Field::Protocol, &keys::kConditionIpProtocol, "IP_PROTOCOL"},
    {Field::LocalPort, &keys::kConditionIpLocalPort, "IP_LOCAL_PORT"},
    {Field::RemotePort, &keys::kConditionIpRemotePort, "IP_REMOTE_PORT"},
    {Field::InterfaceIndex, &keys::kConditionInterfaceIndex, "INTERFACE_INDEX"},
};

const LayerInfo& info(Layer layer) {
    for (const auto& l : kLayers) {
        if (l.layer == layer) return l;
    }
    return kLayers[0];
}

const FieldInfo& info(Field field) {
    for (const auto& f : kFields) {
        if (f.field == field) return f;
    }
    return kFields[0];
}

bool is_address(Field field) { return field == Field::LocalAddress || field == Field::RemoteAddress; }

// Each match as the state names it and as FWP_MATCH_TYPE does.
const struct {
    Match match;
    const char* state;
    const char* windows;
} kMatches[] = {{Match::Equal, "equal", "FWP_MATCH_EQUAL"},
                {Match::Range, "range", "FWP_MATCH_RANGE"},
                {Match::FlagsAllSet, "flagsAllSet", "FWP_MATCH_FLAGS_ALL_SET"}};

const char* state_match(Match match) {
    for (const auto& m : kMatches) {
        if (m.match == match) return m.state;
    }
    return kMatches[0].state;
}

template <class T>
bool holds(const Value& v) {
    return std::holds_alternative<T>(v);
}

std::optional<uint64_t> unsigned_of(const json& v, uint64_t max) {
    if (!v.is_number_unsigned() || v.get<uint64_t>() > max) return std::nullopt;
    return v.get<uint64_t>();
}

std::optional<Value> value_from_json(Field field, bool v6, const json& v) {
    if (is_address(field)) {
        if (!v.is_string()) return std::nullopt;
        std::string text = v.get<std::string>();
        size_t slash = text.find('/');
        std::string address = text.substr(0, slash);
        bool ok = false;
        if (v6) {
            auto a = parse_ipv6(address);
            if (!a) return std::nullopt;
            if (slash == std::string::npos) return *a;
            std::string length = text.substr(slash + 1);
            if (length.empty() || length.size() > 3 || length.find_first_not_of("0123456789") != std::string::npos) {
                return std::nullopt;
            }
            int n = std::stoi(length);
            if (n > 128) return std::nullopt;
            return V6Prefix{*a, static_cast<uint8_t>(n)};
        }
        uint32_t a = parse_ipv4(address, &ok);
        if (!ok) return std::nullopt;
        if (slash == std::string::npos) return a;
        uint32_t mask = parse_ipv4(text.substr(slash + 1), &ok);
        if (!ok) return std::nullopt;
        return V4Mask{a, mask};
    }
    switch (field) {
        case Field::AppId:
            if (!v.is_string()) return std::nullopt;
            return AppPath{v.get<std::string>()};
        case Field::Protocol:
            if (auto n = unsigned_of(v, 0xFF)) return static_cast<uint8_t>(*n);
            return std::nullopt;
        case Field::LocalPort:
        case Field::RemotePort: {
            if (auto n = unsigned_of(v, 0xFFFF)) return static_cast<uint16_t>(*n);
            if (!v.is_object() || v.size() != 2 || !v.contains("low") || !v.contains("high")) return std::nullopt;
            auto low = unsigned_of(v["low"], 0xFFFF);
            auto high = unsigned_of(v["high"], 0xFFFF);
            if (!low || !high) return std::nullopt;
            return Range16{static_cast<uint16_t>(*low), static_cast<uint16_t>(*high)};
        }
        default:
            if (auto n = unsigned_of(v, 0xFFFFFFFF)) return static_cast<uint32_t>(*n);
            return std::nullopt;
    }
}

bool prefix_matches(const V6Address& a, const V6Prefix& p) {
    for (int bit = 0; bit < p.length; ++bit) {
        uint8_t m = static_cast<uint8_t>(0x80 >> (bit % 8));
        if ((a[static_cast<size_t>(bit / 8)] & m) != (p.address[static_cast<size_t>(bit / 8)] & m)) return false;
    }
    return true;
}

bool matches(const Condition& c, const Flow& f) {
    const Value& v = c.value;
    switch (c.field) {
        case Field::Flags: {
            uint32_t want = std::get<uint32_t>(v);
            return (f.flags & want) == want;
        }
        case Field::AppId: return f.app == std::get<AppPath>(v).text;
        case Field::LocalAddress:
        case Field::RemoteAddress: {
            bool local = c.field == Field::LocalAddress;
            uint32_t v4 = local ? f.local_v4 : f.remote_v4;
            const V6Address& v6 = local ? f.local_v6 : f.remote_v6;
            if (const auto* a = std::get_if<uint32_t>(&v)) return v4 == *a;
            if (const auto* m = std::get_if<V4Mask>(&v)) return (v4 & m->mask) == (m->address & m->mask);
            if (const auto* a = std::get_if<V6Address>(&v)) return v6 == *a;
            return prefix_matches(v6, std::get<V6Prefix>(v));
        }
        case Field::Protocol: return f.protocol == std::get<uint8_t>(v);
        case Field::LocalPort:
        case Field::RemotePort: {
            uint16_t port = c.field == Field::LocalPort ? f.local_port : f.remote_port;
            if (const auto* p = std::get_if<uint16_t>(&v)) return port == *p;
            const auto& r = std::get<Range16>(v);
            return port >= r.low && port <= r.high;
        }
        case Field::InterfaceIndex: return f.interface_index == std::get<uint32_t>(v);
    }
    return false;
}

// WFP's rule: conditions on one field are ORed, different fields ANDed.
bool all_match(const std::vector<Condition>& conditions, const Flow& flow) {
    std::map<Field, bool> by_field;
    for (const auto& c : conditions) by_field[c.field] = by_field[c.field] || matches(c, flow);
    return std::all_of(by_field.begin(), by_field.end(), [](const auto& e) { return e.second; });
}

struct Candidate {
    std::string key;
    std::string name;
    unsigned weight = 0;
    bool permit = false;
    bool clear_action_right = false;
};

struct SublayerOrder {
    std::string key;
    unsigned weight;
    size_t listed_at;
};

}  // namespace

std::optional<Layer> layer_of(const GUID& key) {
    for (const auto& l : kLayers) {
        if (IsEqualGUID(*l.key, key)) return l.layer;
    }
    return std::nullopt;
}

std::optional<Layer> layer_named(const std::string& name) {
    for (const auto& l : kLayers) {
        if (name == l.name) return l.layer;
    }
    return std::nullopt;
}

const GUID& layer_key(Layer layer) { return *info(layer).key; }
std::string layer_name(Layer layer) { return info(layer).name; }
bool is_v6(Layer layer) { return info(layer).v6; }

std::optional<Field> field_of(const GUID& key) {
    for (const auto& f : kFields) {
        if (IsEqualGUID(*f.key, key)) return f.field;
    }
    return std::nullopt;
}

const GUID& field_key(Field field) { return *info(field).key; }
std::string field_name(Field field) { return info(field).name; }

const char* type_name(const Value& value) {
    static const char* const names[] = {"FWP_UINT8",        "FWP_UINT16",     "FWP_UINT32",
                                        "FWP_V4_ADDR_MASK", "FWP_BYTE_ARRAY16_TYPE", "FWP_V6_ADDR_MASK",
                                        "FWP_RANGE_TYPE",   "FWP_BYTE_BLOB_TYPE"};
    return names[value.index()];
}

const char* match_name(Match match) {
    for (const auto& m : kMatches) {
        if (m.match == match) return m.windows;
    }
    return kMatches[0].windows;
}

std::string unmodelled(const Condition& c, bool v6) {
    const Value& v = c.value;
    bool ok = false;
    switch (c.field) {
        case Field::Flags: ok = c.match == Match::FlagsAllSet && holds<uint32_t>(v); break;
        case Field::AppId: ok = c.match == Match::Equal && holds<AppPath>(v); break;
        case Field::LocalAddress:
        case Field::RemoteAddress:
            ok = c.match == Match::Equal &&
                 (v6 ? holds<V6Address>(v) || holds<V6Prefix>(v) : holds<uint32_t>(v) || holds<V4Mask>(v));
            break;
        case Field::Protocol: ok = c.match == Match::Equal && holds<uint8_t>(v); break;
        case Field::LocalPort:
        case Field::RemotePort:
            ok = (c.match == Match::Equal && holds<uint16_t>(v)) || (c.match == Match::Range && holds<Range16>(v));
            break;
        case Field::InterfaceIndex: ok = c.match == Match::Equal && holds<uint32_t>(v); break;
    }
    if (ok) return {};
    return std::string(match_name(c.match)) + " with " + type_name(v) + " on " + field_name(c.field) + " at a " +
           (v6 ? "v6" : "v4") + " layer is not modelled";
}

json to_json(const Condition& c) {
    json value;
    std::visit(
        [&](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, uint32_t>) {
                value = is_address(c.field) ? json(format_ipv4(v)) : json(v);
            } else if constexpr (std::is_same_v<T, V4Mask>) {
                value = format_ipv4(v.address) + "/" + format_ipv4(v.mask);
            } else if constexpr (std::is_same_v<T, V6Address>) {
                value = format_ipv6(v);
            } else if constexpr (std::is_same_v<T, V6Prefix>) {
                value = format_ipv6(v.address) + "/" + std::to_string(v.length);
            } else if constexpr (std::is_same_v<T, Range16>) {
                value = {{"low", v.low}, {"high", v.high}};
            } else if constexpr (std::is_same_v<T, AppPath>) {
                value = v.text;
            } else {
                value = v;
            }
        },
        c.value);
    return {{"field", field_name(c.field)}, {"match", state_match(c.match)}, {"value", value}};
}

std::optional<Condition> condition_from_json(const json& entry, bool v6, std::string* why) {
    if (!entry.is_object() || !entry.contains("field") || !entry.contains("match") || !entry.contains("value") ||
        !entry["field"].is_string() || !entry["match"].is_string()) {
        *why = "condition " + entry.dump() + " is not {field, match, value}";
        return std::nullopt;
    }
    std::optional<Field> field;
    for (const auto& f : kFields) {
        if (entry["field"] == f.name) field = f.field;
    }
    std::optional<Match> match;
    for (const auto& m : kMatches) {
        if (entry["match"] == m.state) match = m.match;
    }
    if (!field || !match) {
        *why = "condition " + entry.dump() + " names a field or match that is not modelled";
        return std::nullopt;
    }
    auto value = value_from_json(*field, v6, entry["value"]);
    if (!value) {
        *why = "condition " + entry.dump() + " has a value that is not modelled on that field";
        return std::nullopt;
    }
    Condition c{*field, *match, *value};
    if (std::string reason = unmodelled(c, v6); !reason.empty()) {
        *why = "condition " + entry.dump() + ": " + reason;
        return std::nullopt;
    }
    return c;
}

std::string format_ipv6(const V6Address& a) {
    uint16_t g[8];
    for (size_t i = 0; i < 8; ++i) g[i] = static_cast<uint16_t>(a[2 * i] << 8 | a[2 * i + 1]);
    // RFC 5952: the longest run of two or more zero groups (the first of equals) becomes "::".
    size_t best = 8, best_length = 1;
    for (size_t i = 0; i < 8;) {
        size_t j = i;
        while (j < 8 && g[j] == 0) ++j;
        if (j - i > best_length) best = i, best_length = j - i;
        i = j == i ? i + 1 : j;
    }
    std::string out;
    for (size_t i = 0; i < 8;) {
        if (i == best) {
            out += "::";
            i += best_length;
            continue;
        }
        if (!out.empty() && out.back() != ':') out += ':';
        char group[8];
        std::snprintf(group, sizeof group, "%x", g[i]);
        out += group;
        ++i;
    }
    return out;
}

std::optional<V6Address> parse_ipv6(const std::string& text) {
    auto groups = [](const std::string& part, std::vector<uint16_t>* out) {
        if (part.empty()) return true;
        size_t start = 0;
        while (true) {
            size_t colon = part.find(':', start);
            std::string piece = part.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
            if (piece.empty() || piece.size() > 4 ||
                piece.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
                return false;
            }
            out->push_back(static_cast<uint16_t>(std::stoul(piece, nullptr, 16)));
            if (colon == std::string::npos) return true;
            start = colon + 1;
        }
    };
    std::vector<uint16_t> head, tail;
    size_t gap = text.find("::");
    if (gap == std::string::npos) {
        if (!groups(text, &head) || head.size() != 8) return std::nullopt;
    } else {
        if (text.find("::", gap + 1) != std::string::npos) return std::nullopt;
        if (!groups(text.substr(0, gap), &head) || !groups(text.substr(gap + 2), &tail)) return std::nullopt;
        if (head.size() + tail.size() > 7) return std::nullopt;
        head.resize(8 - tail.size(), 0);
        head.insert(head.end(), tail.begin(), tail.end());
    }
    V6Address a{};
    for (size_t i = 0; i < 8; ++i) {
        a[2 * i] = static_cast<uint8_t>(head[i] >> 8);
        a[2 * i + 1] = static_cast<uint8_t>(head[i] & 0xFF);
    }
    return a;
}

std::string key_text(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2],
                  g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

std::optional<GUID> parse_key(const std::string& text) {
    if (text.size() != 38 || text.front() != '{' || text.back() != '}') return std::nullopt;
    for (size_t i = 1; i < 37; ++i) {
        bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
    }
    GUID g{};
    g.Data1 = static_cast<unsigned long>(std::stoul(text.substr(1, 8), nullptr, 16));
    g.Data2 = static_cast<unsigned short>(std::stoul(text.substr(10, 4), nullptr, 16));
    g.Data3 = static_cast<unsigned short>(std::stoul(text.substr(15, 4), nullptr, 16));
    std::string tail = text.substr(20, 4) + text.substr(25, 12);
    for (size_t i = 0; i < 8; ++i) g.Data4[i] = static_cast<unsigned char>(std::stoul(tail.substr(2 * i, 2), nullptr, 16));
    return g;
}

const char* map_name(Kind kind) {
    switch (kind) {
        case Kind::Provider: return "providers";
        case Kind::Sublayer: return "sublayers";
        case Kind::Filter: return "filters";
        case Kind::None: break;
    }
    return "";
}

bool listed(const json& state, const std::string& key) {
    if (!state.contains("objects") || !state["objects"].is_array()) return false;
    const json& objects = state["objects"];
    return std::find(objects.begin(), objects.end(), json(key)) != objects.end();
}

Kind kind_of(const json& state, const std::string& key) {
    for (Kind kind : {Kind::Provider, Kind::Sublayer, Kind::Filter}) {
        const char* map = map_name(kind);
        if (state.contains(map) && state[map].is_object() && state[map].contains(key)) return kind;
    }
    if (!listed(state, key)) return Kind::None;
    // The family prefixes the product's keys share.
    if (key.rfind("{56A51FF0", 0) == 0) return Kind::Provider;
    if (key.rfind("{56A51FF1", 0) == 0) return Kind::Sublayer;
    if (key.rfind("{56A51FF2", 0) == 0 || key.rfind("{56A51FF3", 0) == 0) return Kind::Filter;
    return Kind::None;
}

bool bare(const json& state, const std::string& key) {
    if (!listed(state, key)) return false;
    for (Kind kind : {Kind::Provider, Kind::Sublayer, Kind::Filter}) {
        const char* map = map_name(kind);
        if (state.contains(map) && state[map].is_object() && state[map].contains(key)) return false;
    }
    return true;
}

json load_engine() {
    json state = load_state("wfp.json", json::object());
    if (!state.is_object()) state = json::object();
    std::map<uint32_t, uint64_t> started;  // each owner's start time; 0 when it has ended
    std::set<std::string> gone;
    for (Kind kind : {Kind::Provider, Kind::Sublayer, Kind::Filter}) {
        const char* map = map_name(kind);
        if (!state.contains(map) || !state[map].is_object()) continue;
        for (auto it = state[map].begin(); it != state[map].end(); ++it) {
            if (!it->is_object() || !it->contains("dynamicPid") || !(*it)["dynamicPid"].is_number_unsigned()) continue;
            uint32_t pid = (*it)["dynamicPid"].get<uint32_t>();
            if (!started.count(pid)) started[pid] = process_start_time(pid);
            auto recorded = it->find("dynamicStart");
            uint64_t start = recorded != it->end() && recorded->is_number_unsigned() ? recorded->get<uint64_t>() : 0;
            if (started[pid] == 0 || (start != 0 && started[pid] != start)) gone.insert(it.key());
        }
    }
    if (gone.empty()) return state;
    for (Kind kind : {Kind::Provider, Kind::Sublayer, Kind::Filter}) {
        const char* map = map_name(kind);
        if (!state.contains(map) || !state[map].is_object()) continue;
        for (const auto& key : gone) state[map].erase(key);
    }
    if (state.contains("objects") && state["objects"].is_array()) {
        json kept = json::array();
        for (const auto& key : state["objects"]) {
            if (!key.is_string() || !gone.count(key.get<std::string>())) kept.push_back(key);
        }
        state["objects"] = kept;
    }
    return state;
}

void save_engine(const json& state) { save_state("wfp.json", state); }

StateLock::StateLock(DWORD wait_ms) : mutex_(CreateMutexW(nullptr, FALSE, L"Local\\winsim-wfp")) {
    if (mutex_ == nullptr) return;
    DWORD waited = WaitForSingleObject(mutex_, wait_ms);
    held_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
}

StateLock::~StateLock() {
    if (held_) ReleaseMutex(mutex_);
    if (mutex_ != nullptr) CloseHandle(mutex_);
}

Decision decide(const json& state, const Flow& flow) {
    Decision d;
    try {
        json sublayers = state.value("sublayers", json::object());
        json filters = state.value("filters", json::object());
        json objects = state.value("objects", json::array());
        std::map<std::string, size_t> listed_at;
        for (size_t i = 0; i < objects.size(); ++i) listed_at.emplace(objects[i].get<std::string>(), i);

        std::vector<SublayerOrder> order;
        for (auto it = sublayers.begin(); it != sublayers.end(); ++it) {
            json weight = it->value("weight", json());
            if (!weight.is_number_unsigned() || weight.get<uint64_t>() > 0xFFFF || !listed_at.count(it.key())) {
                d.error = "sublayer " + it.key() + " has no weight of 0 to 65535 or is not listed in objects";
                return d;
            }
            order.push_back({it.key(), weight.get<unsigned>(), listed_at[it.key()]});
        }

        // Within a sublayer the highest-weight matching filter decides; of equal weights the
        // first added.
        std::map<std::string, Candidate> decider;
        std::vector<std::pair<size_t, std::string>> filter_order;
        for (auto it = filters.begin(); it != filters.end(); ++it) {
            if (!listed_at.count(it.key())) {
                d.error = "filter " + it.key() + " is not listed in objects";
                return d;
            }
            filter_order.emplace_back(listed_at[it.key()], it.key());
        }
        std::sort(filter_order.begin(), filter_order.end());
        for (const auto& [at, key] : filter_order) {
            const json& f = filters[key];
            std::string where = "filter " + key + " (" + f.value("name", "") + "): ";
            auto layer = layer_named(f.value("layer", ""));
            if (!layer) {
                d.error = where + "layer " + f.value("layer", "") + " is not modelled";
                return d;
            }
            std::string sublayer = f.value("sublayer", "");
            if (!sublayers.contains(sublayer)) {
                d.error = where + "sublayer " + sublayer + " has no settings (missing or bare)";
                return d;
            }
            std::string action = f.value("action", "");
            json weight = f.value("weight", json());
            if ((action != "permit" && action != "block") || !weight.is_number_unsigned() || weight.get<uint64_t>() > 15) {
                d.error = where + "action or weight is not modelled";
                return d;
            }
            std::vector<Condition> conditions;
            for (const auto& entry : f.value("conditions", json::array())) {
                std::string why;
                auto c = condition_from_json(entry, is_v6(*layer), &why);
                if (!c) {
                    d.error = where + why;
                    return d;
                }
                conditions.push_back(*c);
            }
            if (*layer != flow.layer || !all_match(conditions, flow)) continue;
            Candidate c{key, f.value("name", ""), weight.get<unsigned>(), action == "permit",
                        f.value("clearActionRight", false)};
            auto found = decider.find(sublayer);
            if (found == decider.end() || c.weight > found->second.weight) decider[sublayer] = c;
        }

        // Sublayers from the highest weight. A block beats a permit, unless a permit whose
        // action right is cleared decided in a higher sublayer.
        std::stable_sort(order.begin(), order.end(), [](const SublayerOrder& a, const SublayerOrder& b) {
            return a.weight != b.weight ? a.weight > b.weight : a.listed_at < b.listed_at;
        });
        const Candidate* permit = nullptr;
        for (const auto& s : order) {
            auto found = decider.find(s.key);
            if (found == decider.end()) continue;
            const Candidate& c = found->second;
            if (c.permit) {
                if (permit == nullptr || (c.clear_action_right && !permit->clear_action_right)) permit = &c;
                continue;
            }
            if (permit != nullptr && permit->clear_action_right) break;
            d.permit = false;
            d.key = c.key;
            d.name = c.name;
            return d;
        }
        if (permit != nullptr) {
            d.key = permit->key;
            d.name = permit->name;
        }
    } catch (const json::exception& e) {
        d.error = std::string("the state is not what the engine writes: ") + e.what();
    }
    return d;
}

}  // namespace winsim::wfp
