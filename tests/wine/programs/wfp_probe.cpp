// Drives the filtering engine through fwpuclnt.dll as a product would, one step per group of
// arguments, printing one line per step ("step [KEY] 0xSTATUS [details]"):
//
//   open | open-dynamic              a session (FWPM_SESSION_FLAG_DYNAMIC); later steps use the latest
//   close | begin | commit | abort
//   provider KEY NAME
//   sublayer KEY NAME WEIGHT PROVIDER|-
//   filter KEY NAME LAYER SUBLAYER PROVIDER|- WEIGHT ACTION [CONDITION...]
//       LAYER   ALE_AUTH_CONNECT_V4|_V6, ALE_AUTH_RECV_ACCEPT_V4|_V6, or any {GUID}
//       WEIGHT  0-255 (FWP_UINT8) or empty (FWP_EMPTY)
//       ACTION  permit, block, hard-permit (action right cleared), persistent-block
//       CONDITION  flags=N  app=PATH  local=|remote=ADDRESS[/MASK or /LENGTH]  protocol=N
//                  local-port=|remote-port=N or N-M  interface=N; and what the engine does not
//                  model: protocol16=N (FWP_UINT16), remote-port>N (FWP_MATCH_GREATER),
//                  {GUID}=N (another field)
//   delete-filter | delete-sublayer | delete-provider KEY
//   get-filter | get-sublayer | get-provider KEY   (details in the CONDITION syntax)
//   app-id PATH                      FwpmGetAppIdFromFileName0, the blob as text
//   die                              end the process at once, closing nothing
//
// Sessions still open at the end are closed. Exits 0, or 2 for a step it cannot read.

#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>
#include <fwpmu.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32/handle.h"
#include "platform/win32/wfp_guids.h"

namespace keys = vorn::wfp_keys;

