#pragma once
// The ports the core works through. The composition root builds one and hands it down.

#include <iosfwd>

#include "platform/clock.h"
#include "platform/environment.h"
#include "platform/network.h"
#include "platform/processes.h"
#include "platform/tools.h"

namespace vorn {

struct Platform {
    Environment& env;
    ToolRunner& tools;
    Clock& clock;
    ProcessLauncher& processes;
    Network& net;
    std::ostream& out;
    std::ostream& err;
};

}  // namespace vorn
