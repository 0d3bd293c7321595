// A pipe request as any local user may send it, served on fakes whose tools, processes, status
// and pid files all say what the input says. Every answer is one status record.

#include <fuzzer/FuzzedDataProvider.h>

#include "fakes.h"
#include "fuzz_check.h"
#include "service/ipc.h"
#include "tunnel_core/pid_files.h"
#include "tunnel_core/runtime_files.h"

namespace {

using namespace vorn;
using namespace vorn::testing;

std::string some_bytes(FuzzedDataProvider& in, size_t most) { return in.ConsumeRandomLengthString(most); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    FakePlatform f;
    const std::string runtime = f.runtime();
    FUZZ_CHECK(create_directories(runtime).ok());
    // Engines that exist, so that a connect gets as far as the input lets it.
    for (const char* engine : {"XRAY", "HYSTERIA", "TUIC"}) {
        std::string path = join_path(f.dir.str(), std::string(engine) + ".exe");
        FUZZ_CHECK(write_file(path, "MZ").ok());
        f.env.variables[std::string("VORN_") + engine + "_PATH"] = path;
    }
    // What earlier runs (or anyone) left in the runtime directory.
    if (in.ConsumeBool()) (void)write_file(join_path(runtime, kStatusFileName), some_bytes(in, 256));
    for (const EnginePidFile& pid : kEnginePidFiles) {
        if (in.ConsumeBool()) (void)write_file(join_path(runtime, pid.file_name), some_bytes(in, 16));
    }
    if (in.ConsumeBool()) (void)write_file(join_path(runtime, "product-route-exceptions.json"), some_bytes(in, 128));
    f.net.accept_from = in.ConsumeIntegralInRange<int>(0, 3);
    f.processes.exit_after_polls = in.ConsumeIntegralInRange<int>(-1, 3);
    f.processes.exit_code = in.ConsumeIntegral<uint32_t>();
    f.sockets.listen_error = "no sockets here";  // a split start stops before any relay thread

    std::string message;
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0: message = some_bytes(in, 4096); break;
        case 1: message = R"({"command":"status"})"; break;
        case 2: message = R"({"command":"disconnect","requestPath":null})"; break;
        default: {
            std::string request = join_path(f.dir.str(), "request.json");
            (void)write_file(request, some_bytes(in, 2048));
            message = nlohmann::json{{"command", "connect"}, {"requestPath", request}}.dump();
        }
    }
    bool client_may_read = in.ConsumeBool();
    // Every tool answers with what is left of the input.
    f.tools.handler = [&in](const ToolCall&) -> Result<ToolRun> {
        if (in.remaining_bytes() > 0 && in.ConsumeIntegralInRange<int>(0, 15) == 0) return fail("tool did not start");
        uint32_t code = in.ConsumeIntegralInRange<uint32_t>(0, 2);
        std::string out = in.ConsumeRandomLengthString(512);
        return ToolRun{code, out, in.ConsumeRandomLengthString(64)};
    };

    std::string answer = handle_ipc_request(f.platform, message, [client_may_read](const std::string& path) -> Result<OpenedFile> {
        if (!client_may_read) return fail("Access is denied. (os error 5)");
        auto bytes = read_file(path);
        if (!bytes) return bytes.failure();
        return OpenedFile{std::move(*bytes), path};
    });
    fuzz::check_status_line(answer);
    FUZZ_CHECK(answer != kUnrenderableResponse);
    // Whatever was recorded reads back as a record.
    if (auto text = read_file(join_path(runtime, kStatusFileName)); text && !f.tools.calls.empty()) {
        (void)parse_status(*text);
    }
    return 0;
}
