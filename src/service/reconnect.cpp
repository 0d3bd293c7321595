#include "service/reconnect.h"

#include "common/files.h"
#include "common/text.h"
#include "service/status.h"
#include "tunnel/disconnect.h"

namespace vorn {

Status persist_reconnect_request_path(Environment& env, const std::string& request_path) {
    if (auto written = write_file(runtime_file(env, kReconnectPathFileName), decode_utf8_lossy(request_path));
        !written) {
        return fail("could not persist reconnect request path: " + written.error());
    }
    return {};
}

}  // namespace vorn
