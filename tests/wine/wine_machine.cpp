#include "wine_machine.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace vorn::wine {

namespace fs = std::filesystem;

std::string windows_path(const fs::path& linux_path) {
    std::string text = fs::absolute(linux_path).string();
    for (char& c : text) {
        if (c == '/') c = '\\';
    }
    return "Z:" + text;
}

std::string read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_text(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream s(text);
    for (std::string line; std::getline(s, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

static pid_t spawn(const std::vector<std::string>& argv, const fs::path& out, const fs::path& err) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> raw;
    for (const auto& a : argv) raw.push_back(const_cast<char*>(a.c_str()));
    raw.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, raw[0], &actions, nullptr, raw.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
    return pid;
}

// The stand-ins that scripts/lib/winsim-system.sh puts in the prefix's system folder.
const std::array<std::string, 7> kSystemTools = {"route.exe", "netsh.exe", "tasklist.exe", "taskkill.exe",
                                                 "net.exe",   "curl.exe",  "powershell.exe"};

fs::path WineMachine::system_directory() { return fs::path(VORN_WINE_PREFIX) / "drive_c" / "windows" / "system32"; }

std::string WineMachine::system_tool(const std::string& name) {
    return std::string("C:\\windows\\system32\\") + (name == "powershell.exe" ? "WindowsPowerShell\\v1.0\\" : "") + name;
}

// Every Wine run of the suite shares one private prefix and never needs a display.
static void use_private_prefix() {
    setenv("WINEPREFIX", VORN_WINE_PREFIX, 1);
    setenv("WINEDEBUG", "-all", 1);
    setenv("WINEDLLOVERRIDES", "mscoree=;mshtml=", 1);
    unsetenv("DISPLAY");
}

WineMachine::WineMachine(const std::string& case_name) {
    use_private_prefix();
    fs::path bin = VORN_WINDOWS_BIN_DIR;
    if (!fs::exists(bin / "vorn-tunnel-service.exe")) {
        throw std::runtime_error("the windows build is missing: " + bin.string() +
                                 " (build the windows preset first)");
    }
    root_ = fs::path(VORN_WINE_CASES_DIR) / case_name;
    fs::remove_all(root_);
    fs::create_directories(state());
    fs::create_directories(program_data());
    for (const auto& entry : fs::directory_iterator(bin)) {
        // The stand-in wintun.dll is not laid out: the executable carries it and writes it out.
        const std::string name = entry.path().filename().string();
        if (entry.path().extension() == ".exe" && std::count(kSystemTools.begin(), kSystemTools.end(), name) == 0) {
            fs::copy_file(entry.path(), machine() / name);
        }
    }
    for (const auto& entry : fs::directory_iterator(bin / "machine")) {
        fs::copy_file(entry.path(), state() / entry.path().filename());
    }
    write_text(system_directory() / "winsim-state.txt", windows_path(state()));
}

WineMachine::~WineMachine() {
    // Ends every Windows process of the prefix (engines hold the fixed ports) and its services,
    // and waits until that server is gone: a program started while it still shuts down fails.
    for (const char* step : {"-k", "-w"}) {
        pid_t pid = spawn({"wineserver", step}, "/dev/null", "/dev/null");
        waitpid(pid, nullptr, 0);
    }
    for (pid_t pid : background_) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

RunResult WineMachine::program(const std::string& name, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {windows_path(machine() / "launch.exe"), "--set",
                                     "ProgramData=" + windows_path(program_data()), "--",
                                     windows_path(machine() / name)};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, 300);
}

std::string case_name() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string(info->test_suite_name()) + "." + info->name();
}

std::string write_request(WineMachine& m, const std::string& transport, const std::string& host,
                          const std::string& mode) {
    fs::path path = m.program_data().parent_path() / "request.json";
    write_text(path, R"({"tunnelMode":")" + mode + R"(","transport":")" + transport + R"(",
      "config":{"server":{"host":")" + host + R"(","port":443,"sni":"vpn.example.com"},
                "user":{"uuid":"11111111-2222-3333-4444-555555555555","password":"secret"}},
      "splitTunnelPolicy":{}})");
    return windows_path(path);
}

static int connect_loopback(uint16_t port) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(s);
        return -1;
    }
    return s;
}

bool port_open(uint16_t port) {
    int s = connect_loopback(port);
    if (s < 0) return false;
    close(s);
    return true;
}

std::set<uint16_t> prefix_listening_ports() {
    const std::string prefix = std::string("WINEPREFIX=") + VORN_WINE_PREFIX + '\0';
    std::set<std::string> inodes;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        if (read_text(entry.path() / "cmdline").find("wineserver") == std::string::npos) continue;
        if (read_text(entry.path() / "environ").find(prefix) == std::string::npos) continue;
        std::error_code ignored;
        for (const auto& fd : fs::directory_iterator(entry.path() / "fd", ignored)) {
            std::string target = fs::read_symlink(fd.path(), ignored).string();
            if (target.rfind("socket:[", 0) == 0) inodes.insert(target.substr(8, target.size() - 9));
        }
    }
    std::set<uint16_t> ports;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::istringstream rows(read_text(table));
        std::string row;
        std::getline(rows, row);  // the header
        while (std::getline(rows, row)) {
            // sl local remote st tx:rx tr:when retrnsmt uid timeout inode
            std::istringstream fields(row);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
            fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
            if (state == "0A" && inodes.count(inode) != 0) {
                ports.insert(static_cast<uint16_t>(std::stoul(local.substr(local.find(':') + 1), nullptr, 16)));
            }
        }
    }
    return ports;
}

