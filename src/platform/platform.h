#pragma once
// The ports the core works through. The composition root builds one and hands it down.

#include <iosfwd>
#include <string_view>

#include "platform/clock.h"
#include "platform/driver.h"
#include "platform/environment.h"
#include "platform/file_security.h"
#include "platform/library.h"
#include "platform/network.h"
#include "platform/processes.h"
#include "platform/request_files.h"
#include "platform/service.h"
#include "platform/sockets.h"
#include "platform/tools.h"
#include "platform/wfp.h"

namespace vorn {

struct Platform {
    Environment& env;
    ToolRunner& tools;
    Clock& clock;
    ProcessLauncher& processes;
    Network& net;
    DllLoader& dlls;
    FileSecurity& files;
    Wfp& wfp;
    std::string_view wintun_image;  // the Wintun DLL carried inside the executable
    ServiceHost& service;
    PipeServer& pipes;
    ServiceClient& service_client;
    DriverServiceControl& driver_service;
    DriverDevice& driver;
    SocketApi& sockets;
    RedirectContext& redirect_context;
    RequestFiles& request_files;
    std::ostream& out;
    std::ostream& err;
    // Whether this process may create the runtime folders: the service and an elevated command
    // line do; a command line run without elevation only uses folders that are already there.
    bool may_create_runtime = true;
};

}  // namespace vorn
