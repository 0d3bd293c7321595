#pragma once
// The Windows service control manager and the named pipe the service serves.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "common/result.h"
#include "platform/request_files.h"

namespace vorn {

enum class ServiceState { StartPending, Running, StopPending, Stopped };

class ServiceHost {
public:
    virtual ~ServiceHost() = default;
    // Hands the process to the service control manager, which runs `service_main` on a thread
    // of its own; returns once the service has stopped, or the dispatcher's failure message.
    virtual Status run_dispatcher(const std::string& name, std::function<void()> service_main) = 0;
    // Registers the control handler; false when the registration failed.
    virtual bool register_control_handler(const std::string& name, std::function<void(uint32_t)> handler) = 0;
    // Reports the state; a running service accepts stop and shutdown, other states nothing.
    virtual void report_status(ServiceState state) = 0;
};

enum class PipeConnect { Connected, Listening, Failed };
enum class PipeError { None, NoData, BrokenPipe, Other };

struct PipeIo {
    bool ok = false;
    size_t bytes = 0;
    PipeError error = PipeError::None;
};

// One instance of the service's pipe; closed when dropped.
class PipeInstance {
public:
    virtual ~PipeInstance() = default;
    // Non-blocking: a client is connected, none is yet, or the pipe failed.
    virtual PipeConnect connect() = 0;
    virtual PipeIo read(char* buffer, size_t size) = 0;
    virtual PipeIo write(const char* data, size_t size) = 0;
    virtual void disconnect() = 0;
    // Opens `path` while impersonating the connected client and reads it through that one
    // handle; only a regular file on a local disk is read. The failure is the system's text.
    virtual Result<OpenedFile> read_as_client(const std::string& path) = 0;
};

struct PipeCreateFailure {
    bool name_taken = false;  // another process holds the pipe's name
    std::string cause;        // the system's error text
};

class PipeServer {
public:
    virtual ~PipeServer() = default;
    // Builds the security descriptor and creates the pipe's only instance, refusing a name that
    // already exists; null when that failed, with `failure` saying why.
    virtual std::unique_ptr<PipeInstance> create(PipeCreateFailure& failure) = 0;
};

}  // namespace vorn