std::string socks5_exchange(uint16_t socks_port, uint16_t target_port, const std::string& payload) {
    int s = connect_loopback(socks_port);
    if (s < 0) return "<no connection>";
    timeval limit{10, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    unsigned char hello[3] = {5, 1, 0};
    unsigned char request[10] = {5, 1, 0, 1, 127, 0, 0, 1, static_cast<unsigned char>(target_port >> 8),
                                 static_cast<unsigned char>(target_port & 255)};
    unsigned char reply[10];
    std::string got;
    if (send(s, hello, 3, 0) != 3 || recv(s, reply, 2, MSG_WAITALL) != 2 || reply[1] != 0 ||
        send(s, request, 10, 0) != 10 || recv(s, reply, 10, MSG_WAITALL) != 10 || reply[1] != 0) {
        close(s);
        return "<socks refused>";
    }
    send(s, payload.data(), payload.size(), 0);
    shutdown(s, SHUT_WR);
    char buffer[4096];
    for (ssize_t n; (n = recv(s, buffer, sizeof buffer, 0)) > 0;) got.append(buffer, static_cast<size_t>(n));
    close(s);
    return got;
}

uint16_t start_echo_server() {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener, 4);
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    std::thread([listener] {
        int client = accept(listener, nullptr, nullptr);
        char buffer[4096];
        for (ssize_t n; (n = recv(client, buffer, sizeof buffer, 0)) > 0;) send(client, buffer, static_cast<size_t>(n), 0);
        close(client);
        close(listener);
    }).detach();
    return ntohs(address.sin_port);
}

RunResult WineMachine::run(const std::vector<std::string>& windows_argv, int timeout_seconds) {
    std::vector<std::string> argv = {"wine"};
    argv.insert(argv.end(), windows_argv.begin(), windows_argv.end());
    // Runs may overlap (a probe in the background while the test asks the service), so each
    // gets output files of its own.
    static std::atomic<unsigned> next_run{0};
    const std::string run_id = std::to_string(next_run++);
    fs::path out = root_ / ("run-" + run_id + "-stdout.txt");
    fs::path err = root_ / ("run-" + run_id + "-stderr.txt");
    pid_t pid = spawn(argv, out, err);
    RunResult result;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
    int status = 0;
    for (;;) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            throw std::runtime_error("timed out: " + windows_argv.front());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    result.rc = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = read_text(out);
    result.err = read_text(err);
    return result;
}

RunResult WineMachine::service(const std::vector<std::string>& args, bool with_program_data) {
    std::vector<std::string> argv = {windows_path(machine() / "launch.exe")};
    if (with_program_data) {
        argv.insert(argv.end(), {"--set", "ProgramData=" + windows_path(program_data())});
    } else {
        argv.insert(argv.end(), {"--unset", "ProgramData"});
    }
    argv.push_back("--");
    argv.push_back(service_exe());
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, 300);
}

uint32_t WineMachine::start_idle(const std::string& image_name, int seconds) {
    fs::path image = machine() / image_name;
    if (!fs::exists(image)) fs::copy_file(machine() / "idle.exe", image);
    fs::path pid_file = root_ / (image_name + ".winpid");
    fs::remove(pid_file);
    background_.push_back(spawn({"wine", windows_path(image), std::to_string(seconds), windows_path(pid_file)},
                                "/dev/null", "/dev/null"));
    for (int i = 0; i < 500; ++i) {
        std::string text = read_text(pid_file);
        if (!text.empty()) return static_cast<uint32_t>(std::stoul(text));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    throw std::runtime_error("idle process did not start: " + image_name);
}

nlohmann::json WineMachine::state_json(const std::string& name) const {
    return nlohmann::json::parse(read_text(state() / name));
}

void WineMachine::set_state_json(const std::string& name, const nlohmann::json& value) {
    write_text(state() / name, value.dump(2));
}

void WineMachine::set_fault(const std::string& name, const nlohmann::json& value) {
    nlohmann::json faults = fs::exists(state() / "faults.json") ? state_json("faults.json") : nlohmann::json::object();
    faults[name] = value;
    set_state_json("faults.json", faults);
}

std::vector<std::string> WineMachine::calls() const { return lines_of(read_text(state() / "calls.log")); }

bool tunnel_routes_up(const WineMachine& m) {
    auto listed = [routes = m.state_json("routes.json")](const char* destination) {
        for (const auto& r : routes) {
            if (r.value("destination", "") == destination && r.value("netmask", "") == "128.0.0.0" &&
                r.value("gateway", "") == "172.19.0.1") {
                return true;
            }
        }
        return false;
    };
    return listed("0.0.0.0") && listed("128.0.0.0");
}

}  // namespace vorn::wine
