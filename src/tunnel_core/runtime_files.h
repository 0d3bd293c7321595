#pragma once
// The runtime directory belongs to the service: it is created private (only LocalSystem and
// Administrators get in; the status record alone is readable by the logged-on users), moved aside
// and made anew when someone else owns it or may write it, and nothing in it that another account
// owns or can change is read. Files are written whole: a new file moved over the old one.

#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"
#include "platform/platform.h"

namespace vorn {

// The fixed names in it that more than one module reads; the engines' own are in their table.
inline constexpr std::string_view kStatusFileName = "product-tunnel-status.json";
inline constexpr std::string_view kReconnectPathFileName = "product-tunnel-reconnect-request-path.txt";
// The bytes of the request behind the saved path, as the connect read them: a resume or reconnect
// uses this private copy and never opens the user's path again.
inline constexpr std::string_view kReconnectRequestFileName = "product-tunnel-reconnect-request.json";
inline constexpr std::string_view kRouteExceptionsFileName = "product-route-exceptions.json";
// The next hop the exceptions' host routes were added through (one dotted quad), beside the list
// whose format older versions share: deletes name it, so another VPN's routes stay.
inline constexpr std::string_view kRouteExceptionsNextHopFileName = "product-route-exceptions-next-hop.txt";
// The addresses a full connect resolved its server and control-plane hosts to, by host name.
inline constexpr std::string_view kResolvedHostsFileName = "product-tunnel-resolved-hosts.json";

// VornVPN\runtime under ProgramData, else the local application-data folder, else the
// temporary directory. Never creates anything.
std::string runtime_directory(Environment& env);
std::string runtime_file(Environment& env, std::string_view name);

inline constexpr std::string_view kSecureRuntimeDirFailure =
    "could not secure product tunnel runtime dir: ";

// VornVPN and VornVPN\runtime: a missing folder is created private when `create` is set (a
// failure is `create_prefix` + the cause); an existing one that another account owns or may
// write, or a link, is moved aside (a link removed) and a private one created in its place.
Status secure_runtime_directory(Platform& platform, bool create,
                                std::string_view create_prefix = {});

// Whether the entry exists and is trusted; a failed inspection counts as untrusted.
bool is_trusted_entry(FileSecurity& security, const std::string& path);
// Deletes the entry when it exists and is not trusted; a failure is the cause.
Status remove_untrusted_entry(FileSecurity& security, const std::string& path);

// The file's bytes; absent when it is missing, untrusted (never read), or the directory cannot
// be secured. A failure is the read's own error text.
Result<std::optional<std::string>> read_runtime_file(Platform& platform, std::string_view name);
// Replaces the file whole; an untrusted file of that name is deleted first. The failure is the
// cause alone: callers put their own prefix in front.
Status write_runtime_file(Platform& platform, std::string_view name, std::string_view bytes);
// The same for any path: a new file beside it moved over it; when a reader holds it open,
// create or truncate and write.
Status write_file_atomically(Platform& platform, const std::string& path, std::string_view bytes,
                             FileReaders readers = FileReaders::Private);

}  // namespace vorn