namespace {

constexpr UINT32 kSessionDynamic = 0x1;          // FWPM_SESSION_FLAG_DYNAMIC
constexpr UINT32 kFilterPersistent = 0x1;        // FWPM_FILTER_FLAG_PERSISTENT
constexpr UINT32 kFilterClearActionRight = 0x8;  // FWPM_FILTER_FLAG_CLEAR_ACTION_RIGHT

std::string narrow(const std::wstring& wide) { return vorn::win32::from_wide(wide); }

void print(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

std::string hex(DWORD status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(status));
    return text;
}

std::string key_text(const GUID& g) {
    wchar_t text[40];
    StringFromGUID2(g, text, 40);
    return narrow(text);
}

struct Usage {
    std::string problem;
};

GUID key(const std::wstring& text) {
    GUID g{};
    if (text.size() != 38 || FAILED(IIDFromString(text.c_str(), &g))) throw Usage{"not a key: " + narrow(text)};
    return g;
}

const struct {
    const wchar_t* name;
    const GUID* key;
} kLayers[] = {{L"ALE_AUTH_CONNECT_V4", &keys::kLayerAleAuthConnectV4},
               {L"ALE_AUTH_CONNECT_V6", &keys::kLayerAleAuthConnectV6},
               {L"ALE_AUTH_RECV_ACCEPT_V4", &keys::kLayerAleAuthRecvAcceptV4},
               {L"ALE_AUTH_RECV_ACCEPT_V6", &keys::kLayerAleAuthRecvAcceptV6}};

const struct {
    const wchar_t* name;
    const GUID* key;
} kFields[] = {{L"flags", &keys::kConditionFlags},           {L"app", &keys::kConditionAleAppId},
               {L"local", &keys::kConditionIpLocalAddress},  {L"remote", &keys::kConditionIpRemoteAddress},
               {L"protocol", &keys::kConditionIpProtocol},   {L"local-port", &keys::kConditionIpLocalPort},
               {L"remote-port", &keys::kConditionIpRemotePort}, {L"interface", &keys::kConditionInterfaceIndex}};

unsigned long number(const std::wstring& text, unsigned long max) {
    wchar_t* end = nullptr;
    unsigned long n = std::wcstoul(text.c_str(), &end, 10);
    if (text.empty() || *end != L'\0' || n > max) {
        throw Usage{"not a number up to " + std::to_string(max) + ": " + narrow(text)};
    }
    return n;
}

// Keeps what one filter's conditions point at until it is added.
struct ConditionStore {
    std::list<FWP_V4_ADDR_AND_MASK> v4;
    std::list<FWP_V6_ADDR_AND_MASK> v6;
    std::list<FWP_BYTE_ARRAY16> bytes16;
    std::list<FWP_RANGE0> ranges;
    std::list<FWP_BYTE_BLOB*> app_ids;  // from FwpmGetAppIdFromFileName0, freed with FwpmFreeMemory0
    ConditionStore() = default;
    ConditionStore(const ConditionStore&) = delete;
    ConditionStore& operator=(const ConditionStore&) = delete;
    ~ConditionStore() {
        for (FWP_BYTE_BLOB*& blob : app_ids) FwpmFreeMemory0(reinterpret_cast<void**>(&blob));
    }
};

FWP_CONDITION_VALUE0 address(const std::wstring& text, ConditionStore& store) {
    FWP_CONDITION_VALUE0 v{};
    size_t slash = text.find(L'/');
    std::wstring host = text.substr(0, slash);
    IN_ADDR a4{};
    IN6_ADDR a6{};
    if (InetPtonW(AF_INET, host.c_str(), &a4) == 1) {
        uint32_t a = ntohl(a4.s_addr);  // FWP_UINT32 addresses are in host order
        if (slash == std::wstring::npos) {
            v.type = FWP_UINT32;
            v.uint32 = a;
            return v;
        }
        IN_ADDR m{};
        if (InetPtonW(AF_INET, text.substr(slash + 1).c_str(), &m) != 1) throw Usage{"not a mask: " + narrow(text)};
        v.type = FWP_V4_ADDR_MASK;
        v.v4AddrMask = &store.v4.emplace_back(FWP_V4_ADDR_AND_MASK{a, ntohl(m.s_addr)});
        return v;
    }
    if (InetPtonW(AF_INET6, host.c_str(), &a6) != 1) throw Usage{"not an address: " + narrow(text)};
    if (slash == std::wstring::npos) {
        v.type = FWP_BYTE_ARRAY16_TYPE;
        v.byteArray16 = &store.bytes16.emplace_back();
        std::memcpy(v.byteArray16->byteArray16, &a6, 16);
        return v;
    }
    v.type = FWP_V6_ADDR_MASK;
    v.v6AddrMask = &store.v6.emplace_back();
    std::memcpy(v.v6AddrMask->addr, &a6, 16);
    v.v6AddrMask->prefixLength = static_cast<UINT8>(number(text.substr(slash + 1), 255));
    return v;
}

FWPM_FILTER_CONDITION0 condition(const std::wstring& text, ConditionStore& store) {
    size_t op = text.find_first_of(L"=>");
    std::wstring field = text.substr(0, op);
    std::wstring value = text.substr(op + 1);
    FWPM_FILTER_CONDITION0 c{};
    c.matchType = text[op] == L'>' ? FWP_MATCH_GREATER : FWP_MATCH_EQUAL;
    if (field == L"protocol16") {
        c.fieldKey = keys::kConditionIpProtocol;
        c.conditionValue.type = FWP_UINT16;
        c.conditionValue.uint16 = static_cast<UINT16>(number(value, 65535));
        return c;
    }
    if (!field.empty() && field[0] == L'{') {
        c.fieldKey = key(field);
        c.conditionValue.type = FWP_UINT32;
        c.conditionValue.uint32 = number(value, 0xFFFFFFFF);
        return c;
    }
    bool known = false;
    for (const auto& f : kFields) {
        if (field == f.name) c.fieldKey = *f.key, known = true;
    }
    if (!known) throw Usage{"unknown condition field: " + narrow(field)};
    FWP_CONDITION_VALUE0& v = c.conditionValue;
    if (field == L"flags") {
        if (c.matchType == FWP_MATCH_EQUAL) c.matchType = FWP_MATCH_FLAGS_ALL_SET;
        v.type = FWP_UINT32;
        v.uint32 = number(value, 0xFFFFFFFF);
    } else if (field == L"app") {
        FWP_BYTE_BLOB* blob = nullptr;
        if (DWORD status = FwpmGetAppIdFromFileName0(value.c_str(), &blob); status != 0) {
            throw Usage{"FwpmGetAppIdFromFileName0 " + narrow(value) + " " + hex(status)};
        }
        store.app_ids.push_back(blob);
        v.type = FWP_BYTE_BLOB_TYPE;
        v.byteBlob = blob;
    } else if (field == L"local" || field == L"remote") {
        v = address(value, store);
    } else if (field == L"protocol") {
        v.type = FWP_UINT8;
        v.uint8 = static_cast<UINT8>(number(value, 255));
    } else if (field == L"interface") {
        v.type = FWP_UINT32;
        v.uint32 = number(value, 0xFFFFFFFF);
    } else if (size_t dash = value.find(L'-'); dash != std::wstring::npos) {
        if (c.matchType == FWP_MATCH_EQUAL) c.matchType = FWP_MATCH_RANGE;
        FWP_RANGE0& r = store.ranges.emplace_back();
        r.valueLow.type = r.valueHigh.type = FWP_UINT16;
        r.valueLow.uint16 = static_cast<UINT16>(number(value.substr(0, dash), 65535));
        r.valueHigh.uint16 = static_cast<UINT16>(number(value.substr(dash + 1), 65535));
        v.type = FWP_RANGE_TYPE;
        v.rangeValue = &r;
    } else {
        v.type = FWP_UINT16;
        v.uint16 = static_cast<UINT16>(number(value, 65535));
    }
    return c;
}

std::string address_text(int family, const void* address) {
    wchar_t text[64] = L"";
    InetNtopW(family, address, text, 64);
    return narrow(text);
}

// A returned condition in the syntax the filter step reads.
std::string describe(const FWPM_FILTER_CONDITION0& c) {
    std::string field = key_text(c.fieldKey);
    for (const auto& f : kFields) {
        if (IsEqualGUID(c.fieldKey, *f.key)) field = narrow(f.name);
    }
    const FWP_CONDITION_VALUE0& v = c.conditionValue;
    std::string value = "type" + std::to_string(static_cast<int>(v.type));
    switch (v.type) {
        case FWP_UINT8: value = std::to_string(v.uint8); break;
        case FWP_UINT16: value = std::to_string(v.uint16); break;
        case FWP_UINT32: {
            uint32_t net = htonl(v.uint32);
            value = field == "local" || field == "remote" ? address_text(AF_INET, &net) : std::to_string(v.uint32);
            break;
        }
        case FWP_V4_ADDR_MASK: {
            uint32_t a = htonl(v.v4AddrMask->addr), m = htonl(v.v4AddrMask->mask);
            value = address_text(AF_INET, &a) + "/" + address_text(AF_INET, &m);
            break;
        }
        case FWP_BYTE_ARRAY16_TYPE: value = address_text(AF_INET6, v.byteArray16->byteArray16); break;
        case FWP_V6_ADDR_MASK:
            value = address_text(AF_INET6, v.v6AddrMask->addr) + "/" + std::to_string(v.v6AddrMask->prefixLength);
            break;
        case FWP_RANGE_TYPE:
            value = std::to_string(v.rangeValue->valueLow.uint16) + "-" + std::to_string(v.rangeValue->valueHigh.uint16);
            break;
        case FWP_BYTE_BLOB_TYPE:
            value = narrow(std::wstring(reinterpret_cast<const wchar_t*>(v.byteBlob->data), v.byteBlob->size / 2 - 1));
            break;
        default: break;
    }
    return field + (c.matchType == FWP_MATCH_GREATER ? ">" : "=") + value;
}

// An engine session; closed when dropped, unless the process dies first.
class Engine {
public:
    explicit Engine(HANDLE h) : h_(h) {}
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;
    ~Engine() {
        if (h_ != nullptr) FwpmEngineClose0(h_);
    }
    HANDLE get() const { return h_; }
    DWORD close() { return FwpmEngineClose0(std::exchange(h_, nullptr)); }

private:
    HANDLE h_;
};

class Steps {
public:
    Steps(int argc, wchar_t** argv) : args_(argv + 1, argv + argc) {}

