// Stand-in fwpuclnt.dll, loaded from the executable's folder in place of the system's (Wine's
// own engine open always fails): a small filtering engine. Its providers, sublayers and filters
// are the machine's state\wfp.json, shared by every process under a named mutex; wfp-decide
// answers from them whether a flow is permitted. Every call is noted in state\wfp.log, a
// refusal with its reason. "openStatus" in wfp.json makes the open fail with that status; the
// fault switch "wfpFilterAddStatus" makes every filter add answer that status.
//
// Sessions are handles of their own; a transaction works on a copy of the state and holds the
// mutex until it commits or ends (as WFP serialises transactions); a dynamic session's objects
// go when its handle closes or its process ends. Only the layers, fields, value types and flags
// the product uses are modelled; anything else is refused with the status Windows gives for an
// unknown layer or field, or ERROR_NOT_SUPPORTED.

#include <winsock2.h>
#include <windows.h>
#include <fwpmu.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/app_id.h"
#include "common/sim.h"
#include "common/wfp_model.h"

using namespace winsim;
using namespace winsim::wfp;

namespace {

constexpr DWORD status_of(HRESULT h) { return static_cast<DWORD>(h); }
constexpr DWORD kConditionNotFound = status_of(FWP_E_CONDITION_NOT_FOUND);
constexpr DWORD kFilterNotFound = status_of(FWP_E_FILTER_NOT_FOUND);
constexpr DWORD kLayerNotFound = status_of(FWP_E_LAYER_NOT_FOUND);
constexpr DWORD kProviderNotFound = status_of(FWP_E_PROVIDER_NOT_FOUND);
constexpr DWORD kSublayerNotFound = status_of(FWP_E_SUBLAYER_NOT_FOUND);
constexpr DWORD kAlreadyExists = status_of(FWP_E_ALREADY_EXISTS);
constexpr DWORD kInUse = status_of(FWP_E_IN_USE);
constexpr DWORD kNoTransaction = status_of(FWP_E_NO_TXN_IN_PROGRESS);
constexpr DWORD kTransactionInProgress = status_of(FWP_E_TXN_IN_PROGRESS);
constexpr DWORD kTimeout = status_of(FWP_E_TIMEOUT);
constexpr DWORD kLifetimeMismatch = status_of(FWP_E_LIFETIME_MISMATCH);
constexpr DWORD kInvalidNetMask = status_of(FWP_E_INVALID_NET_MASK);
constexpr DWORD kInvalidRange = status_of(FWP_E_INVALID_RANGE);
constexpr DWORD kNullDisplayName = status_of(FWP_E_NULL_DISPLAY_NAME);
constexpr DWORD kInvalidWeight = status_of(FWP_E_INVALID_WEIGHT);

// Flags mingw-w64's headers do not define.
constexpr UINT32 kSessionDynamic = 0x1;          // FWPM_SESSION_FLAG_DYNAMIC
constexpr UINT32 kFilterClearActionRight = 0x8;  // FWPM_FILTER_FLAG_CLEAR_ACTION_RIGHT

const GUID kNoKey{};

std::string hex(DWORD value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
    return text;
}

void note(const std::string& line) { append_state_line("wfp.log", line); }

// Notes a call's outcome ("what status", and why when it was refused) and returns the status.
DWORD answer(const std::string& what, DWORD status, const std::string& why = {}) {
    note(what + " " + hex(status) + (why.empty() ? "" : ": " + why));
    return status;
}

std::string key_of(const GUID* key) { return key == nullptr ? "null" : key_text(*key); }

struct Session {
    bool dynamic = false;
    DWORD wait_ms = INFINITE;
    json owner;                        // what a dynamic session's objects record: pid and start
    json owner_start;
    std::unique_ptr<StateLock> lock;   // held while a transaction is open
    std::optional<json> transaction;   // the state as the open transaction changed it
    std::set<std::string> owned;       // keys this dynamic session added
    std::set<std::string> pending;     // ... in its open transaction
};

SRWLOCK sessions_lock = SRWLOCK_INIT;
std::map<HANDLE, std::unique_ptr<Session>>& sessions() {
    static std::map<HANDLE, std::unique_ptr<Session>> all;
    return all;
}

Session* session(HANDLE engine) {
    AcquireSRWLockShared(&sessions_lock);
    auto found = sessions().find(engine);
    Session* s = found == sessions().end() ? nullptr : found->second.get();
    ReleaseSRWLockShared(&sessions_lock);
    return s;
}

// Applies `change` to the open transaction's copy, or at once to the machine state under the
// lock. A refused change leaves the state as it was.
DWORD apply(Session& s, const std::function<DWORD(json&)>& change) {
    if (s.transaction) {
        json copy = *s.transaction;
        DWORD status = change(copy);
        if (status == 0) s.transaction = std::move(copy);
        return status;
    }
    StateLock lock(s.wait_ms);
    if (!lock.held()) return kTimeout;
    json state = load_engine();
    DWORD status = change(state);
    if (status == 0) save_engine(state);
    return status;
}

json view(const Session& s) { return s.transaction ? *s.transaction : load_engine(); }

DWORD not_found(Kind kind) {
    return kind == Kind::Provider ? kProviderNotFound : kind == Kind::Sublayer ? kSublayerNotFound : kFilterNotFound;
}

// Adds an object that names `refs` (its provider, its sublayer), as this session's. A filter
// gets the next filter id.
DWORD add_object(Session& s, Kind kind, const std::string& key, json entry,
                 const std::vector<std::pair<Kind, std::string>>& refs, std::string* why, UINT64* id = nullptr) {
    entry["dynamicPid"] = s.dynamic ? s.owner : json();
    entry["dynamicStart"] = s.dynamic ? s.owner_start : json();
    DWORD status = apply(s, [&](json& state) -> DWORD {
        // Keys are unique across kinds here: "objects" lists them all.
        if (listed(state, key) || kind_of(state, key) != Kind::None) {
            *why = "the key exists";
            return kAlreadyExists;
        }
        for (const auto& [ref_kind, ref] : refs) {
            std::string what = ref_kind == Kind::Provider ? "provider " : "sublayer ";
            if (kind_of(state, ref) != ref_kind) {
                *why = what + ref + " does not exist";
                return not_found(ref_kind);
            }
            if (bare(state, ref)) {
                if (ref_kind == Kind::Provider) continue;
                *why = what + ref + " is a leftover with no settings";
                return ERROR_NOT_SUPPORTED;
            }
            const json& target = state[map_name(ref_kind)][ref];
            json target_owner = target.value("dynamicPid", json());
            if (!target_owner.is_null() &&
                (target_owner != entry["dynamicPid"] || target.value("dynamicStart", json()) != entry["dynamicStart"])) {
                *why = what + ref + " belongs to a dynamic session that ends sooner";
                return kLifetimeMismatch;
            }
        }
        if (kind == Kind::Filter) {
            uint64_t next = 1;
            for (const auto& f : state.value("filters", json::object())) {
                next = std::max(next, f.value("id", uint64_t{0}) + 1);
            }
            entry["id"] = next;
            if (id != nullptr) *id = next;
        }
        state[map_name(kind)][key] = entry;
        state["objects"].push_back(key);
        return 0;
    });
    if (status == 0 && s.dynamic) (s.transaction ? s.pending : s.owned).insert(key);
    return status;
}

// What keeps an object from going: a filter in its sublayer, a sublayer or filter of its
// provider. A bare leftover's links are unknown, so (as the stand-in always did) a bare filter of
// the family holds any sublayer and a bare sublayer of the family any provider.
std::string holder_of(const json& state, Kind kind, const std::string& key) {
    if (kind == Kind::Filter) return {};
    Kind bare_holder = kind == Kind::Sublayer ? Kind::Filter : Kind::Sublayer;
    for (const auto& o : state.value("objects", json::array())) {
        std::string k = o.get<std::string>();
        if (bare(state, k) && kind_of(state, k) == bare_holder) return k;
    }
    const char* link = kind == Kind::Sublayer ? "sublayer" : "provider";
    for (Kind holder : {Kind::Sublayer, Kind::Filter}) {
        if (kind == Kind::Sublayer && holder == Kind::Sublayer) continue;
        json entries = state.value(map_name(holder), json::object());
        for (auto it = entries.begin(); it != entries.end(); ++it) {
            if (it->value(link, json()) == key) return it.key();
        }
    }
    return {};
}

void erase_object(json& state, const std::string& key) {
    for (Kind kind : {Kind::Provider, Kind::Sublayer, Kind::Filter}) {
        if (state.contains(map_name(kind))) state[map_name(kind)].erase(key);
    }
    json kept = json::array();
    for (const auto& o : state.value("objects", json::array())) {
        if (o != key) kept.push_back(o);
    }
    state["objects"] = kept;
}

DWORD delete_object(HANDLE engine, const char* what, Kind kind, const GUID* key) {
    std::string text = key_of(key);
    std::string op = std::string(what) + " " + text;
    Session* s = session(engine);
    if (s == nullptr) return answer(op, ERROR_INVALID_HANDLE, "unknown handle");
    std::string why;
    DWORD status = apply(*s, [&](json& state) -> DWORD {
        if (kind_of(state, text) != kind) return not_found(kind);
        if (std::string holder = holder_of(state, kind, text); !holder.empty()) {
            why = "held by " + holder;
            return kInUse;
        }
        erase_object(state, text);
        return 0;
    });
    if (status == 0) {
        s->owned.erase(text);
        s->pending.erase(text);
    }
    return answer(op, status, why);
}

// One allocation holding a returned structure and everything it points at, so that
// FwpmFreeMemory0 frees it whole. `size` is an upper bound worked out by the caller.
class Block {
public:
    explicit Block(size_t size)
        : base_(static_cast<char*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size))), size_(size) {}
    bool ok() const { return base_ != nullptr; }
    template <class T>
    T* take(size_t count = 1) {
        size_t at = (used_ + alignof(T) - 1) / alignof(T) * alignof(T);
        used_ = at + sizeof(T) * count;
        if (used_ > size_) std::abort();  // the caller's bound is wrong
        return reinterpret_cast<T*>(base_ + at);
    }
    wchar_t* text(const std::string& utf8) {
        std::wstring wide = widen(utf8);
        wchar_t* out = take<wchar_t>(wide.size() + 1);
        std::memcpy(out, wide.c_str(), (wide.size() + 1) * sizeof(wchar_t));
        return out;
    }
    static size_t text_bound(const std::string& utf8) { return (utf8.size() + 1) * sizeof(wchar_t) + alignof(wchar_t); }

