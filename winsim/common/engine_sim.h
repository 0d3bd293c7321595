#pragma once
// What the three stand-in engines share: reading their configuration, their fault switches,
// opening listeners, and living until they are ended.

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "common/proxy.h"

namespace winsim {

// faults.json: {"<engine>": {"exitCode": N, "stderr": "...", "stdout": "...", "afterMs": N,
//                            "noListen": true, "noAdapter": true}}
struct EngineFaults {
    std::optional<unsigned long> exit_code;
    std::string stderr_line;
    std::string stdout_line;
    unsigned long after_ms = 0;
    bool no_listen = false;
    bool no_adapter = false;
};

EngineFaults engine_faults(const std::string& engine);

// Exits with the usage text and code 1 unless `ok`.
void require_command_line(bool ok, const std::string& usage);
// Reads the configuration document; an unreadable or malformed one ends the engine with
// `code` and a line on stderr, as the real engine does.
nlohmann::json read_config(const std::wstring& path, unsigned long code, const std::string& engine);
// Prints the fault's lines and exits with its code, at once when it has no delay.
void exit_now_if_faulted(const EngineFaults& faults);
[[noreturn]] void fail_start(const std::string& line, unsigned long code);
// Opens and serves a listener ("host:port"), or ends the engine when it cannot.
void listen_or_exit(const std::string& host_port, bool socks, ProxyOptions options, unsigned long code);
// Lives until ended, or until a delayed exit fault fires.
int run_until_ended(const EngineFaults& faults);

}  // namespace winsim
