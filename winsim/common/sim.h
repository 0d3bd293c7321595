#pragma once
// Shared ground of the simulated machine's stand-ins: the machine's state folder, argument and
// output handling, and the real (Wine) process list.

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace winsim {

std::string narrow(const std::wstring& wide);
std::wstring widen(const std::string& utf8);
std::vector<std::string> utf8_args(int argc, wchar_t** argv);
// The file in the system folder whose one line names the state folder of the machine laid out
// now: the stand-ins there are shared by every machine of the Wine prefix.
inline constexpr char kStatePointerFile[] = "winsim-state.txt";

// The stand-in's arguments, after noting the call in state\calls.log ("tool arg|arg|...") so
// tests can see what the system ran, and its own path in state\started.log so they can see
// which copy ran.
std::vector<std::string> begin(const char* tool, int argc, wchar_t** argv);

std::wstring module_path();
std::wstring module_directory();
// <name> in the state folder: the one the system folder's pointer file names, else the folder
// "state" beside the program.
std::wstring state_path(const std::string& name);
// Appends one line to a log in the state folder; other processes may append meanwhile.
void append_state_line(const std::string& name, const std::string& line);
nlohmann::json load_state(const std::string& name, nlohmann::json fallback);
void save_state(const std::string& name, const nlohmann::json& value);
// A fault switch from state\faults.json (null when unset).
nlohmann::json fault(const std::string& name);

// Writes text to standard output or error as bytes; "\n" becomes "\r\n" as on Windows.
void out(const std::string& text);
void err(const std::string& text);

struct ProcessEntry {
    uint32_t pid;
    uint32_t parent;
    std::string image;
};
std::vector<ProcessEntry> list_processes();
bool process_alive(uint32_t pid);
// When the running process `pid` started (FILETIME units); 0 when none runs. With the pid it
// names one process even though Wine hands a freed pid to the next process at once.
uint64_t process_start_time(uint32_t pid);

// The machine's live interfaces: the fixed ones, then those an engine created while its
// process still runs (state\tunnel-interfaces.json, each with its "ownerPid").
nlohmann::json live_interfaces();
// Updates the interface named `name` (in whichever file holds it); false when there is none.
bool update_interface(const std::string& name, const nlohmann::json& settings);

uint32_t parse_ipv4(const std::string& text, bool* ok);
std::string format_ipv4(uint32_t address);

bool iequals(const std::string& a, const std::string& b);
std::string lower(std::string text);

}  // namespace winsim
