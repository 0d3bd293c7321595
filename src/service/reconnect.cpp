#include "service/reconnect.h"

#include "common/files.h"
#include "common/text.h"
#include "tunnel_core/runtime_files.h"

namespace vorn {

Status persist_reconnect_request(Platform& platform, const std::string& request_path, std::string_view bytes) {
    // The copy first: a path saved without its copy would mean a resume that cannot happen.
    if (auto copied = write_runtime_file(platform, kReconnectRequestFileName, bytes); !copied) {
        return fail("could not persist reconnect request: " + copied.error());
    }
    if (auto written = write_runtime_file(platform, kReconnectPathFileName, decode_utf8_lossy(request_path));
        !written) {
        return fail("could not persist reconnect request path: " + written.error());
    }
    return {};
}

std::optional<Result<std::pair<std::string, std::string>>> saved_reconnect_request(Platform& platform) {
    using Saved = Result<std::pair<std::string, std::string>>;
    auto path = read_runtime_file(platform, kReconnectPathFileName);
    if (!path || !*path) return std::nullopt;
    auto bytes = read_runtime_file(platform, kReconnectRequestFileName);
    if (!bytes) return Saved(fail("its saved copy could not be read: " + bytes.error()));
    if (!*bytes) return Saved(fail("its saved copy is missing from the runtime directory"));
    return Saved(std::pair(std::string(trim(decode_utf8_lossy(**path))), std::move(**bytes)));
}

}  // namespace vorn
