// net session: succeeds for an administrator; the "notAdmin" fault switch says otherwise.

#include "common/sim.h"

using namespace winsim;

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args = begin("net", argc, argv);
    if (args.empty() || !iequals(args[0], "session")) {
        err("The syntax of this command is:\n\nNET\n    [ SESSION | ... ]\n");
        return 1;
    }
    if (fault("notAdmin").is_boolean() && fault("notAdmin").get<bool>()) {
        err("System error 5 has occurred.\n\nAccess is denied.\n\n");
        return 2;
    }
    out("There are no entries in the list.\n\n");
    return 0;
}
