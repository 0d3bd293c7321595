#pragma once
// The split redirect driver: its kernel service in the service control manager, and its device.

#include <cstdint>
#include <optional>
#include <string>

#include "common/result.h"

namespace vorn {

enum class DriverServiceState { Stopped, StartPending, StopPending, Running, Other };

struct DriverOpenFailure : SystemFailure {
    bool at_manager = false;  // the service manager could not be opened (else the service)
};

// The service manager calls for the driver's kernel service. Each failure carries the Windows
// last-error value.
class DriverServiceControl {
public:
    virtual ~DriverServiceControl() = default;
    // Opens the manager and the service.
    virtual Result<void, DriverOpenFailure> open(const std::string& service_name) = 0;
    virtual Result<DriverServiceState, SystemFailure> query() = 0;
    // Starts the service; succeeds when it started or was already running.
    virtual Result<void, SystemFailure> start() = 0;
    // Closes the service handle, then the manager handle.
    virtual void close() = 0;
};

struct DriverReply {
    bool ok = false;
    bool opened = false;       // false: the device could not be opened
    uint32_t reported = 0;     // bytes the driver reported writing
    std::string output;        // the output buffer (of the size asked for)
};

class DriverDevice {
public:
    virtual ~DriverDevice() = default;
    // Opens the device anew, makes one synchronous request, closes it.
    virtual DriverReply control(uint32_t code, const std::string* input, uint32_t output_size) = 0;
};

}  // namespace vorn
