#include "tunnel/disconnect.h"

#include "common/files.h"
#include "engines/engine_stop.h"
#include "split_tunnel/firewall.h"
#include "split_tunnel/split_session.h"
#include "split_tunnel/wfp_cleanup.h"
#include "tunnel/network_restore.h"
#include "tunnel_core/runtime_files.h"

namespace vorn {

TunnelStatus disconnect_product_tunnel(Platform& platform) {
    remove_file(runtime_file(platform.env, kReconnectPathFileName));
    remove_file(runtime_file(platform.env, kReconnectRequestFileName));
    remove_file(runtime_file(platform.env, kResolvedHostsFileName));
    return take_down_product_tunnel(platform);
}

TunnelStatus take_down_product_tunnel(Platform& platform, bool keep_firewall) {
    restore_full_tunnel_network(platform);
    stop_split_session(platform);
    Status stopped = stop_engines(platform);
    // Even when an engine would not stop: a firewall left behind would keep the machine offline.
    if (keep_firewall && full_tunnel_firewall_present(platform)) {
        (void)withdraw_adapter_permit(platform);
    } else {
        (void)remove_wfp_objects(platform);
    }
    if (!stopped) return failed_status(stopped.failure());
    return make_status(TunnelState::Idle, "Vorn product tunnel disconnected");
}

}  // namespace vorn
