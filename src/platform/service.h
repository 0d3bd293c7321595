#pragma once
// The Windows service control manager and the named pipe the service serves.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
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
// MoreData: the message is larger than the buffer given; the rest of it waits unread.
enum class PipeError { None, NoData, BrokenPipe, MoreData, Other };

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
    // Looks at the pipe without taking anything from it: `bytes` is what is left of the client's
    // next message (0 while none has come); a broken pipe once the client has closed its end.
    virtual PipeIo peek() = 0;
    virtual void disconnect() = 0;
    // Opens `path` while impersonating the connected client and reads it through that one
    // handle; only a regular file on a local disk is read. The failure is the system's text.
    virtual Result<OpenedFile> read_as_client(const std::string& path) = 0;
};

// The message is the system's error text.
struct PipeCreateFailure : Failure {
    bool name_taken = false;  // another process holds the pipe's name
};

class PipeServer {
public:
    virtual ~PipeServer() = default;
    // Builds the security descriptor and creates the pipe's only instance, refusing a name that
    // already exists.
    virtual Result<std::unique_ptr<PipeInstance>, PipeCreateFailure> create() = 0;
};

enum class PipeOpen { Busy, Absent, Failed };

// The message is the system's text.
struct PipeOpenFailure : Failure {
    PipeOpen status = PipeOpen::Failed;
};

// The command line's end of the service's pipe.
class ServicePipeConnection {
public:
    virtual ~ServicePipeConnection() = default;
    // The process that serves the pipe; 0 when the system cannot tell.
    virtual uint32_t server_process_id() = 0;
    // Sends one message and waits for the one answer; the failure is the system's text.
    virtual Result<std::string> exchange(const std::string& request) = 0;
};

class ServiceClient {
public:
    virtual ~ServiceClient() = default;
    // The process id of the service `name` while it runs; absent when it is not installed, not
    // running, or cannot be asked.
    virtual std::optional<uint32_t> running_service_pid(const std::string& name) = 0;
    // Opens the service's pipe; it fails busy while another client is served, absent while
    // nobody serves it.
    virtual Result<std::unique_ptr<ServicePipeConnection>, PipeOpenFailure> open_pipe() = 0;
};

}  // namespace vorn