private:
    char* base_;
    size_t size_;
    size_t used_ = 0;
};

GUID* key_copy(Block& block, const json& text) {
    if (!text.is_string()) return nullptr;
    auto key = parse_key(text.get<std::string>());
    if (!key) return nullptr;
    GUID* out = block.take<GUID>();
    *out = *key;
    return out;
}

// The application id blob: UTF-16LE with its terminating NUL counted, as Windows makes it.
std::optional<std::string> app_path(const FWP_BYTE_BLOB* blob) {
    if (blob == nullptr || blob->data == nullptr || blob->size < 2 || blob->size % 2 != 0) return std::nullopt;
    std::wstring text(blob->size / 2, L'\0');
    std::memcpy(text.data(), blob->data, blob->size);
    if (text.back() != L'\0' || text.find(L'\0') != text.size() - 1) return std::nullopt;
    text.pop_back();
    return narrow(text);
}

// A condition's value as the engine models it; the status and reason when it is not.
DWORD value_in(const FWP_CONDITION_VALUE0& v, Value* out, std::string* why) {
    bool present = true;
    switch (v.type) {
        case FWP_UINT8: *out = v.uint8; return 0;
        case FWP_UINT16: *out = v.uint16; return 0;
        case FWP_UINT32: *out = v.uint32; return 0;
        case FWP_V4_ADDR_MASK:
            if ((present = v.v4AddrMask != nullptr)) *out = V4Mask{v.v4AddrMask->addr, v.v4AddrMask->mask};
            break;
        case FWP_BYTE_ARRAY16_TYPE:
            if ((present = v.byteArray16 != nullptr)) {
                V6Address a;
                std::memcpy(a.data(), v.byteArray16->byteArray16, 16);
                *out = a;
            }
            break;
        case FWP_V6_ADDR_MASK:
            if ((present = v.v6AddrMask != nullptr)) {
                V6Prefix p{};
                std::memcpy(p.address.data(), v.v6AddrMask->addr, 16);
                p.length = v.v6AddrMask->prefixLength;
                if (p.length > 128) {
                    *why = "prefix length " + std::to_string(p.length) + " is above 128";
                    return kInvalidNetMask;
                }
                *out = p;
            }
            break;
        case FWP_RANGE_TYPE:
            if ((present = v.rangeValue != nullptr)) {
                const FWP_RANGE0& r = *v.rangeValue;
                if (r.valueLow.type != FWP_UINT16 || r.valueHigh.type != FWP_UINT16) {
                    *why = "a range of other than two FWP_UINT16 is not modelled";
                    return ERROR_NOT_SUPPORTED;
                }
                if (r.valueLow.uint16 > r.valueHigh.uint16) {
                    *why = "the range's low end is above its high end";
                    return kInvalidRange;
                }
                *out = Range16{r.valueLow.uint16, r.valueHigh.uint16};
            }
            break;
        case FWP_BYTE_BLOB_TYPE:
            if ((present = v.byteBlob != nullptr)) {
                auto path = app_path(v.byteBlob);
                if (!path) {
                    *why = "a byte blob other than an application id (NUL-terminated UTF-16) is not modelled";
                    return ERROR_NOT_SUPPORTED;
                }
                *out = AppPath{*path};
            }
            break;
        default:
            *why = "value type " + std::to_string(static_cast<int>(v.type)) + " is not modelled";
            return ERROR_NOT_SUPPORTED;
    }
    if (!present) {
        *why = "a condition value points nowhere";
        return ERROR_INVALID_PARAMETER;
    }
    return 0;
}

