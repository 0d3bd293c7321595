#include "service/connect_record.h"

#include "common/undo.h"
#include "service/reconnect.h"
#include "split_tunnel/firewall.h"
#include "split_tunnel/split_session.h"
#include "split_tunnel/wfp_cleanup.h"
#include "tunnel/connect.h"

namespace vorn {

Result<TunnelStatus> connect_and_record(Platform& platform, const std::string& request_path,
                                        const RequestBytesReader& read, const ConnectHandling& handling) {
    UndoLog undo;
    ConnectGuard guard;
    guard.firewall_held = handling.keep_firewall && full_tunnel_firewall_present(platform);
    // The bytes the connect was made with are the ones kept for a resume.
    std::optional<std::string> used;
    auto keep_bytes = [&read, &used](const std::string& path) {
        auto bytes = read(path);
        if (bytes) used = *bytes;
        return bytes;
    };
    auto connected = connect_product_tunnel(platform, request_path, keep_bytes, undo, guard);
    if (!connected) {
        if (handling.stop_split_session_on_failure) stop_split_session(platform);
        if (handling.remove_wfp_objects_on_failure) (void)remove_wfp_objects(platform);
        undo.run();
        TunnelStatus failed = failed_status(connected.failure());
        (void)write_status(platform, failed);
        return failed;
    }
    undo.keep();
    if (handling.save_path != SavePath::Never) {
        Status saved = persist_reconnect_request(platform, request_path, used.value_or(""));
        if (!saved && handling.save_path == SavePath::Required) return saved.failure();
    }
    Status written = write_status(platform, *connected);
    if (!written && handling.status_write_required) return written.failure();
    return *connected;
}

}  // namespace vorn
