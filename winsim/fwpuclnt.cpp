// Stand-in fwpuclnt.dll, loaded from the executable's folder in place of the system's (Wine's
// own engine open always fails). The filtering engine's objects are the keys listed in
// state\wfp.json ("objects"); every call is noted in state\wfp.log. "openStatus" makes the open
// fail with that status. Deleting a missing object answers the status Windows gives; the
// sublayer cannot go while a filter of the family exists, nor the provider while the sublayer does.

#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "common/sim.h"

using namespace winsim;
using nlohmann::json;

namespace {

constexpr DWORD kFilterNotFound = 0x80320003;
constexpr DWORD kProviderNotFound = 0x80320005;
constexpr DWORD kSublayerNotFound = 0x80320007;
constexpr DWORD kInUse = 0x8032000C;
HANDLE const kEngine = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x5EED));

std::string key_text(const GUID* g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g->Data1, g->Data2,
                  g->Data3, g->Data4[0], g->Data4[1], g->Data4[2], g->Data4[3], g->Data4[4], g->Data4[5],
                  g->Data4[6], g->Data4[7]);
    return text;
}

void note(const std::string& line) {
    HANDLE log = CreateFileW(state_path("wfp.log").c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_ALWAYS, 0, nullptr);
    if (log == INVALID_HANDLE_VALUE) return;
    std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(log, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(log);
}

bool is_filter(const std::string& key) { return key.rfind("{56A51FF2", 0) == 0 || key.rfind("{56A51FF3", 0) == 0; }

DWORD remove(const char* what, const GUID* key, DWORD missing, bool (*blocked)(const json& objects)) {
    json state = load_state("wfp.json", json::object());
    json objects = state.value("objects", json::array());
    std::string text = key_text(key);
    DWORD status = missing;
    for (auto it = objects.begin(); it != objects.end(); ++it) {
        if (*it != text) continue;
        if (blocked != nullptr && blocked(objects)) {
            status = kInUse;
        } else {
            objects.erase(it);
            state["objects"] = objects;
            save_state("wfp.json", state);
            status = 0;
        }
        break;
    }
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08lX", status);
    note(std::string(what) + " " + text + " " + hex);
    return status;
}

bool filters_remain(const json& objects) {
    for (const auto& o : objects) {
        if (is_filter(o.get<std::string>())) return true;
    }
    return false;
}

bool sublayer_remains(const json& objects) {
    for (const auto& o : objects) {
        if (o.get<std::string>().rfind("{56A51FF1", 0) == 0) return true;
    }
    return false;
}

}  // namespace

extern "C" {

__declspec(dllexport) DWORD WINAPI FwpmEngineOpen0(const wchar_t* server, UINT32 authn, void* identity,
                                                   const void* session, HANDLE* engine) {
    DWORD status = load_state("wfp.json", json::object()).value("openStatus", 0ul);
    note("open server=" + std::string(server == nullptr ? "null" : "set") + " authn=" + std::to_string(authn) +
         " identity=" + (identity == nullptr ? "null" : "set") + " session=" + (session == nullptr ? "null" : "set") +
         " status=" + std::to_string(status));
    if (status != 0) return status;
    *engine = kEngine;
    return 0;
}

__declspec(dllexport) DWORD WINAPI FwpmFilterDeleteByKey0(HANDLE, const GUID* key) {
    return remove("delete-filter", key, kFilterNotFound, nullptr);
}

__declspec(dllexport) DWORD WINAPI FwpmSubLayerDeleteByKey0(HANDLE, const GUID* key) {
    return remove("delete-sublayer", key, kSublayerNotFound, filters_remain);
}

__declspec(dllexport) DWORD WINAPI FwpmProviderDeleteByKey0(HANDLE, const GUID* key) {
    return remove("delete-provider", key, kProviderNotFound, sublayer_remains);
}

__declspec(dllexport) DWORD WINAPI FwpmEngineClose0(HANDLE engine) {
    note(engine == kEngine ? "close" : "close unknown-handle");
    return 0;
}

}