FWP_CONDITION_VALUE0 value_out(Block& block, const Value& value) {
    FWP_CONDITION_VALUE0 out{};
    std::visit(
        [&](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, uint8_t>) {
                out.type = FWP_UINT8;
                out.uint8 = v;
            } else if constexpr (std::is_same_v<T, uint16_t>) {
                out.type = FWP_UINT16;
                out.uint16 = v;
            } else if constexpr (std::is_same_v<T, uint32_t>) {
                out.type = FWP_UINT32;
                out.uint32 = v;
            } else if constexpr (std::is_same_v<T, V4Mask>) {
                out.type = FWP_V4_ADDR_MASK;
                out.v4AddrMask = block.take<FWP_V4_ADDR_AND_MASK>();
                *out.v4AddrMask = {v.address, v.mask};
            } else if constexpr (std::is_same_v<T, V6Address>) {
                out.type = FWP_BYTE_ARRAY16_TYPE;
                out.byteArray16 = block.take<FWP_BYTE_ARRAY16>();
                std::memcpy(out.byteArray16->byteArray16, v.data(), 16);
            } else if constexpr (std::is_same_v<T, V6Prefix>) {
                out.type = FWP_V6_ADDR_MASK;
                out.v6AddrMask = block.take<FWP_V6_ADDR_AND_MASK>();
                std::memcpy(out.v6AddrMask->addr, v.address.data(), 16);
                out.v6AddrMask->prefixLength = v.length;
            } else if constexpr (std::is_same_v<T, Range16>) {
                out.type = FWP_RANGE_TYPE;
                out.rangeValue = block.take<FWP_RANGE0>();
                out.rangeValue->valueLow.type = FWP_UINT16;
                out.rangeValue->valueLow.uint16 = v.low;
                out.rangeValue->valueHigh.type = FWP_UINT16;
                out.rangeValue->valueHigh.uint16 = v.high;
            } else {
                std::wstring wide = widen(v.text);
                out.type = FWP_BYTE_BLOB_TYPE;
                out.byteBlob = block.take<FWP_BYTE_BLOB>();
                out.byteBlob->size = static_cast<UINT32>((wide.size() + 1) * sizeof(wchar_t));
                out.byteBlob->data = block.take<UINT8>(out.byteBlob->size);
                std::memcpy(out.byteBlob->data, wide.c_str(), out.byteBlob->size);
            }
        },
        value);
    return out;
}

