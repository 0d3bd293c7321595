#pragma once
// A simulated Windows machine for one test case: a machine folder holding the real service
// executable, the engines and the test programs (and the machine's state folder), and a
// ProgramData folder of the case's own. Programs run under Wine with a private prefix, whose
// system folder holds the tool stand-ins (put there by the prefix's setup); the machine names its
// state folder to them there.

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace vorn::wine {

// Opens a TCP connection to 127.0.0.1:port from Linux (Wine's loopback is the host's).
bool port_open(uint16_t port);
// The TCP ports listened on by the Windows programs of the test prefix (Wine keeps every
// program's sockets in the prefix's wineserver).
std::set<uint16_t> prefix_listening_ports();
// SOCKS5 no-authentication CONNECT to 127.0.0.1:target through 127.0.0.1:socks_port, then sends
// `payload` and returns what comes back until the far end closes.
std::string socks5_exchange(uint16_t socks_port, uint16_t target_port, const std::string& payload);
// A one-shot echo server on 127.0.0.1 (a thread); returns its port.
uint16_t start_echo_server();

struct RunResult {
    int rc = -1;
    std::string out;
    std::string err;
};

// A status record as the executable prints it: {"status":...,"message":...} on one line.
inline std::string compact(const std::string& status, const std::string& message) {
    nlohmann::ordered_json record;
    record["status"] = status;
    record["message"] = message;
    return record.dump();
}

// Z:\ is the Linux root under Wine.
std::string windows_path(const std::filesystem::path& linux_path);
std::string read_text(const std::filesystem::path& path);
void write_text(const std::filesystem::path& path, const std::string& text);
std::vector<std::string> lines_of(const std::string& text);

// "Suite.Name" of the running test, for its machine folder.
std::string case_name();

class WineMachine;
// A request file in the case folder for a full tunnel over `transport`; returns its Windows path.
std::string write_request(WineMachine& m, const std::string& transport,
                          const std::string& host = "203.0.113.7", const std::string& mode = "full");

class WineMachine {
public:
    explicit WineMachine(const std::string& case_name);
    ~WineMachine();
    WineMachine(const WineMachine&) = delete;
    WineMachine& operator=(const WineMachine&) = delete;

    std::filesystem::path machine() const { return root_ / "machine"; }
    std::filesystem::path state() const { return root_ / "machine" / "state"; }
    std::filesystem::path program_data() const { return root_ / "pd"; }
    std::filesystem::path runtime() const { return root_ / "pd" / "VornVPN" / "runtime"; }
    std::string service_exe() const { return windows_path(machine() / "vorn-tunnel-service.exe"); }
    // The prefix's system folder (C:\windows\system32) and a tool stand-in's Windows path there.
    static std::filesystem::path system_directory();
    static std::string system_tool(const std::string& name);

    // Runs the service executable with ProgramData set to the case's folder (or unset, when
    // `program_data` is false) and waits for it.
    RunResult service(const std::vector<std::string>& args, bool with_program_data = true);
    // Runs a program of the machine folder with ProgramData set to the case's folder.
    RunResult program(const std::string& name, const std::vector<std::string>& args);
    // Runs any program of the machine folder (or a Windows path) directly.
    RunResult run(const std::vector<std::string>& windows_argv, int timeout_seconds = 60);

    // Starts idle.exe under another image name and returns its Windows process id.
    uint32_t start_idle(const std::string& image_name, int seconds = 120);

    nlohmann::json state_json(const std::string& name) const;
    void set_state_json(const std::string& name, const nlohmann::json& value);
    void set_fault(const std::string& name, const nlohmann::json& value);
    // What the stand-ins were asked to do, one "tool arg|arg" line per call.
    std::vector<std::string> calls() const;

private:
    std::filesystem::path root_;
    std::vector<pid_t> background_;
};

// Whether the machine's routing table holds both of the tunnel's half-default routes through
// its address 172.19.0.1.
bool tunnel_routes_up(const WineMachine& m);

}  // namespace vorn::wine
