#pragma once
// Shared ground of the simulated machine's stand-ins: the state folder beside them, argument
// and output handling, and the real (Wine) process list.

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
// The stand-in's arguments, after noting the call in state\calls.log ("tool arg|arg|...") so
// tests can see what the system ran.
std::vector<std::string> begin(const char* tool, int argc, wchar_t** argv);

std::wstring module_directory();
// state\<name> beside the stand-in.
std::wstring state_path(const std::string& name);
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
