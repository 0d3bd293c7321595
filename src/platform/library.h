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
    // The export's address, or the Windows error code of the failed lookup.
    virtual Result<void*> find_export(const std::string& name, uint32_t& error) = 0;
};

class DllLoader {
public:
    virtual ~DllLoader() = default;
    // The module, or null with the Windows error code of the failed load.
    virtual std::unique_ptr<LoadedModule> load(const std::string& path, uint32_t& error) = 0;
};

}  // namespace vorn
