// taskkill /PID N [/T] [/F]: ends the process and, with /T, its descendants.

#include "common/sim.h"

using namespace winsim;

static void collect(uint32_t root, const std::vector<ProcessEntry>& all, std::vector<uint32_t>& out_ids) {
    for (const ProcessEntry& p : all) {
        if (p.parent == root && p.pid != root) {
            bool seen = false;
            for (uint32_t id : out_ids) seen = seen || id == p.pid;
            if (!seen) {
                out_ids.push_back(p.pid);
                collect(p.pid, all, out_ids);
            }
        }
    }
}

static bool end_process(uint32_t pid) {
    HANDLE h = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    if (h == nullptr) return false;
    bool ok = TerminateProcess(h, 1) != 0;
    WaitForSingleObject(h, 2000);
    CloseHandle(h);
    return ok;
}

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args = begin("taskkill", argc, argv);
    std::string pid_text;
    bool tree = false;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string a = lower(args[i]);
        if (a == "/pid" && i + 1 < args.size()) pid_text = args[++i];
        else if (a == "/t") tree = true;
        else if (a != "/f") {
            err("ERROR: Invalid argument/option - '" + args[i] + "'.\n");
            return 1;
        }
    }
    uint32_t pid = static_cast<uint32_t>(std::strtoul(pid_text.c_str(), nullptr, 10));
    std::vector<ProcessEntry> all = list_processes();
    bool exists = false;
    for (const ProcessEntry& p : all) exists = exists || p.pid == pid;
    if (pid_text.empty() || !exists) {
        err("ERROR: The process \"" + pid_text + "\" not found.\n");
        return 128;
    }
    std::vector<uint32_t> victims;
    if (tree) collect(pid, all, victims);
    for (auto it = victims.rbegin(); it != victims.rend(); ++it) end_process(*it);
    if (!end_process(pid)) {
        err("ERROR: The process with PID " + pid_text + " could not be terminated.\n");
        return 1;
    }
    out("SUCCESS: The process with PID " + pid_text + " has been terminated.\n");
    return 0;
}
