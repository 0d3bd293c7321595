#include "service/reconnect.h"

#include "common/files.h"
#include "common/text.h"
#include "tunnel_core/runtime_files.h"

namespace vorn {

Status persist_reconnect_request_path(Platform& platform, const std::string& request_path) {
    if (auto written = write_runtime_file(platform, kReconnectPathFileName, decode_utf8_lossy(request_path));
        !written) {
        return fail("could not persist reconnect request path: " + written.error());
    }
    return {};
}

}  // namespace vorn
