#include "common/engine_sim.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "common/sim.h"

namespace winsim {

EngineFaults engine_faults(const std::string& engine) {
    EngineFaults f;
    nlohmann::json j = fault(engine);
    if (!j.is_object()) return f;
    if (j.contains("exitCode")) f.exit_code = j["exitCode"].get<unsigned long>();
    f.stderr_line = j.value("stderr", "");
    f.stdout_line = j.value("stdout", "");
    f.after_ms = j.value("afterMs", 0ul);
    f.no_listen = j.value("noListen", false);
    f.no_adapter = j.value("noAdapter", false);
    return f;
}

void require_command_line(bool ok, const std::string& usage) {
    if (ok) return;
    err(usage + "\n");
    ExitProcess(1);
}

void fail_start(const std::string& line, unsigned long code) {
    err(line + "\n");
    ExitProcess(code);
}

nlohmann::json read_config(const std::wstring& path, unsigned long code, const std::string& engine) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    if (!in) fail_start(engine + ": cannot open config file " + narrow(path), code);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    nlohmann::json config = nlohmann::json::parse(text, nullptr, false);
    if (config.is_discarded() || !config.is_object()) {
        fail_start(engine + ": failed to load config file " + narrow(path) + ": not a JSON object", code);
    }
    return config;
}

static void emit_and_exit(const EngineFaults& faults) {
    if (!faults.stdout_line.empty()) out(faults.stdout_line + "\n");
    if (!faults.stderr_line.empty()) err(faults.stderr_line + "\n");
    ExitProcess(*faults.exit_code);
}

void exit_now_if_faulted(const EngineFaults& faults) {
    if (faults.exit_code && faults.after_ms == 0) emit_and_exit(faults);
}

void listen_or_exit(const std::string& host_port, bool socks, ProxyOptions options, unsigned long code) {
    size_t colon = host_port.rfind(':');
    std::string host = colon == std::string::npos ? "" : host_port.substr(0, colon);
    int port = colon == std::string::npos ? 0 : std::atoi(host_port.c_str() + colon + 1);
    if (host.empty() || port <= 0 || port > 65535) fail_start("invalid listen address " + host_port, code);
    SOCKET listener;
    std::string error;
    if (!open_listener(host, static_cast<uint16_t>(port), listener, error)) fail_start(error, code);
    if (socks) serve_socks5(listener, options);
    else serve_http_connect(listener, options);
}

int run_until_ended(const EngineFaults& faults) {
    if (faults.exit_code) {
        Sleep(faults.after_ms);
        emit_and_exit(faults);
    }
    for (;;) Sleep(INFINITE);
}

}  // namespace winsim
