#pragma once
// The Windows Filtering Platform management calls the system needs: open, delete by key, close.

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "common/result.h"

namespace vorn {

struct Guid {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    std::array<uint8_t, 8> data4;

    bool operator==(const Guid&) const = default;
};

// An open engine handle; closed (FwpmEngineClose0) when dropped.
class WfpSession {
public:
    virtual ~WfpSession() = default;
    // Each returns the status of the call (0 on success).
    virtual uint32_t delete_filter(const Guid& key) = 0;
    virtual uint32_t delete_sublayer(const Guid& key) = 0;
    virtual uint32_t delete_provider(const Guid& key) = 0;
};

class Wfp {
public:
    virtual ~Wfp() = default;
    // The session, or the status FwpmEngineOpen0 returned as the failure's error value.
    virtual Result<std::unique_ptr<WfpSession>, SystemFailure> open() = 0;
};

}  // namespace vorn