// What every add refuses before looking at its own kind: a security descriptor, a key the engine
// would make up, no display name, flags other than `modelled`.
DWORD refused_add(const char* kind, PSECURITY_DESCRIPTOR sd, const GUID& key, const wchar_t* name, UINT32 flags,
                  UINT32 modelled, std::string* why) {
    *why = sd != nullptr                  ? "security descriptors are not modelled"
           : IsEqualGUID(key, kNoKey)     ? "a key the engine makes up is not modelled"
           : (flags & ~modelled) != 0     ? std::string(kind) + " flags " + hex(flags) + " are not modelled"
                                          : "";
    if (!why->empty()) return ERROR_NOT_SUPPORTED;
    return name == nullptr ? kNullDisplayName : 0;
}

// The state entry FwpmFilterAdd0 records for `f`, or the status and reason it is refused with.
DWORD read_filter(const FWPM_FILTER0& f, json* entry, std::string* why) {
    auto layer = layer_of(f.layerKey);
    if (!layer) {
        *why = "layer " + key_text(f.layerKey) + " is not modelled";
        return kLayerNotFound;
    }
    if (IsEqualGUID(f.subLayerKey, kNoKey)) {
        *why = "the default sublayer is not modelled";
        return ERROR_NOT_SUPPORTED;
    }
    unsigned weight = 0;
    if (f.weight.type == FWP_UINT8) {
        weight = f.weight.uint8;
        if (weight > 15) {
            *why = "weight " + std::to_string(weight) + " is above 15";
            return kInvalidWeight;
        }
    } else if (f.weight.type != FWP_EMPTY) {
        *why = "a weight of type " + std::to_string(static_cast<int>(f.weight.type)) + " is not modelled";
        return ERROR_NOT_SUPPORTED;
    }
    if (f.action.type != FWP_ACTION_BLOCK && f.action.type != FWP_ACTION_PERMIT) {
        *why = "action " + hex(f.action.type) + " is not modelled";
        return ERROR_NOT_SUPPORTED;
    }
    if (f.numFilterConditions > 0 && f.filterCondition == nullptr) {
        *why = "the conditions point nowhere";
        return ERROR_INVALID_PARAMETER;
    }
    json conditions = json::array();
    for (UINT32 i = 0; i < f.numFilterConditions; ++i) {
        const FWPM_FILTER_CONDITION0& c = f.filterCondition[i];
        auto field = field_of(c.fieldKey);
        if (!field) {
            *why = "condition field " + key_text(c.fieldKey) + " is not modelled";
            return kConditionNotFound;
        }
        std::optional<Match> match;
        if (c.matchType == FWP_MATCH_EQUAL) match = Match::Equal;
        if (c.matchType == FWP_MATCH_RANGE) match = Match::Range;
        if (c.matchType == FWP_MATCH_FLAGS_ALL_SET) match = Match::FlagsAllSet;
        if (!match) {
            *why = "match type " + std::to_string(static_cast<int>(c.matchType)) + " on " + field_name(*field) +
                   " is not modelled";
            return ERROR_NOT_SUPPORTED;
        }
        Value value;
        if (DWORD status = value_in(c.conditionValue, &value, why); status != 0) {
            *why = field_name(*field) + ": " + *why;
            return status;
        }
        Condition condition{*field, *match, value};
        if (std::string reason = unmodelled(condition, is_v6(*layer)); !reason.empty()) {
            *why = reason;
            return ERROR_NOT_SUPPORTED;
        }
        conditions.push_back(to_json(condition));
    }
    *entry = {{"name", narrow(f.displayData.name)},
              {"layer", layer_name(*layer)},
              {"sublayer", key_text(f.subLayerKey)},
              {"provider", f.providerKey == nullptr ? json() : json(key_text(*f.providerKey))},
              {"weight", weight},
              {"action", f.action.type == FWP_ACTION_PERMIT ? "permit" : "block"},
              {"clearActionRight", (f.flags & kFilterClearActionRight) != 0},
              {"conditions", conditions}};
    return 0;
}

