#include "service/diagnostics.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <ostream>

#include <nlohmann/json.hpp>

#include "common/exit_status.h"
#include "common/files.h"
#include "common/json_record.h"
#include "common/operator_settings.h"
#include "common/redact.h"
#include "common/text.h"
#include "engines/engine.h"
#include "engines/pid_owner.h"
#include "full_tunnel/probes.h"
#include "full_tunnel/route_exceptions.h"
#include "full_tunnel/route_parsers.h"
#include "full_tunnel/routes.h"
#include "service/service_main.h"
#include "split_tunnel/driver_client.h"
#include "split_tunnel/firewall.h"
#include "split_tunnel/wfp_cleanup.h"
#include "tunnel/request_path.h"
#include "tunnel_core/conflicting_vpn.h"
#include "tunnel_core/pid_files.h"
#include "tunnel_core/process_list.h"
#include "tunnel_core/request.h"
#include "tunnel_core/runtime_files.h"
#include "tunnel_core/tunnel_interface.h"

#ifndef VORN_PRODUCT_VERSION
#define VORN_PRODUCT_VERSION "unknown"
#endif

namespace vorn {

namespace {

using nlohmann::json;

enum Title : size_t {
    kVersion, kService, kStatusFile, kLiveStatus, kRuntimeDirectory, kSavedRequest, kConfigurations, kLogs,
    kExceptions, kRoutes, kAdapters, kWfp, kDriver, kEngines, kConflicts, kTitleCount
};

// Each log keeps at most this much of its end, so that one chatty engine leaves room for the others.
constexpr size_t kLogByteLimit = 16 * 1024;
constexpr size_t kListedEntryLimit = 200;
constexpr std::string_view kTrustedInstallerSid = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

// A piece of a section: text for the text rules, or a document for the JSON rules.
struct Piece {
    std::string text;
    std::optional<json> document;
};

using Section = std::vector<Piece>;

void say(Section& section, std::string_view line) { section.push_back({decode_utf8_lossy(line) + "\n", std::nullopt}); }

std::string utc_text(uint64_t unix_ms) {
    using namespace std::chrono;
    sys_time<milliseconds> at{milliseconds{unix_ms}};
    sys_days day = floor<days>(at);
    year_month_day date{day};
    hh_mm_ss<milliseconds> time{at - day};
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return text;
}

// Normalised line ends, at most `lines` from the end and then at most `bytes`, whole lines only.
std::string tail_of(std::string_view text, size_t lines, size_t bytes) {
    std::vector<std::string> all = split_lines(decode_utf8_lossy(text));
    size_t first = all.size() > lines ? all.size() - lines : 0;
    std::string kept;
    size_t left_out = first;
    for (size_t i = all.size(); i > first; --i) {
        if (kept.size() + all[i - 1].size() + 1 > bytes) {
            left_out = i;
            break;
        }
        kept.insert(0, all[i - 1] + "\n");
    }
    if (left_out > 0) kept.insert(0, "[... " + std::to_string(left_out) + " earlier lines left out]\n");
    return kept;
}

// The first `limit` bytes, cut at a line end (or at least at a whole UTF-8 character).
std::string bounded(std::string text, size_t limit) {
    if (text.size() <= limit) return text;
    size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    size_t line_end = text.rfind('\n', cut);
    if (line_end != std::string::npos && line_end > limit / 2) cut = line_end + 1;
    std::string left_out = std::to_string(text.size() - cut);
    text.resize(cut);
    if (!text.empty() && text.back() != '\n') text += '\n';
    return text + "[... " + left_out + " bytes left out]\n";
}

std::string account_name(const std::string& sid) {
    if (sid == "S-1-5-18") return "LocalSystem";
    if (sid == "S-1-5-32-544") return "Administrators";
    if (sid == kTrustedInstallerSid) return "TrustedInstaller";
    return sid.empty() ? "unknown" : sid;
}

std::string protection_text(const FileFacts& facts) {
    std::vector<std::string> problems;
    if (facts.reparse_point) problems.push_back("it is a link");
    if (!facts.trusted_owner) problems.push_back("owned by another account (" + account_name(facts.owner) + ")");
    if (facts.others_may_write) problems.push_back("other accounts may change it");
    if (problems.empty()) return "protected, owner " + account_name(facts.owner);
    return "NOT protected: " + join(problems, "; ");
}

// "host:port" (or "[v6]:port") without the port.
std::string host_of(std::string_view address) {
    size_t colon = address.rfind(':');
    if (colon != std::string_view::npos && address.find(':') == colon) address = address.substr(0, colon);
    if (address.size() > 2 && address.front() == '[') {
        size_t close = address.find(']');
        if (close != std::string_view::npos) address = address.substr(1, close - 1);
    }
    return std::string(address);
}

std::vector<std::string> csv_fields(std::string_view line) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (char c : trim(line)) {
        if (c == '"') {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

const std::vector<const EngineSpec*>& engines() {
    static const std::vector<const EngineSpec*> all = {&xray_engine(), &hysteria_engine(), &tuic_engine()};
    return all;
}

bool engine_image(const EngineSpec& engine, std::string_view image) {
    for (std::string_view name : engine.own_names) {
        if (equals_ignore_ascii_case(name, image)) return true;
    }
    return false;
}

struct RuntimeRead {
    std::optional<std::string> bytes;
    std::string why;  // when there are none
};

// What one pid file says and what runs under its id.
struct PidFileFacts {
    std::string_view file_name;
    const EngineSpec* engine = nullptr;
    std::string note;  // when no id could be had
    std::optional<uint32_t> pid;
    bool running = false;
    bool reused = false;  // the process started after the file was written
    std::string image;
};

class DiagnosticsBuilder {
public:
    explicit DiagnosticsBuilder(Platform& platform) : p_(platform), sections_(kTitleCount) {}

    DiagnosticsReport build() {
        look_at_runtime_directory();
        learn_operator_addresses();
        version();
        service();
        status_file();
        saved_request();
        configurations();
        logs();
        exceptions();
        routes();
        adapters();
        wfp();
        driver();
        engines_section();
        live_status();
        conflicts();
        return {render(), recorded_};
    }

private:
    Section& at(Title title) { return sections_[title]; }

    // Reads a runtime file only when both folders and the file itself are trusted, as the
    // system would; an untrusted folder is reported, never taken back.
    RuntimeRead read_runtime(std::string_view name) {
        if (!runtime_exists_) return {std::nullopt, "the runtime directory does not exist"};
        if (!runtime_trusted_) return {std::nullopt, "not read: the runtime directory is not protected"};
        const std::string path = runtime_file(p_.env, name);
        auto facts = p_.files.inspect(path);
        if (!facts) return {std::nullopt, "could not be inspected: " + facts.error()};
        if (!*facts) return {std::nullopt, "absent"};
        if (!(*facts)->trusted()) return {std::nullopt, "not read: " + protection_text(**facts)};
        auto bytes = read_file(path);
        if (!bytes) return {std::nullopt, "could not be read: " + bytes.error()};
        return {std::move(*bytes), {}};
    }

    void quote_output(Section& section, std::string_view text) {
        std::string kept = tail_of(text, SIZE_MAX, kDiagnosticsSectionLimit);
        if (trim(kept).empty()) kept = "(no output)\n";
        section.push_back({kept, std::nullopt});
    }

    // Runs a tool the system already uses and quotes what it printed; its standard output when it ran.
    std::optional<std::string> quote_tool(Section& section, const std::string& program,
                                          const std::vector<std::string>& args) {
        const std::string command = "> " + program + " " + join(args, " ");
        auto run = p_.tools.run(program, args, ToolStdio::Capture);
        if (!run) {
            say(section, command + ": could not run: " + run.error());
            return std::nullopt;
        }
        say(section, command + " (" + render_exit_status(run->exit_code) + ")");
        std::string text = std::string(trim(run->out));
        if (!trim(run->err).empty()) text += (text.empty() ? "" : "\n") + std::string(trim(run->err));
        quote_output(section, text);
        return run->out;
    }

    void look_at_runtime_directory() {
        const std::string runtime = runtime_directory(p_.env);
        Section& s = at(kRuntimeDirectory);
        say(s, "path: " + runtime);
        runtime_exists_ = true;
        runtime_trusted_ = true;
        for (const std::string& folder : {parent_path(runtime), runtime}) {
            auto facts = p_.files.inspect(folder);
            if (!facts) {
                say(s, folder + ": could not be inspected: " + facts.error());
                runtime_trusted_ = false;
            } else if (!*facts) {
                say(s, folder + ": does not exist (no tunnel operation has run with this ProgramData)");
                runtime_exists_ = false;
                return;
            } else {
                say(s, folder + ": " + ((*facts)->directory ? "" : "not a folder, ") + protection_text(**facts));
                runtime_trusted_ = runtime_trusted_ && (*facts)->trusted() && (*facts)->directory;
            }
        }
        std::error_code ec;
        std::vector<std::filesystem::directory_entry> entries;
        for (std::filesystem::directory_iterator it(to_fs_path(runtime), ec), end; !ec && it != end; it.increment(ec)) {
            entries.push_back(*it);
        }
        if (ec) {
            say(s, "its entries could not be listed: " + ec.message());
            return;
        }
        std::sort(entries.begin(), entries.end());
        if (entries.empty()) say(s, "it is empty");
        for (size_t i = 0; i < entries.size() && i < kListedEntryLimit; ++i) {
            const std::string path = from_fs_path(entries[i].path());
            std::string line = "  " + from_fs_path(entries[i].path().filename());
            std::error_code size_error;
            if (entries[i].is_directory(size_error)) {
                line += "  folder";
            } else if (uintmax_t size = entries[i].file_size(size_error); !size_error) {
                line += "  " + std::to_string(size) + " bytes";
            }
            if (auto written = p_.env.file_write_time_ms(path)) line += "  " + utc_text(*written);
            auto facts = p_.files.inspect(path);
            if (facts && *facts) line += "  " + protection_text(**facts);
            say(s, line);
        }
        if (entries.size() > kListedEntryLimit) {
            say(s, "[... " + std::to_string(entries.size() - kListedEntryLimit) + " more entries left out]");
        }
    }

    void learn_operator_addresses() {
        for (std::string_view address : kFixedServerAddresses) redactor_.add_kept_address(address);
        redactor_.add_kept_address(kControlPlaneHost);
        if (auto dashed = dashed_ipv4(kControlPlaneHost)) redactor_.add_kept_address(*dashed);
        // The system's own fixed destinations: the tunnel's resolvers and the probes' pins.
        for (std::string_view address : {kTunnelDns, std::string_view("8.8.8.8")}) redactor_.add_kept_address(address);
        for (const ProbeTarget& target : probe_targets()) redactor_.add_kept_address(target.pinned_address);
    }

    void learn_server_host(const std::string& host) {
        redactor_.add_server_host(host);
        if (auto dashed = dashed_ipv4(host)) redactor_.add_server_host(*dashed);
    }

    // Where an engine configuration sends traffic: Xray's outbound servers, Hysteria2's server,
    // TUIC's relay. Loopback (a backend behind Xray) never counts as the server.
    void learn_engine_servers(const json& document) {
        auto servers_in = [&](const json& list) {
            if (!list.is_array()) return;
            for (const json& server : list) {
                if (server.is_object() && server.contains("address") && server["address"].is_string()) {
                    learn_server_host(server["address"].get<std::string>());
                }
            }
        };
        if (document.contains("outbounds") && document["outbounds"].is_array()) {
            for (const json& outbound : document["outbounds"]) {
                if (!outbound.is_object() || !outbound.contains("settings") || !outbound["settings"].is_object()) continue;
                const json& settings = outbound["settings"];
                if (settings.contains("vnext")) servers_in(settings["vnext"]);
                if (settings.contains("servers")) servers_in(settings["servers"]);
            }
        }
        if (document.contains("server") && document["server"].is_string()) {
            learn_server_host(host_of(document["server"].get<std::string>()));
        }
        if (document.contains("relay") && document["relay"].is_object() && document["relay"].contains("server") &&
            document["relay"]["server"].is_string()) {
            learn_server_host(host_of(document["relay"]["server"].get<std::string>()));
        }
    }

    // A runtime JSON file as a document for the JSON rules, or as text when it is not JSON.
    void quote_runtime_json(Section& section, std::string_view name, const RuntimeRead& read,
                            const std::string& absent_reason) {
        if (!read.bytes) {
            say(section, std::string(name) + ": " + (read.why == "absent" ? absent_reason : read.why));
            return;
        }
        say(section, std::string(name) + " (" + std::to_string(read.bytes->size()) + " bytes):");
        json document = parse_untrusted_json(*read.bytes);
        if (document.is_discarded()) {
            say(section, "(not valid JSON; shown as text)");
            quote_output(section, *read.bytes);
            return;
        }
        section.push_back({{}, std::move(document)});
    }

    void version() {
        Section& s = at(kVersion);
        say(s, std::string("vorn-tunnel-service ") + VORN_PRODUCT_VERSION);
        auto exe = p_.env.executable_path();
        say(s, "executable: " + (exe ? *exe : "unknown: " + exe.error()));
        say(s, "Windows: " + p_.env.windows_version().value_or("unknown (the system did not say)"));
        say(s, "report time: " + utc_text(p_.clock.unix_time_ms()));
    }

    void service() {
        Section& s = at(kService);
        const std::string name(kServiceName);
        // State, then configuration (start type, binary path, account), then recovery actions.
        for (const char* verb : {"query", "qc", "qfailure"}) quote_tool(s, "sc.exe", {verb, name});
    }

    void status_file() {
        Section& s = at(kStatusFile);
        RuntimeRead read = read_runtime(kStatusFileName);
        if (!read.bytes) {
            say(s, std::string(kStatusFileName) + ": " + (read.why == "absent" ? "absent: no status has been recorded" : read.why));
            return;
        }
        recorded_ = parse_status(*read.bytes);
        say(s, std::string(kStatusFileName) + ":");
        quote_output(s, *read.bytes);
        if (!recorded_) say(s, "(not a status record: the system reads it as no status)");
    }

    void saved_request() {
        Section& s = at(kSavedRequest);
        RuntimeRead read = read_runtime(kReconnectPathFileName);
        if (!read.bytes) {
            say(s, std::string(kReconnectPathFileName) + ": " +
                       (read.why == "absent" ? "absent: no tunnel is up, or it was disconnected" : read.why));
            return;
        }
        const std::string path(trim(decode_utf8_lossy(*read.bytes)));
        say(s, "saved request path: " + path);
        // As the resume at service start reads it: a link on the way could lead to any file.
        auto bytes = read_saved_request_file(p_.request_files, path);
        if (!bytes) {
            say(s, "the request file was not read: " + bytes.error() +
                       " (its secrets are redacted as far as the engine configurations show them)");
            return;
        }
        redactor_.learn(parse_untrusted_json(*bytes));
        auto request = parse_product_tunnel_request(*bytes);
        if (!request) {
            say(s, "the request file is not a request: " + request.error());
            return;
        }
        if (const auto& host = request->server.host) learn_server_host(*host);
        say(s, "the request file was read; its secrets and server are redacted throughout this report");
    }

    void configurations() {
        Section& s = at(kConfigurations);
        for (const EngineSpec* engine : engines()) {
            RuntimeRead read = read_runtime(engine->config_file);
            if (read.bytes) {
                json document = parse_untrusted_json(*read.bytes);
                redactor_.learn(document);
                learn_engine_servers(document);
            }
            quote_runtime_json(s, engine->config_file, read, "absent: " + std::string(engine->label) + " is not configured");
        }
    }

    void logs() {
        Section& s = at(kLogs);
        for (const EngineSpec* engine : engines()) {
            for (std::string_view log : {engine->stdout_log, engine->stderr_log}) {
                RuntimeRead read = read_runtime(log);
                if (!read.bytes) {
                    say(s, std::string(log) + ": " + (read.why == "absent" ? "absent: the engine has not run" : read.why));
                    continue;
                }
                say(s, std::string(log) + " (last " + std::to_string(kDiagnosticsLogLines) + " lines):");
                std::string tail = tail_of(*read.bytes, kDiagnosticsLogLines, kLogByteLimit);
                s.push_back({tail.empty() ? "(empty)\n" : tail, std::nullopt});
            }
        }
    }

    void exceptions() {
        Section& s = at(kExceptions);
        RuntimeRead hosts = read_runtime(kResolvedHostsFileName);
        bool server_resolved = false;
        if (hosts.bytes) {
            json resolved = parse_untrusted_json(*hosts.bytes);
            if (resolved.is_object()) {
                for (auto it = resolved.begin(); it != resolved.end(); ++it) {
                    if (!it.value().is_string()) continue;
                    if (it.key() == kControlPlaneHost) {
                        redactor_.add_kept_address(it.value().get<std::string>());
                    } else {
                        learn_server_host(it.key());
                        learn_server_host(it.value().get<std::string>());
                        server_resolved = true;
                    }
                }
            }
        }
        RuntimeRead listed = read_runtime(kRouteExceptionsFileName);
        // Without the resolved hosts, the list still names the server: its first address.
        if (std::vector<std::string> addresses = listed.bytes ? listed_route_exceptions(*listed.bytes) : std::vector<std::string>();
            !server_resolved && !addresses.empty()) {
            learn_server_host(addresses.front());
        }
        quote_runtime_json(s, kRouteExceptionsFileName, listed,
                           "absent: no route exceptions are recorded (they stand only while a full tunnel is up)");
        quote_runtime_json(s, kResolvedHostsFileName, hosts, "absent: no full connect has resolved its hosts");
    }

    void routes() {
        Section& s = at(kRoutes);
        // `route print` is what the status check and the connect read the adapter from.
        Section quoted;
        auto printed = quote_tool(quoted, "route", {"print"});
        if (printed) {
            say(s, std::string("tunnel adapter (\"") + std::string(kTunnelInterfaceDescription) + "\" or VornVPN): " +
                       (lists_tunnel_interface(*printed) ? "present" : "absent"));
        } else {
            say(s, "tunnel adapter: unknown, route print did not run");
        }
        s.insert(s.end(), quoted.begin(), quoted.end());
    }

    void adapters() { quote_tool(at(kAdapters), "netsh", {"interface", "ip", "show", "config"}); }

    void wfp() {
        Section& s = at(kWfp);
        auto opened = p_.wfp.open();
        if (!opened) {
            say(s, "the filtering engine could not be opened: FwpmEngineOpen0 failed: Windows error " +
                       std::to_string(opened.failure().error_value));
            return;
        }
        WfpSession& engine = **opened;
        std::vector<std::string> present;
        if (engine.find(WfpObject::Provider, wfp_provider_key()) == 0) present.push_back("provider " + guid_text(wfp_provider_key()));
        if (engine.find(WfpObject::Sublayer, wfp_sublayer_key()) == 0) present.push_back("sublayer " + guid_text(wfp_sublayer_key()));
        for (bool ipv6 : {false, true}) {
            for (int slot = 0; slot < kWfpFilterSlots; ++slot) {
                Guid key = wfp_filter_key(ipv6, slot);
                if (engine.find(WfpObject::Filter, key) != 0) continue;
                present.push_back("filter " + guid_text(key) + (ipv6 ? " (IPv6" : " (IPv4") + ", slot " + std::to_string(slot) + ")");
            }
        }
        opened->reset();
        if (present.empty()) say(s, "none of the product's WFP objects exists");
        for (const std::string& line : present) say(s, line);
        firewall_standing_ = full_tunnel_firewall_present(p_);
        say(s, std::string("full-tunnel firewall: ") + (firewall_standing_ ? "standing (everything outside the tunnel is blocked)" : "not standing"));
    }

    void driver() {
        Section& s = at(kDriver);
        const std::string name = kDriverServiceName;
        auto opened = p_.driver_service.open(name);
        if (!opened) {
            const DriverOpenFailure& failure = opened.failure();
            say(s, "service " + name + ": " +
                       (failure.at_manager ? "the service manager could not be opened: " : failure.error_value == 1060 ? "not installed: " : "could not be opened: ") +
                       failure.message + " (" + std::to_string(failure.error_value) + ")");
            return;
        }
        auto state = p_.driver_service.query();
        p_.driver_service.close();
        if (!state) {
            say(s, "service " + name + ": its state could not be queried: " + state.error() + " (" +
                       std::to_string(state.failure().error_value) + ")");
            return;
        }
        static constexpr const char* kStates[] = {"stopped", "start pending", "stop pending", "running", "in another state"};
        say(s, "service " + name + ": " + kStates[static_cast<size_t>(*state)]);
        if (*state != DriverServiceState::Running) {
            say(s, "its device was not asked: the driver does not run");
            return;
        }
        auto diagnostics = query_driver_diagnostics(p_.driver);
        if (!diagnostics) {
            say(s, "its diagnostics could not be had: " + diagnostics.rendered());
            return;
        }
        std::string further;
        for (uint8_t byte : diagnostics->further) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%02x", byte);
            further += hex;
        }
        say(s, "tracked processes: " + std::to_string(diagnostics->tracked_processes));
        say(s, "further diagnostics bytes: " + further);
    }

    void look_at_pid_files() {
        for (const EnginePidFile& entry : kEnginePidFiles) {
            PidFileFacts facts;
            facts.file_name = entry.file_name;
            for (const EngineSpec* engine : engines()) {
                if (engine->pid_file == entry.file_name) facts.engine = engine;
            }
            RuntimeRead read = read_runtime(entry.file_name);
            if (!read.bytes) {
                facts.note = read.why == "absent" ? "absent" : read.why;
                pid_files_.push_back(facts);
                continue;
            }
            auto pid = parse_u32_decimal(trim(*read.bytes));
            if (!pid) {
                facts.note = "holds no process id: " + pid.error();
                pid_files_.push_back(facts);
                continue;
            }
            facts.pid = *pid;
            facts.reused = started_after_pid_file(p_, *pid, runtime_file(p_.env, entry.file_name));
            const std::string id = std::to_string(*pid);
            auto run = p_.tools.run("tasklist", {"/FI", "PID eq " + id, "/FO", "CSV", "/NH"}, ToolStdio::Capture);
            facts.running = run && run->exit_code == 0 && contains(run->out, id);
            if (facts.running) {
                for (const std::string& line : split_lines(run->out)) {
                    if (auto image = first_csv_field(line)) {
                        facts.image = *image;
                        break;
                    }
                }
            }
            pid_files_.push_back(facts);
        }
    }

    void engines_section() {
        Section& s = at(kEngines);
        look_at_pid_files();
        for (const PidFileFacts& f : pid_files_) {
            if (!f.pid) {
                say(s, std::string(f.file_name) + ": " + f.note);
                continue;
            }
            std::string line = std::string(f.file_name) + ": process " + std::to_string(*f.pid) + ", ";
            if (!f.running) {
                line += "which does not run: the pid file is stale";
            } else if (f.reused) {
                line += "running " + f.image + " but started after the pid file was written: not the engine (the id was reused)";
            } else if (f.engine && !engine_image(*f.engine, f.image)) {
                line += "running " + f.image + ", which is not " + std::string(f.engine->executable) + ": does not match";
            } else {
                line += "running " + f.image + ": matches";
            }
            say(s, line);
        }
        auto listed = p_.tools.run("tasklist", {"/FO", "CSV", "/NH"}, ToolStdio::Capture);
        if (!listed || listed->exit_code != 0) {
            say(s, "the engine processes could not be listed: " +
                       (listed ? "tasklist exited with " + render_exit_status(listed->exit_code) : listed.error()));
            return;
        }
        std::vector<std::string> running;
        for (const std::string& line : split_lines(listed->out)) {
            std::vector<std::string> fields = csv_fields(line);
            for (const EngineSpec* engine : engines()) {
                if (fields.size() >= 2 && engine_image(*engine, fields[0])) running.push_back(fields[0] + " (pid " + fields[1] + ")");
            }
        }
        say(s, "engine processes running: " + (running.empty() ? std::string("none") : join(running, ", ")));
    }

    void live_status() {
        Section& s = at(kLiveStatus);
        say(s, "recorded status: " + (recorded_ ? std::string(tunnel_state_text(recorded_->status)) : std::string("none")));
        std::optional<std::string> live_by;
        for (const PidFileFacts& f : pid_files_) {
            if (f.pid && f.running && !f.reused && !live_by) {
                live_by = std::string(f.file_name) + " names running process " + std::to_string(*f.pid);
            }
        }
        if (!live_by) {
            auto tasks = p_.tools.run("tasklist", {"/FI", "IMAGENAME eq xray.exe", "/FO", "CSV", "/NH"}, ToolStdio::Capture);
            bool xray = false;
            if (tasks && tasks->exit_code == 0) {
                for (const std::string& line : split_lines(tasks->out)) {
                    auto field = first_csv_field(line);
                    xray = xray || (field && equals_ignore_ascii_case(*field, "xray.exe"));
                }
            }
            if (xray) {
                auto high = p_.tools.run("route", {"print", "128.0.0.0"}, ToolStdio::Capture);
                if (high && high->exit_code == 0 && has_tunnel_route(high->out)) {
                    live_by = "xray.exe runs and the tunnel's route 128.0.0.0/1 via " + std::string(kTunnelAddress) + " stands";
                }
            }
        }
        if (live_by) {
            say(s, "live: yes (" + *live_by + ")");
        } else {
            say(s, "live: no (no pid file names a running engine, and no xray.exe runs with the tunnel's route "
                   "128.0.0.0/1 via " + std::string(kTunnelAddress) + ")");
            if (recorded_ && recorded_->status == TunnelState::Connected) {
                say(s, "the status file still says connected: the next status check records that the tunnel is not "
                       "running and restores the network");
            }
        }
        say(s, std::string("full-tunnel firewall: ") + (firewall_standing_ ? "standing" : "not standing"));
    }

    void conflicts() {
        Section& s = at(kConflicts);
        Status checked = check_conflicting_vpn(p_.tools);
        if (checked) {
            std::vector<std::string> names;
            for (std::string_view image : conflicting_vpn_images()) names.emplace_back(image);
            say(s, "no other VPN client runs (looked for " + join(names, ", ") + ")");
        } else {
            say(s, checked.rendered());
        }
    }

    std::string render() {
        for (const Section& section : sections_) {
            for (const Piece& piece : section) {
                redactor_.learn_user_names(piece.document ? piece.document->dump(-1, ' ', false, json::error_handler_t::replace)
                                                          : piece.text);
            }
        }
        std::string report =
            "Vorn tunnel service diagnostics report\n"
            "Redacted: secrets read " + std::string(kRedactedMark) + ", user names " + std::string(kUserMark) +
            ", the VPN server's host and addresses " + std::string(kServerMark) +
            "; other public addresses keep their first two octets.\n\n";
        const auto& titles = diagnostics_section_titles();
        for (size_t i = 0; i < kTitleCount; ++i) {
            std::string body;
            for (const Piece& piece : sections_[i]) {
                body += piece.document
                            ? redactor_.json(*piece.document).dump(2, ' ', false, json::error_handler_t::replace) + "\n"
                            : redactor_.text(piece.text);
            }
            if (trim(body).empty()) body = "(nothing to show)\n";
            report += "== " + std::string(titles[i]) + " ==\n" + bounded(std::move(body), kDiagnosticsSectionLimit) + "\n";
        }
        return report + "== End of report ==\n";
    }

    Platform& p_;
    std::vector<Section> sections_;
    Redactor redactor_;
    bool runtime_exists_ = false;
    bool runtime_trusted_ = false;
    bool firewall_standing_ = false;
    std::optional<TunnelStatus> recorded_;
    std::vector<PidFileFacts> pid_files_;
};

}  // namespace

const std::vector<std::string_view>& diagnostics_section_titles() {
    static const std::vector<std::string_view> titles = {
        "Version and time",
        "Service VornTunnelService",
        "Status file",
        "Live status",
        "Runtime directory",
        "Saved request",
        "Engine configurations",
        "Engine logs",
        "Route exceptions",
        "Tunnel adapter and routes",
        "Adapter addresses and DNS",
        "WFP objects",
        "Split redirect driver",
        "Engine processes",
        "Conflicting VPN check",
    };
    return titles;
}

DiagnosticsReport build_diagnostics_report(Platform& platform) { return DiagnosticsBuilder(platform).build(); }

Status write_diagnostics(Platform& platform, const std::optional<std::string>& out_path) {
    DiagnosticsReport report = build_diagnostics_report(platform);
    std::string target = "standard output";
    if (out_path) {
        std::error_code ec;
        std::filesystem::path absolute = std::filesystem::absolute(to_fs_path(*out_path), ec);
        target = ec ? *out_path : from_fs_path(absolute);
        if (auto written = write_file_atomically(platform, target, report.text); !written) {
            return fail("could not write diagnostics report " + target + ": " + written.error());
        }
    } else {
        platform.out << report.text;
        platform.out.flush();
    }
    // The state as recorded, never re-derived: looking must not change what the status says.
    TunnelState state = report.recorded ? report.recorded->status : TunnelState::Idle;
    return print_status(platform.out, make_status(state, "Vorn diagnostics report written to " + target));
}

}  // namespace vorn
