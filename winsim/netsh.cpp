// netsh interface ip set address|dns name=X static ... | dhcp, recorded in the interface's
// settings. Like Windows, an unknown interface fails with text on standard output.

#include "common/sim.h"

using namespace winsim;
using nlohmann::json;

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args = begin("netsh", argc, argv);
    if (fault("netshFails").is_string()) {
        out(fault("netshFails").get<std::string>() + "\n");
        return 1;
    }
    if (args.size() < 6 || !iequals(args[0], "interface") || !iequals(args[1], "ip") ||
        !iequals(args[2], "set") || lower(args[4]).rfind("name=", 0) != 0) {
        out("The following command was not found: " + (args.empty() ? std::string() : args[0]) + ".\n");
        return 1;
    }
    std::string what = lower(args[3]);
    std::string name = args[4].substr(5);
    std::string mode = lower(args[5]);
    json settings;
    if (what == "address" && mode == "static" && args.size() >= 8) {
        settings = {{"address", args[6]}, {"mask", args[7]}, {"addressSource", "static"}};
    } else if (what == "address" && mode == "dhcp") {
        settings = {{"addressSource", "dhcp"}};
    } else if (what == "dns" && mode == "static" && args.size() >= 7) {
        settings = {{"dns", args[6]}, {"dnsSource", "static"}};
    } else if (what == "dns" && mode == "dhcp") {
        settings = {{"dnsSource", "dhcp"}};
    } else {
        out("The syntax supplied for this command is not valid. Check help for the correct syntax.\n");
        return 1;
    }
    if (!update_interface(name, settings)) {
        out("The filename, directory name, or volume label syntax is incorrect.\n\n");
        return 1;
    }
    out("\n");
    return 0;
}