// What FwpmFilterGetByKey0 returns for a state entry (a bare leftover has only its key).
FWPM_FILTER0* filter_block(const GUID& key, const json& e) {
    auto layer = layer_named(e.value("layer", ""));
    std::vector<Condition> conditions;
    for (const auto& c : e.value("conditions", json::array())) {
        std::string why;
        if (auto read = condition_from_json(c, layer && is_v6(*layer), &why)) conditions.push_back(*read);
    }
    std::string name = e.value("name", "");
    size_t size = sizeof(FWPM_FILTER0) + Block::text_bound(name) + sizeof(GUID) + 64;
    for (const auto& c : conditions) {
        size += sizeof(FWPM_FILTER_CONDITION0) + sizeof(FWP_RANGE0) + sizeof(FWP_BYTE_BLOB) + 32;
        if (const auto* app = std::get_if<AppPath>(&c.value)) size += Block::text_bound(app->text);
    }
    Block block(size);
    if (!block.ok()) return nullptr;
    auto* f = block.take<FWPM_FILTER0>();
    f->filterKey = key;
    f->displayData.name = block.text(name);
    f->flags = e.value("clearActionRight", false) ? kFilterClearActionRight : 0;
    f->providerKey = key_copy(block, e.value("provider", json()));
    if (layer) f->layerKey = layer_key(*layer);
    if (auto sublayer = parse_key(e.value("sublayer", ""))) f->subLayerKey = *sublayer;
    f->weight.type = FWP_UINT8;
    f->weight.uint8 = static_cast<UINT8>(e.value("weight", 0u));
    f->numFilterConditions = static_cast<UINT32>(conditions.size());
    if (!conditions.empty()) f->filterCondition = block.take<FWPM_FILTER_CONDITION0>(conditions.size());
    for (size_t i = 0; i < conditions.size(); ++i) {
        f->filterCondition[i].fieldKey = field_key(conditions[i].field);
        f->filterCondition[i].matchType = conditions[i].match == Match::Range         ? FWP_MATCH_RANGE
                                          : conditions[i].match == Match::FlagsAllSet ? FWP_MATCH_FLAGS_ALL_SET
                                                                                      : FWP_MATCH_EQUAL;
        f->filterCondition[i].conditionValue = value_out(block, conditions[i].value);
    }
    f->action.type = e.value("action", "") == "permit" ? FWP_ACTION_PERMIT : FWP_ACTION_BLOCK;
    f->filterId = e.value("id", uint64_t{0});
    return f;
}

