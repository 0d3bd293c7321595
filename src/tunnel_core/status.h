#pragma once
// The status record every tunnel operation leaves behind, and its file.

#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"
#include "platform/platform.h"

namespace vorn {

enum class TunnelState { Idle, Connected, Error };

struct TunnelStatus {
    TunnelState status = TunnelState::Idle;
    std::optional<std::string> message;

    bool operator==(const TunnelStatus&) const = default;
};

std::string_view tunnel_state_text(TunnelState state);
std::optional<TunnelState> parse_tunnel_state(std::string_view text);

// Pretty form for the file (two-space indent, no trailing line feed) and compact form for
// standard output and the pipe.
Result<std::string> status_to_pretty_json(const TunnelStatus& status);
Result<std::string> status_to_json(const TunnelStatus& status);
// The record in a status file's text; absent when the text is not one readable record.
std::optional<TunnelStatus> parse_status(std::string_view text);

Status write_status(Platform& platform, const TunnelStatus& status);
std::optional<TunnelStatus> read_status(Platform& platform);
Status print_status(std::ostream& out, const TunnelStatus& status);
// Records (ignoring failure) and prints an error record; returns the command's failure text.
std::string report_failed_status(Platform& platform, const TunnelStatus& status);

inline TunnelStatus make_status(TunnelState state, std::string message) {
    return TunnelStatus{state, std::move(message)};
}

// The error record of a failure: the one place its code meets its message ("CODE: message").
inline TunnelStatus failed_status(const Failure& failure) {
    return make_status(TunnelState::Error, failure.rendered());
}

}  // namespace vorn