    void run() {
        while (at_ < args_.size()) step(next());
    }

private:
    std::wstring next() {
        if (at_ >= args_.size()) throw Usage{"a step needs more arguments"};
        return args_[at_++];
    }

    HANDLE engine() {
        if (engines_.empty()) throw Usage{"no session is open"};
        return engines_.back()->get();
    }

    void step(const std::wstring& verb) {
        std::string name = narrow(verb);
        if (verb == L"open" || verb == L"open-dynamic") {
            FWPM_SESSION0 session{};
            session.flags = verb == L"open" ? 0 : kSessionDynamic;
            HANDLE h = nullptr;
            DWORD status = FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, verb == L"open" ? nullptr : &session, &h);
            if (status == 0) engines_.push_back(std::make_unique<Engine>(h));
            print(name + " " + hex(status));
        } else if (verb == L"close") {
            if (engines_.empty()) throw Usage{"no session is open"};
            DWORD status = engines_.back()->close();
            engines_.pop_back();
            print(name + " " + hex(status));
        } else if (verb == L"begin") {
            print(name + " " + hex(FwpmTransactionBegin0(engine(), 0)));
        } else if (verb == L"commit") {
            print(name + " " + hex(FwpmTransactionCommit0(engine())));
        } else if (verb == L"abort") {
            print(name + " " + hex(FwpmTransactionAbort0(engine())));
        } else if (verb == L"provider") {
            FWPM_PROVIDER0 p{};
            p.providerKey = key(next());
            std::wstring display = next();
            p.displayData.name = display.data();
            print(name + " " + key_text(p.providerKey) + " " + hex(FwpmProviderAdd0(engine(), &p, nullptr)));
        } else if (verb == L"sublayer") {
            FWPM_SUBLAYER0 s{};
            s.subLayerKey = key(next());
            std::wstring display = next();
            s.displayData.name = display.data();
            s.weight = static_cast<UINT16>(number(next(), 65535));
            GUID provider{};
            if (std::wstring p = next(); p != L"-") s.providerKey = &(provider = key(p));
            print(name + " " + key_text(s.subLayerKey) + " " + hex(FwpmSubLayerAdd0(engine(), &s, nullptr)));
        } else if (verb == L"filter") {
            add_filter();
        } else if (verb == L"delete-filter" || verb == L"delete-sublayer" || verb == L"delete-provider") {
            GUID k = key(next());
            DWORD status = verb == L"delete-filter"     ? FwpmFilterDeleteByKey0(engine(), &k)
                           : verb == L"delete-sublayer" ? FwpmSubLayerDeleteByKey0(engine(), &k)
                                                        : FwpmProviderDeleteByKey0(engine(), &k);
            print(name + " " + key_text(k) + " " + hex(status));
        } else if (verb == L"get-filter" || verb == L"get-sublayer" || verb == L"get-provider") {
            get(verb, key(next()));
        } else if (verb == L"app-id") {
            std::wstring path = next();
            FWP_BYTE_BLOB* blob = nullptr;
            DWORD status = FwpmGetAppIdFromFileName0(path.c_str(), &blob);
            std::string text;
            if (blob != nullptr) {
                text = " size=" + std::to_string(blob->size) + " " +
                       narrow(std::wstring(reinterpret_cast<const wchar_t*>(blob->data), blob->size / 2 - 1));
                FwpmFreeMemory0(reinterpret_cast<void**>(&blob));
            }
            print(name + " " + hex(status) + text);
        } else if (verb == L"die") {
            print(name);
            TerminateProcess(GetCurrentProcess(), 3);
        } else {
            throw Usage{"unknown step: " + name};
        }
    }

