#pragma once
// Loading a DLL and looking up its exports.

#include <cstdint>
#include <memory>
#include <string>

#include "common/result.h"

namespace vorn {

// A loaded module; released (FreeLibrary) when dropped.
class LoadedModule {
public:
    virtual ~LoadedModule() = default;
    // The export's address, or why the lookup failed.
    virtual Result<void*, SystemFailure> find_export(const std::string& name) = 0;
};

class DllLoader {
public:
    virtual ~DllLoader() = default;
    // The module, or why the load failed.
    virtual Result<std::unique_ptr<LoadedModule>, SystemFailure> load(const std::string& path) = 0;
};

}  // namespace vorn
