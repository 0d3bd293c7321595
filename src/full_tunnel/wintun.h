#pragma once
// The Wintun library the TUN engine needs: found on disk or written out from the copy the
// executable carries, then loaded and checked for the adapter entry points.

#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace vorn {

// The loaded library; released when dropped.
struct WintunLibrary {
    std::unique_ptr<LoadedModule> module;
    void* create_adapter = nullptr;
    void* open_adapter = nullptr;
    void* close_adapter = nullptr;
    void* delete_driver = nullptr;
};

std::string wintun_runtime_path(Environment& env);
std::vector<std::string> wintun_candidates(Environment& env);
// Each failure is coded: WINTUN_RUNTIME_WRITE_FAILED, WINTUN_DLL_LOAD_FAILED, WINTUN_EXPORT_MISSING.
Result<std::string> locate_wintun_dll(Platform& platform);
Result<void*> resolve_wintun_export(LoadedModule& module, const std::string& name);
Result<WintunLibrary> load_wintun(Platform& platform, const std::string& path);

}  // namespace vorn