    void add_filter() {
        FWPM_FILTER0 f{};
        f.filterKey = key(next());
        std::wstring display = next();
        f.displayData.name = display.data();
        std::wstring layer = next();
        bool known = false;
        for (const auto& l : kLayers) {
            if (layer == l.name) f.layerKey = *l.key, known = true;
        }
        if (!known) f.layerKey = key(layer);
        f.subLayerKey = key(next());
        GUID provider{};
        if (std::wstring p = next(); p != L"-") f.providerKey = &(provider = key(p));
        if (std::wstring w = next(); w != L"empty") {
            f.weight.type = FWP_UINT8;
            f.weight.uint8 = static_cast<UINT8>(number(w, 255));
        }
        std::wstring action = next();
        if (action == L"permit" || action == L"hard-permit") {
            f.action.type = FWP_ACTION_PERMIT;
        } else if (action == L"block" || action == L"persistent-block") {
            f.action.type = FWP_ACTION_BLOCK;
        } else {
            throw Usage{"unknown action: " + narrow(action)};
        }
        if (action == L"hard-permit") f.flags = kFilterClearActionRight;
        if (action == L"persistent-block") f.flags = kFilterPersistent;
        ConditionStore store;
        std::vector<FWPM_FILTER_CONDITION0> conditions;
        while (at_ < args_.size() && args_[at_].find_first_of(L"=>") != std::wstring::npos) {
            conditions.push_back(condition(next(), store));
        }
        f.numFilterConditions = static_cast<UINT32>(conditions.size());
        f.filterCondition = conditions.empty() ? nullptr : conditions.data();
        UINT64 id = 0;
        DWORD status = FwpmFilterAdd0(engine(), &f, nullptr, &id);
        print("filter " + key_text(f.filterKey) + " " + hex(status) + (status == 0 ? " id=" + std::to_string(id) : ""));
    }