template <class T>
DWORD get_object(HANDLE engine, const char* what, Kind kind, const GUID* key, T** out,
                 const std::function<T*(const GUID&, const json&)>& build) {
    std::string text = key_of(key);
    std::string op = std::string(what) + " " + text;
    if (out == nullptr || key == nullptr) return answer(op, ERROR_INVALID_PARAMETER);
    *out = nullptr;
    Session* s = session(engine);
    if (s == nullptr) return answer(op, ERROR_INVALID_HANDLE, "unknown handle");
    json state = view(*s);
    if (kind_of(state, text) != kind) return answer(op, not_found(kind));
    json entry = bare(state, text) ? json::object() : state[map_name(kind)][text];
    *out = build(*key, entry);
    return answer(op, *out == nullptr ? static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY) : 0);
}

}  // namespace

extern "C" {

__declspec(dllexport) DWORD WINAPI FwpmEngineOpen0(const wchar_t* server, UINT32 authn,
                                                   SEC_WINNT_AUTH_IDENTITY_W* identity,
                                                   const FWPM_SESSION0* session, HANDLE* engine) {
    DWORD status = load_engine().value("openStatus", 0ul);
    note("open server=" + std::string(server == nullptr ? "null" : "set") + " authn=" + std::to_string(authn) +
         " identity=" + (identity == nullptr ? "null" : "set") + " session=" + (session == nullptr ? "null" : "set") +
         " status=" + std::to_string(status));
    if (status != 0) return status;
    if (engine == nullptr) return ERROR_INVALID_PARAMETER;
    // A real handle of this process, so that each session has a value of its own.
    HANDLE handle = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (handle == nullptr) return GetLastError();
    auto s = std::make_unique<Session>();
    s->dynamic = session != nullptr && (session->flags & kSessionDynamic) != 0;
    if (session != nullptr && session->txnWaitTimeoutInMSec != 0) s->wait_ms = session->txnWaitTimeoutInMSec;
    s->owner = GetCurrentProcessId();
    s->owner_start = process_start_time(GetCurrentProcessId());
    AcquireSRWLockExclusive(&sessions_lock);
    sessions()[handle] = std::move(s);
    ReleaseSRWLockExclusive(&sessions_lock);
    *engine = handle;
    return 0;
}

__declspec(dllexport) DWORD WINAPI FwpmEngineClose0(HANDLE engine) {
    AcquireSRWLockExclusive(&sessions_lock);
    std::unique_ptr<Session> s;
    if (auto found = sessions().find(engine); found != sessions().end()) {
        s = std::move(found->second);
        sessions().erase(found);
    }
    ReleaseSRWLockExclusive(&sessions_lock);
    if (!s) {
        note("close unknown-handle");
        return ERROR_INVALID_HANDLE;
    }
    if (s->transaction) {
        s->transaction.reset();
        s->lock.reset();
        answer("abort", 0);
    }
    if (!s->owned.empty()) {
        apply(*s, [&](json& state) -> DWORD {
            for (const auto& key : s->owned) erase_object(state, key);
            return 0;
        });
    }
    CloseHandle(engine);
    note("close");
    return 0;
}

__declspec(dllexport) DWORD WINAPI FwpmTransactionBegin0(HANDLE engine, UINT32 flags) {
    Session* s = session(engine);
    if (s == nullptr) return answer("begin", ERROR_INVALID_HANDLE, "unknown handle");
    if (flags != 0) return answer("begin", ERROR_NOT_SUPPORTED, "transaction flags " + hex(flags) + " are not modelled");
    if (s->transaction) return answer("begin", kTransactionInProgress);
    auto lock = std::make_unique<StateLock>(s->wait_ms);
    if (!lock->held()) return answer("begin", kTimeout, "another transaction kept the engine");
    s->transaction = load_engine();
    s->lock = std::move(lock);
    return answer("begin", 0);
}

__declspec(dllexport) DWORD WINAPI FwpmTransactionCommit0(HANDLE engine) {
    Session* s = session(engine);
    if (s == nullptr) return answer("commit", ERROR_INVALID_HANDLE, "unknown handle");
    if (!s->transaction) return answer("commit", kNoTransaction);
    save_engine(*s->transaction);
    s->owned.merge(s->pending);
    s->pending.clear();
    s->transaction.reset();
    s->lock.reset();
    return answer("commit", 0);
}

__declspec(dllexport) DWORD WINAPI FwpmTransactionAbort0(HANDLE engine) {
    Session* s = session(engine);
    if (s == nullptr) return answer("abort", ERROR_INVALID_HANDLE, "unknown handle");
    if (!s->transaction) return answer("abort", kNoTransaction);
    s->pending.clear();
    s->transaction.reset();
    s->lock.reset();
    return answer("abort", 0);
}

__declspec(dllexport) DWORD WINAPI FwpmProviderAdd0(HANDLE engine, const FWPM_PROVIDER0* provider,
                                                    PSECURITY_DESCRIPTOR sd) {
    std::string key = provider == nullptr ? "null" : key_text(provider->providerKey);
    std::string op = "add-provider " + key;
    Session* s = session(engine);
    if (s == nullptr) return answer(op, ERROR_INVALID_HANDLE, "unknown handle");
    if (provider == nullptr) return answer(op, ERROR_INVALID_PARAMETER);
    std::string why;
    DWORD refused =
        refused_add("provider", sd, provider->providerKey, provider->displayData.name, provider->flags, 0, &why);
    if (refused != 0) return answer(op, refused, why);
    if (provider->serviceName != nullptr) return answer(op, ERROR_NOT_SUPPORTED, "a provider's service is not modelled");
    DWORD status = add_object(*s, Kind::Provider, key, {{"name", narrow(provider->displayData.name)}}, {}, &why);
    return answer(op, status, why);
}

__declspec(dllexport) DWORD WINAPI FwpmSubLayerAdd0(HANDLE engine, const FWPM_SUBLAYER0* sublayer,
                                                    PSECURITY_DESCRIPTOR sd) {
    std::string key = sublayer == nullptr ? "null" : key_text(sublayer->subLayerKey);
    std::string op = "add-sublayer " + key;
    Session* s = session(engine);
    if (s == nullptr) return answer(op, ERROR_INVALID_HANDLE, "unknown handle");
    if (sublayer == nullptr) return answer(op, ERROR_INVALID_PARAMETER);
    std::string why;
    DWORD refused =
        refused_add("sublayer", sd, sublayer->subLayerKey, sublayer->displayData.name, sublayer->flags, 0, &why);
    if (refused != 0) return answer(op, refused, why);
    json provider = sublayer->providerKey == nullptr ? json() : json(key_text(*sublayer->providerKey));
    std::vector<std::pair<Kind, std::string>> refs;
    if (!provider.is_null()) refs.emplace_back(Kind::Provider, provider.get<std::string>());
    DWORD status = add_object(
        *s, Kind::Sublayer, key,
        {{"name", narrow(sublayer->displayData.name)}, {"provider", provider}, {"weight", sublayer->weight}}, refs, &why);
    return answer(op, status, why);
}

__declspec(dllexport) DWORD WINAPI FwpmFilterAdd0(HANDLE engine, const FWPM_FILTER0* filter,
                                                  PSECURITY_DESCRIPTOR sd, UINT64* id) {
    std::string key = filter == nullptr ? "null" : key_text(filter->filterKey);
    std::string op = "add-filter " + key;
    Session* s = session(engine);
    if (s == nullptr) return answer(op, ERROR_INVALID_HANDLE, "unknown handle");
    if (json forced = fault("wfpFilterAddStatus"); forced.is_number_integer()) {
        return answer(op, static_cast<DWORD>(forced.get<int64_t>()), "fault wfpFilterAddStatus");
    }
    if (filter == nullptr) return answer(op, ERROR_INVALID_PARAMETER);
    json entry;
    std::string why;
    DWORD refused = refused_add("filter", sd, filter->filterKey, filter->displayData.name, filter->flags,
                                kFilterClearActionRight, &why);
    if (refused != 0) return answer(op, refused, why);
    if (DWORD status = read_filter(*filter, &entry, &why); status != 0) return answer(op, status, why);
    std::vector<std::pair<Kind, std::string>> refs;
    if (!entry["provider"].is_null()) refs.emplace_back(Kind::Provider, entry["provider"].get<std::string>());
    refs.emplace_back(Kind::Sublayer, entry["sublayer"].get<std::string>());
    UINT64 added = 0;
    DWORD status = add_object(*s, Kind::Filter, key, entry, refs, &why, &added);
    if (status == 0 && id != nullptr) *id = added;
    return answer(op, status, why);
}

__declspec(dllexport) DWORD WINAPI FwpmFilterDeleteByKey0(HANDLE engine, const GUID* key) {
    return delete_object(engine, "delete-filter", Kind::Filter, key);
}

__declspec(dllexport) DWORD WINAPI FwpmSubLayerDeleteByKey0(HANDLE engine, const GUID* key) {
    return delete_object(engine, "delete-sublayer", Kind::Sublayer, key);
}

__declspec(dllexport) DWORD WINAPI FwpmProviderDeleteByKey0(HANDLE engine, const GUID* key) {
    return delete_object(engine, "delete-provider", Kind::Provider, key);
}

__declspec(dllexport) DWORD WINAPI FwpmFilterGetByKey0(HANDLE engine, const GUID* key, FWPM_FILTER0** filter) {
    return get_object<FWPM_FILTER0>(engine, "get-filter", Kind::Filter, key, filter, filter_block);
}

__declspec(dllexport) DWORD WINAPI FwpmSubLayerGetByKey0(HANDLE engine, const GUID* key, FWPM_SUBLAYER0** sublayer) {
    return get_object<FWPM_SUBLAYER0>(
        engine, "get-sublayer", Kind::Sublayer, key, sublayer, [](const GUID& k, const json& e) -> FWPM_SUBLAYER0* {
            std::string name = e.value("name", "");
            Block block(sizeof(FWPM_SUBLAYER0) + Block::text_bound(name) + sizeof(GUID) + 16);
            if (!block.ok()) return nullptr;
            auto* s = block.take<FWPM_SUBLAYER0>();
            s->subLayerKey = k;
            s->displayData.name = block.text(name);
            s->providerKey = key_copy(block, e.value("provider", json()));
            s->weight = static_cast<UINT16>(e.value("weight", 0u));
            return s;
        });
}

__declspec(dllexport) DWORD WINAPI FwpmProviderGetByKey0(HANDLE engine, const GUID* key, FWPM_PROVIDER0** provider) {
    return get_object<FWPM_PROVIDER0>(
        engine, "get-provider", Kind::Provider, key, provider, [](const GUID& k, const json& e) -> FWPM_PROVIDER0* {
            std::string name = e.value("name", "");
            Block block(sizeof(FWPM_PROVIDER0) + Block::text_bound(name) + 16);
            if (!block.ok()) return nullptr;
            auto* p = block.take<FWPM_PROVIDER0>();
            p->providerKey = k;
            p->displayData.name = block.text(name);
            return p;
        });
}

__declspec(dllexport) void WINAPI FwpmFreeMemory0(void** p) {
    if (p == nullptr || *p == nullptr) return;
    HeapFree(GetProcessHeap(), 0, *p);
    *p = nullptr;
}

__declspec(dllexport) DWORD WINAPI FwpmGetAppIdFromFileName0(const wchar_t* file_name, FWP_BYTE_BLOB** app_id) {
    std::string op = "app-id " + (file_name == nullptr ? std::string("null") : narrow(file_name));
    if (file_name == nullptr || app_id == nullptr) return answer(op, ERROR_INVALID_PARAMETER);
    *app_id = nullptr;
    if (GetFileAttributesW(file_name) == INVALID_FILE_ATTRIBUTES) return answer(op, ERROR_FILE_NOT_FOUND);
    std::wstring path = app_id_path(file_name);
    if (path.empty()) return answer(op, ERROR_NOT_SUPPORTED, "only paths on a drive letter are modelled");
    size_t bytes = (path.size() + 1) * sizeof(wchar_t);
    Block block(sizeof(FWP_BYTE_BLOB) + bytes + 16);
    if (!block.ok()) return answer(op, ERROR_NOT_ENOUGH_MEMORY);
    auto* blob = block.take<FWP_BYTE_BLOB>();
    blob->size = static_cast<UINT32>(bytes);
    blob->data = block.take<UINT8>(bytes);
    std::memcpy(blob->data, path.c_str(), bytes);
    *app_id = blob;
    return answer(op, 0);
}

}
