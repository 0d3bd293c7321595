#pragma once
// While the service holds a tunnel it keeps it true between requests: an engine that exits
// takes the tunnel down and is followed by a few reconnects, and a full tunnel's route
// exceptions follow the machine's default route and are added again when a route change drops
// them. Runs only in the pipe loop's idle turns, so tunnel operations still run one at a time.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "full_tunnel/routes.h"
#include "platform/platform.h"
#include "service/ipc.h"

namespace vorn {

inline constexpr std::string_view kEngineExitedCode = "TUNNEL_ENGINE_EXITED";
// Waits before each reconnect, counted from the exit or from the end of the try before.
inline constexpr std::array<uint32_t, 5> kReconnectDelaysMs = {2000, 4000, 8000, 16000, 32000};

class TunnelWatch final : public PipeLoopHooks {
public:
    explicit TunnelWatch(Platform& platform) : platform_(platform) {}

    // Watches the engines the pid files name (a connect or resume just succeeded).
    void tunnel_connected() override;
    // A request replaces whatever is watched or being retried.
    void request_starting() override;
    void idle_turn() override;

    bool watching() const { return !engines_.empty(); }
    bool retrying() const { return next_try_ms_.has_value(); }

private:
    struct Engine {
        std::string label;
        std::string_view stdout_log;
        std::string_view stderr_log;
        std::unique_ptr<ChildProcess> process;
    };

    void forget();
    void check_engines();
    void check_routes();
    void take_down(const std::string& what);
    void retry();

    Platform& platform_;
    std::vector<Engine> engines_;
    bool full_ = false;  // the tunnel has route exceptions to keep on the physical network
    std::optional<DefaultRoute> route_;
    std::optional<uint64_t> next_try_ms_;
    size_t retries_done_ = 0;
};

}  // namespace vorn