    void get(const std::wstring& verb, GUID k) {
        std::string line = narrow(verb) + " " + key_text(k) + " ";
        auto provider_text = [](const GUID* p) { return p == nullptr ? std::string("-") : key_text(*p); };
        if (verb == L"get-provider") {
            FWPM_PROVIDER0* p = nullptr;
            DWORD status = FwpmProviderGetByKey0(engine(), &k, &p);
            if (p != nullptr) line += hex(status) + " name=" + narrow(p->displayData.name);
            else line += hex(status);
            FwpmFreeMemory0(reinterpret_cast<void**>(&p));
        } else if (verb == L"get-sublayer") {
            FWPM_SUBLAYER0* s = nullptr;
            DWORD status = FwpmSubLayerGetByKey0(engine(), &k, &s);
            line += hex(status);
            if (s != nullptr) {
                line += " name=" + narrow(s->displayData.name) + " weight=" + std::to_string(s->weight) +
                        " provider=" + provider_text(s->providerKey);
            }
            FwpmFreeMemory0(reinterpret_cast<void**>(&s));
        } else {
            FWPM_FILTER0* f = nullptr;
            DWORD status = FwpmFilterGetByKey0(engine(), &k, &f);
            line += hex(status);
            if (f != nullptr) {
                std::string layer = key_text(f->layerKey);
                for (const auto& l : kLayers) {
                    if (IsEqualGUID(f->layerKey, *l.key)) layer = narrow(l.name);
                }
                line += " name=" + narrow(f->displayData.name) + " layer=" + layer +
                        " sublayer=" + key_text(f->subLayerKey) + " provider=" + provider_text(f->providerKey) +
                        " weight=" + std::to_string(f->weight.uint8) +
                        " action=" + (f->action.type == FWP_ACTION_PERMIT ? "permit" : "block") +
                        " flags=" + std::to_string(f->flags) + " id=" + std::to_string(f->filterId);
                for (UINT32 i = 0; i < f->numFilterConditions; ++i) {
                    line += ' ';
                    line += describe(f->filterCondition[i]);
                }
            }
            FwpmFreeMemory0(reinterpret_cast<void**>(&f));
        }
        print(line);
    }

    std::vector<std::wstring> args_;
    size_t at_ = 0;
    std::vector<std::unique_ptr<Engine>> engines_;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    try {
        Steps(argc, argv).run();
    } catch (const Usage& u) {
        std::fputs(("wfp_probe: " + u.problem + "\n").c_str(), stderr);
        return 2;
    }
    return 0;
}
