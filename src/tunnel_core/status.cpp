#include "tunnel_core/status.h"

#include <ostream>

#include <nlohmann/json.hpp>

#include "common/json_record.h"
#include "tunnel_core/runtime_files.h"

namespace vorn {

std::string_view tunnel_state_text(TunnelState state) {
    switch (state) {
        case TunnelState::Idle: return "idle";
        case TunnelState::Connected: return "connected";
        case TunnelState::Error: return "error";
    }
    return "error";
}

std::optional<TunnelState> parse_tunnel_state(std::string_view text) {
    for (TunnelState s : {TunnelState::Idle, TunnelState::Connected, TunnelState::Error}) {
        if (tunnel_state_text(s) == text) return s;
    }
    return std::nullopt;
}

static Result<std::string> render(const TunnelStatus& status, int indent) {
    nlohmann::ordered_json record;
    record["status"] = std::string(tunnel_state_text(status.status));
    record["message"] = status.message ? nlohmann::ordered_json(*status.message) : nullptr;
    try {
        // A message with bytes that are not UTF-8 is still recorded, with U+FFFD in their place.
        return record.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
    } catch (const nlohmann::json::exception& e) {
        return fail(std::string("could not serialize status: ") + e.what());
    }
}

Result<std::string> status_to_pretty_json(const TunnelStatus& status) { return render(status, 2); }
Result<std::string> status_to_json(const TunnelStatus& status) { return render(status, -1); }

std::optional<TunnelStatus> parse_status(std::string_view text) {
    auto reader = JsonRecordReader::parse(text);
    if (!reader) return std::nullopt;
    auto state = reader->required_string("status");
    if (!state) return std::nullopt;
    auto parsed = parse_tunnel_state(*state);
    if (!parsed) return std::nullopt;
    auto message = reader->optional("message");
    if (!message || !(message->is_null() || message->is_string())) return std::nullopt;
    TunnelStatus status{*parsed, std::nullopt};
    if (message->is_string()) status.message = message->get<std::string>();
    return status;
}

Status write_status(Platform& platform, const TunnelStatus& status) {
    const bool create = platform.may_create_runtime;
    if (auto made = secure_runtime_directory(platform, create, "could not create status directory: "); !made) {
        return made;
    }
    if (!create) {
        // No folder to keep the record in: the output is all there is.
        auto there = platform.files.inspect(runtime_directory(platform.env));
        if (there && !*there) return {};
    }
    auto text = status_to_pretty_json(status);
    if (!text) return text.failure();
    if (auto written = write_runtime_file(platform, kStatusFileName, *text); !written) {
        return fail("could not write status: " + written.error());
    }
    return {};
}

std::optional<TunnelStatus> read_status(Platform& platform) {
    auto text = read_runtime_file(platform, kStatusFileName);
    if (!text || !*text) return std::nullopt;
    return parse_status(**text);
}

Status print_status(std::ostream& out, const TunnelStatus& status) {
    auto text = status_to_json(status);
    if (!text) return text.failure();
    out << *text << '\n';
    out.flush();
    return {};
}

std::string report_failed_status(Platform& platform, const TunnelStatus& status) {
    (void)write_status(platform, status);
    if (auto printed = print_status(platform.out, status); !printed) return printed.error();
    return status.message.value_or("SERVICE_ERROR");
}

}  // namespace vorn
