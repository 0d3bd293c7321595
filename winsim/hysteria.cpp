// Hysteria2 stand-in: hysteria.exe client -c CONFIG --disable-update-check. Reads the client
// document and opens its SOCKS5 listener at socks5.listen.

#include "common/engine_sim.h"
#include "common/sim.h"

using namespace winsim;

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args = begin("hysteria", argc, argv);
    require_command_line(args.size() == 4 && args[0] == "client" && args[1] == "-c" &&
                             args[3] == "--disable-update-check",
                         "usage: hysteria client -c CONFIG --disable-update-check");
    nlohmann::json config = read_config(argv[3], 1, "hysteria");
    EngineFaults faults = engine_faults("hysteria");
    exit_now_if_faulted(faults);
    if (!config.contains("server") || !config["server"].is_string() || config["server"].get<std::string>().empty() ||
        !config.contains("socks5") || !config["socks5"].is_object()) {
        fail_start("FATAL: failed to load client config: server and socks5 are required", 1);
    }
    winsock_start();
    if (!faults.no_listen) listen_or_exit(config["socks5"].value("listen", ""), true, {}, 1);
    out("INFO: SOCKS5 server listening on " + config["socks5"].value("listen", "") + "\n");
    return run_until_ended(faults);
}
