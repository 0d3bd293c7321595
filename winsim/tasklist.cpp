// tasklist: the real process list in the CSV layout, with the PID and IMAGENAME filters.

#include "common/sim.h"

using namespace winsim;

static std::string csv_row(const ProcessEntry& p) {
    return "\"" + p.image + "\",\"" + std::to_string(p.pid) + "\",\"Services\",\"0\",\"4,096 K\"\n";
}

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args = begin("tasklist", argc, argv);
    bool csv = false, header = true;
    std::vector<std::pair<std::string, std::string>> filters;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string a = lower(args[i]);
        if (a == "/fo" && i + 1 < args.size()) {
            csv = iequals(args[++i], "CSV");
        } else if (a == "/nh") {
            header = false;
        } else if (a == "/fi" && i + 1 < args.size()) {
            std::string f = args[++i];
            size_t eq = lower(f).find(" eq ");
            if (eq == std::string::npos) {
                err("ERROR: The search filter cannot be recognized.\n");
                return 1;
            }
            filters.emplace_back(lower(f.substr(0, eq)), f.substr(eq + 4));
        } else {
            err("ERROR: Invalid argument/option - '" + args[i] + "'.\nType \"TASKLIST /?\" for usage.\n");
            return 1;
        }
    }
    if (!csv) {
        err("ERROR: this simulated tasklist prints only the CSV format (/FO CSV).\n");
        return 1;
    }
    std::string rows;
    for (const ProcessEntry& p : list_processes()) {
        bool match = true;
        for (const auto& [key, value] : filters) {
            if (key == "pid") match = match && std::to_string(p.pid) == value;
            else if (key == "imagename") match = match && iequals(p.image, value);
            else match = false;
        }
        if (match) rows += csv_row(p);
    }
    if (rows.empty() && !filters.empty()) {
        out("INFO: No tasks are running which match the specified criteria.\n");
        return 0;
    }
    if (header) out("\"Image Name\",\"PID\",\"Session Name\",\"Session#\",\"Mem Usage\"\n");
    out(rows);
    return 0;
}
