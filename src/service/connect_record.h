#pragma once
// One connect for every caller (the command line, the pipe, the resume at service start). They
// differ only in the cleanup they run after a failure and in whether a path or status that
// cannot be saved after a success fails them.

#include <string>

#include "common/result.h"
#include "platform/platform.h"
#include "tunnel_core/request.h"
#include "tunnel_core/status.h"

namespace vorn {

enum class SavePath { Never, Required, BestEffort };

struct ConnectHandling {
    bool stop_split_session_on_failure;
    bool remove_wfp_objects_on_failure;
    SavePath save_path;
    bool status_write_required;  // after a success
    // The connect re-establishes the tunnel it was told to keep: a full tunnel's firewall that
    // still stands is replaced, never lifted, and stays after a failure.
    bool keep_firewall;
};

// A failed command-line connect undoes only what it started itself: the split policy, the redirect
// listener and the filters belong to the service, whose tunnel may still be up.
inline constexpr ConnectHandling kCommandLineConnect{false, false, SavePath::Required, true, false};
inline constexpr ConnectHandling kPipeConnect{false, true, SavePath::BestEffort, false, false};
// The resume at service start and the tunnel watch's reconnects. The saved path is left as it is.
inline constexpr ConnectHandling kResumeConnect{false, false, SavePath::Never, false, true};

// Connects; after a failure runs the caller's cleanup, then undoes what the connect started,
// then records the error. After a success saves the path and records the status. The result is
// the recorded status, or the failure to save a path or status that `handling` requires (then
// nothing is recorded).
Result<TunnelStatus> connect_and_record(Platform& platform, const std::string& request_path,
                                        const RequestBytesReader& read, const ConnectHandling& handling);

}  // namespace vorn
