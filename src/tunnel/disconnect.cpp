#include "tunnel/disconnect.h"

#include "common/files.h"
#include "engines/engine_stop.h"
#include "split_tunnel/split_session.h"
#include "split_tunnel/wfp_cleanup.h"
#include "tunnel/network_restore.h"
#include "tunnel_core/runtime_files.h"

namespace vorn {

TunnelStatus disconnect_product_tunnel(Platform& platform) {
    remove_file(runtime_file(platform.env, kReconnectPathFileName));
    return take_down_product_tunnel(platform);
}

TunnelStatus take_down_product_tunnel(Platform& platform) {
    restore_full_tunnel_network(platform);
    stop_split_session(platform);
    if (auto stopped = stop_engines(platform); !stopped) {
        return make_status(TunnelState::Error, stopped.error());
    }
    (void)remove_wfp_objects(platform);
    return make_status(TunnelState::Idle, "Vorn product tunnel disconnected");
}

}  // namespace vorn
