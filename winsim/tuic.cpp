// TUIC stand-in: tuic.exe -c CONFIG. Reads the client document and opens its SOCKS5 listener
// at local.server.

#include "common/engine_sim.h"
#include "common/sim.h"

using namespace winsim;

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args = begin("tuic", argc, argv);
    require_command_line(args.size() == 2 && args[0] == "-c", "usage: tuic -c CONFIG");
    nlohmann::json config = read_config(argv[2], 1, "tuic");
    EngineFaults faults = engine_faults("tuic");
    exit_now_if_faulted(faults);
    if (!config.contains("relay") || !config["relay"].is_object() || !config.contains("local") ||
        !config["local"].is_object() || !config["relay"].contains("uuid")) {
        fail_start("Error: failed to parse config: missing field relay/local/uuid", 1);
    }
    winsock_start();
    if (!faults.no_listen) listen_or_exit(config["local"].value("server", ""), true, {}, 1);
    out("[INFO] socks5 server listening on " + config["local"].value("server", "") + "\n");
    return run_until_ended(faults);
}
