// The simulated filtering engine: objects added through fwpuclnt.dll by wfp_probe.exe, flows
// judged by wfp-decide.exe, and what the engine refuses.

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>

#include "wine_machine.h"

namespace vorn::wine {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Steps = std::vector<std::string>;

const std::string kV4 = "ALE_AUTH_CONNECT_V4";
const std::string kV6 = "ALE_AUTH_CONNECT_V6";
const std::string kIn4 = "ALE_AUTH_RECV_ACCEPT_V4";
const std::string kBrowser = "C:\\Program Files\\Browser\\browser.exe";
const std::string kNoMatch = "permit\t-\tno filter matched";
constexpr int kProvider = 1;

std::string key(int n) {
    char text[40];
    std::snprintf(text, sizeof text, "{5EED0000-0000-4000-8000-%012X}", n);
    return text;
}

Steps operator+(Steps a, const Steps& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Steps sublayer(int n, int weight) {
    return {"sublayer", key(n), "sublayer " + std::to_string(n), std::to_string(weight), key(kProvider)};
}

Steps filter(int n, const std::string& name, const std::string& layer, int sublayer, const std::string& weight,
             const std::string& action, const Steps& conditions = {}, int provider = kProvider) {
    return Steps{"filter", key(n), name, layer, key(sublayer), key(provider), weight, action} + conditions;
}

// The product's way: one transaction for the provider, its sublayers and their filters.
Steps installed(const Steps& objects) {
    return Steps{"open", "begin", "provider", key(kProvider), "Vorn"} + objects + Steps{"commit"};
}

RunResult probe(WineMachine& m, const Steps& steps) {
    return m.run(Steps{windows_path(m.machine() / "wfp_probe.exe")} + steps);
}

struct Flow {
    std::string remote = "198.51.100.1";
    std::string port = "443";
    std::string protocol = "tcp";
    std::string direction = "out";
    std::string interface = "Ethernet";
    Steps extra = {};
    std::string app = kBrowser;
};

RunResult decide(WineMachine& m, const Flow& f) {
    Steps args{windows_path(m.machine() / "wfp-decide.exe"), "--direction", f.direction, "--protocol", f.protocol,
               "--interface", f.interface, "--remote", f.remote};
    if (f.protocol != "icmpv6" && !f.port.empty()) args = args + Steps{"--remote-port", f.port};
    return m.run(args + f.extra + Steps{"--app", f.app});
}

std::string permit(int n, const std::string& name) { return "permit\t" + key(n) + "\t" + name; }
std::string block(int n, const std::string& name) { return "block\t" + key(n) + "\t" + name; }

// Every step of a probe run answered 0.
void expect_all_succeeded(const RunResult& r) {
    ASSERT_EQ(r.rc, 0) << r.err;
    for (const auto& line : lines_of(r.out)) EXPECT_NE(line.find(" 0x00000000"), std::string::npos) << line;
}

std::string last_line(const RunResult& r) {
    auto lines = lines_of(r.out);
    return lines.empty() ? "" : lines.back();
}

std::string device_path(const fs::path& linux_path) {
    std::string text = "\\device\\harddiskvolume26" + windows_path(linux_path).substr(2);
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

struct Scenario {
    const char* what;
    Steps objects;
    std::vector<std::pair<Flow, std::string>> flows;
};

TEST(WfpSim, DecidesFlowsAsWfpArbitratesThem) {
    WineMachine m(case_name());
    // The tunnel adapter, listed while its owner lives.
    uint32_t owner = m.start_idle("tunnel-owner.exe");
    m.set_state_json("tunnel-interfaces.json", json::array({{{"ownerPid", owner}, {"index", 23}, {"name", "Vorn Tunnel"},
                                                              {"address", "172.19.0.1"}, {"mask", "255.255.255.252"}}}));
    fs::path curl = m.system_directory() / "curl.exe";
    std::string curl_upper = windows_path(curl);
    for (char& c : curl_upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

    const std::vector<Scenario> scenarios = {
        {"the highest-weight matching filter of a sublayer decides",
         sublayer(10, 100) + filter(11, "block all", kV4, 10, "1", "block") +
             filter(12, "allow https", kV4, 10, "5", "permit", {"remote-port=443"}) +
             filter(13, "block host", kV4, 10, "9", "block", {"remote=203.0.113.9"}),
         {{{.port = "443"}, permit(12, "allow https")},
          {{.port = "80"}, block(11, "block all")},
          {{.remote = "203.0.113.9"}, block(13, "block host")}}},
        {"a block in any sublayer beats a permit",
         sublayer(10, 100) + sublayer(20, 50) + filter(11, "permit all", kV4, 10, "15", "permit") +
             filter(21, "block http", kV4, 20, "empty", "block", {"remote-port=80"}),
         {{{.port = "80"}, block(21, "block http")}, {{.port = "81"}, permit(11, "permit all")}}},
        {"a permit with its action right cleared holds against lower sublayers only",
         sublayer(10, 200) + sublayer(20, 100) + sublayer(30, 50) +
             filter(11, "block 81", kV4, 10, "0", "block", {"remote-port=81"}) +
             filter(21, "hard permit 80-81", kV4, 20, "0", "hard-permit", {"remote-port=80-81"}) +
             filter(22, "soft permit 90", kV4, 20, "0", "permit", {"remote-port=90"}) +
             filter(31, "block all", kV4, 30, "0", "block"),
         {{{.port = "80"}, permit(21, "hard permit 80-81")},
          {{.port = "81"}, block(11, "block 81")},
          {{.port = "90"}, block(31, "block all")}}},
        {"conditions on one field are ORed, on different fields ANDed",
         sublayer(10, 100) + filter(11, "block all", kV4, 10, "0", "block") +
             filter(12, "dns", kV4, 10, "1", "permit", {"remote-port=53", "remote-port=853", "protocol=17"}),
         {{{.port = "53", .protocol = "udp"}, permit(12, "dns")},
          {{.port = "853", .protocol = "udp"}, permit(12, "dns")},
          {{.port = "53", .protocol = "tcp"}, block(11, "block all")},
          {{.port = "54", .protocol = "udp"}, block(11, "block all")}}},
        {"each IPv4 field",
         sublayer(10, 100) + filter(11, "block all", kV4, 10, "0", "block") +
             filter(12, "loopback", kV4, 10, "1", "permit", {"flags=1"}) +
             filter(13, "curl", kV4, 10, "1", "permit", {"app=" + windows_path(curl)}) +
             filter(14, "echo from the lan", kV4, 10, "1", "permit", {"local=192.168.1.0/255.255.255.0", "remote-port=7"}) +
             filter(15, "documentation net", kV4, 10, "1", "permit", {"remote=198.51.100.0/255.255.255.0"}) +
             filter(16, "gre", kV4, 10, "1", "permit", {"protocol=47"}) +
             filter(17, "mdns source", kV4, 10, "1", "permit", {"local-port=5353"}) +
             filter(18, "alt http", kV4, 10, "1", "permit", {"remote-port=8000-8100"}) +
             filter(19, "tunnel", kV4, 10, "1", "permit", {"interface=23"}),
         {{{.remote = "127.0.0.1", .interface = "Loopback Pseudo-Interface 1"}, permit(12, "loopback")},
          {{.remote = "192.0.2.1", .interface = "1"}, permit(12, "loopback")},
          {{.remote = "192.0.2.1", .app = curl_upper}, permit(13, "curl")},
          {{.remote = "192.0.2.1"}, block(11, "block all")},
          {{.remote = "192.0.2.1", .port = "7"}, permit(14, "echo from the lan")},
          {{.remote = "192.0.2.1", .port = "7", .extra = {"--local", "10.0.0.5"}}, block(11, "block all")},
          {{.remote = "198.51.100.77", .port = "1"}, permit(15, "documentation net")},
          {{.remote = "198.51.101.1", .port = "1"}, block(11, "block all")},
          {{.remote = "192.0.2.1", .port = "", .protocol = "47"}, permit(16, "gre")},
          {{.remote = "192.0.2.1", .extra = {"--local-port", "5353"}}, permit(17, "mdns source")},
          {{.remote = "192.0.2.1", .port = "8050"}, permit(18, "alt http")},
          {{.remote = "192.0.2.1", .port = "8101"}, block(11, "block all")},
          {{.remote = "192.0.2.1", .interface = "Vorn Tunnel"}, permit(19, "tunnel")},
          {{.remote = "192.0.2.1", .interface = "23"}, permit(19, "tunnel")}}},
        {"IPv6 addresses and ICMP type and code",
         sublayer(10, 100) + filter(11, "block all v6", kV6, 10, "0", "block") +
             filter(12, "documentation prefix", kV6, 10, "1", "permit", {"remote=2001:db8::/32"}) +
             filter(13, "one host", kV6, 10, "2", "block", {"remote=2001:db8:1::5"}) +
             filter(14, "from ula", kV6, 10, "1", "permit", {"local=fd00::/8"}) +
             filter(15, "echo request", kV6, 10, "3", "permit", {"protocol=58", "local-port=128"}) +
             filter(16, "port unreachable", kV6, 10, "3", "permit", {"protocol=58", "local-port=1", "remote-port=4"}),
         {{{.remote = "2001:db8::7"}, permit(12, "documentation prefix")},
          {{.remote = "2001:db8:1::5"}, block(13, "one host")},
          {{.remote = "2001:db9::1"}, block(11, "block all v6")},
          {{.remote = "2001:db9::1", .extra = {"--local", "fd00::1"}}, permit(14, "from ula")},
          {{.remote = "2001:db9::1", .protocol = "icmpv6", .extra = {"--icmp-type", "128"}}, permit(15, "echo request")},
          {{.remote = "2001:db9::1", .protocol = "icmpv6", .extra = {"--icmp-type", "135"}}, block(11, "block all v6")},
          {{.remote = "2001:db9::1", .protocol = "icmpv6", .extra = {"--icmp-type", "1", "--icmp-code", "4"}},
           permit(16, "port unreachable")},
          {{.remote = "2001:db9::1", .protocol = "icmpv6", .extra = {"--icmp-type", "1", "--icmp-code", "3"}},
           block(11, "block all v6")},
          {{.remote = "192.0.2.1"}, kNoMatch}}},
        {"inbound connections meet the accept layer",
         sublayer(10, 100) + filter(11, "block inbound", kIn4, 10, "0", "block") +
             filter(12, "rdp in", kIn4, 10, "1", "permit", {"local-port=3389"}) +
             filter(13, "block outbound", kV4, 10, "0", "block"),
         {{{.direction = "in", .extra = {"--local-port", "3389"}}, permit(12, "rdp in")},
          {{.direction = "in", .extra = {"--local-port", "22"}}, block(11, "block inbound")},
          {{.port = "3389"}, block(13, "block outbound")}}},
    };
    for (const auto& s : scenarios) {
        SCOPED_TRACE(s.what);
        m.set_state_json("wfp.json", json::object());
        expect_all_succeeded(probe(m, installed(s.objects)));
        for (const auto& [flow, expected] : s.flows) {
            RunResult r = decide(m, flow);
            EXPECT_EQ(lines_of(r.out), std::vector<std::string>{expected}) << flow.remote << " " << flow.port << r.err;
            EXPECT_EQ(r.rc, expected.rfind("permit", 0) == 0 ? 0 : 1);
        }
    }
    EXPECT_EQ(m.calls().back().rfind("wfp-decide --direction|out|", 0), 0u);
}

TEST(WfpSim, StateRendersEveryValueReadablyAndLookupsReturnIt) {
    WineMachine m(case_name());
    fs::path curl = m.system_directory() / "curl.exe";
    expect_all_succeeded(probe(
        m, installed(sublayer(10, 300) +
                     filter(11, "every field", kV4, 10, "empty", "hard-permit",
                            {"flags=1", "app=" + windows_path(curl), "local=10.9.0.0/255.255.0.0", "remote=192.0.2.1",
                             "protocol=6", "local-port=1000-2000", "remote-port=443", "interface=12"}) +
                     filter(12, "v6", kV6, 10, "15", "block", {"remote=2001:db8:0:0:0:0:0:1", "local=fd00::/8"}))));
    json state = m.state_json("wfp.json");
    EXPECT_EQ(state["objects"], json({key(1), key(10), key(11), key(12)}));
    EXPECT_EQ(state["providers"][key(1)], json({{"name", "Vorn"}, {"dynamicPid", nullptr}, {"dynamicStart", nullptr}}));
    EXPECT_EQ(state["sublayers"][key(10)], json({{"name", "sublayer 10"}, {"provider", key(1)}, {"weight", 300},
                                                 {"dynamicPid", nullptr}, {"dynamicStart", nullptr}}));
    auto condition = [](const char* field, const char* match, const json& value) {
        return json{{"field", field}, {"match", match}, {"value", value}};
    };
    json every = {{"name", "every field"}, {"layer", kV4}, {"sublayer", key(10)}, {"provider", key(1)},
                  {"weight", 0}, {"action", "permit"}, {"clearActionRight", true}, {"id", 1},
                  {"dynamicPid", nullptr}, {"dynamicStart", nullptr},
                  {"conditions",
                   {condition("FLAGS", "flagsAllSet", 1), condition("ALE_APP_ID", "equal", device_path(curl)),
                    condition("IP_LOCAL_ADDRESS", "equal", "10.9.0.0/255.255.0.0"),
                    condition("IP_REMOTE_ADDRESS", "equal", "192.0.2.1"), condition("IP_PROTOCOL", "equal", 6),
                    condition("IP_LOCAL_PORT", "range", {{"low", 1000}, {"high", 2000}}),
                    condition("IP_REMOTE_PORT", "equal", 443), condition("INTERFACE_INDEX", "equal", 12)}}};
    EXPECT_EQ(state["filters"][key(11)], every);
    EXPECT_EQ(state["filters"][key(12)]["conditions"],
              json({condition("IP_REMOTE_ADDRESS", "equal", "2001:db8::1"),
                    condition("IP_LOCAL_ADDRESS", "equal", "fd00::/8")}));

    RunResult r = probe(m, {"open", "get-filter", key(11), "get-filter", key(12), "get-sublayer", key(10), "get-provider",
                            key(1)});
    EXPECT_EQ(lines_of(r.out),
              (Steps{"open 0x00000000",
                     "get-filter " + key(11) + " 0x00000000 name=every field layer=" + kV4 + " sublayer=" + key(10) +
                         " provider=" + key(1) + " weight=0 action=permit flags=8 id=1 flags=1 app=" + device_path(curl) +
                         " local=10.9.0.0/255.255.0.0 remote=192.0.2.1 protocol=6 local-port=1000-2000 remote-port=443"
                         " interface=12",
                     "get-filter " + key(12) + " 0x00000000 name=v6 layer=" + kV6 + " sublayer=" + key(10) +
                         " provider=" + key(1) + " weight=15 action=block flags=0 id=2 remote=2001:db8::1 local=fd00::/8",
                     "get-sublayer " + key(10) + " 0x00000000 name=sublayer 10 weight=300 provider=" + key(1),
                     "get-provider " + key(1) + " 0x00000000 name=Vorn"}));
}

TEST(WfpSim, AppIdIsTheLowerCasedDevicePathOfAFileThatExists) {
    WineMachine m(case_name());
    fs::path curl = m.system_directory() / "curl.exe";
    std::string mixed = windows_path(curl);
    mixed[mixed.size() - 8] = 'C';  // ...\Curl.exe
    std::string device = device_path(curl);
    RunResult r = probe(m, {"app-id", mixed, "app-id", windows_path(m.machine() / "absent.exe")});
    EXPECT_EQ(lines_of(r.out), (Steps{"app-id 0x00000000 size=" + std::to_string((device.size() + 1) * 2) + " " + device,
                                      "app-id 0x00000002"}));
}

TEST(WfpSim, UnfinishedTransactionLeavesNothingAndFreesTheEngine) {
    WineMachine m(case_name());
    const std::vector<std::pair<const char*, std::string>> endings = {
        {"aborted", "abort"}, {"the process died", "die"}, {"the handle closed", "close"}};
    for (const auto& [what, ending] : endings) {
        SCOPED_TRACE(what);
        m.set_state_json("wfp.json", json::object());
        probe(m, Steps{"open", "begin", "provider", key(kProvider), "Vorn"} + sublayer(10, 100) +
                     filter(11, "block all", kV4, 10, "0", "block") + Steps{ending});
        EXPECT_EQ(m.state_json("wfp.json").value("objects", json::array()), json::array());
        EXPECT_EQ(lines_of(decide(m, {}).out), Steps{kNoMatch});
        // The engine's lock went with the transaction.
        EXPECT_EQ(lines_of(probe(m, {"open", "begin", "commit"}).out),
                  (Steps{"open 0x00000000", "begin 0x00000000", "commit 0x00000000"}));
    }
    EXPECT_EQ(lines_of(probe(m, {"open", "begin", "begin", "commit", "commit", "abort"}).out),
              (Steps{"open 0x00000000", "begin 0x00000000", "begin 0x8032000E", "commit 0x00000000",
                     "commit 0x8032000D", "abort 0x8032000D"}));
}

TEST(WfpSim, DynamicSessionObjectsGoWithItsHandleOrItsProcess) {
    WineMachine m(case_name());
    // The probe closes its latest session first: the ordinary one, then the dynamic one.
    const std::vector<std::pair<const char*, Steps>> endings = {
        {"its handle closes", {"close", "close", "open", "get-filter", key(11)}}, {"its process ends", {"die"}}};
    for (const auto& [what, ending] : endings) {
        SCOPED_TRACE(what);
        m.set_state_json("wfp.json", json::object());
        // A second, ordinary session of the same process sees the dynamic session's filter.
        RunResult r = probe(m, Steps{"open-dynamic", "provider", key(kProvider), "Vorn"} + sublayer(10, 100) +
                                   filter(11, "block all", kV4, 10, "0", "block") +
                                   Steps{"open", "get-filter", key(11)} + ending);
        auto lines = lines_of(r.out);
        ASSERT_GE(lines.size(), 6u) << r.err;
        EXPECT_EQ(lines[5].substr(0, 60), "get-filter " + key(11) + " 0x00000000");
        if (ending[0] == "close") {
            EXPECT_EQ(lines.back(), "get-filter " + key(11) + " 0x80320003");
        }
        EXPECT_EQ(lines_of(decide(m, {}).out), Steps{kNoMatch});
        EXPECT_EQ(last_line(probe(m, {"open", "get-provider", key(kProvider)})),
                  "get-provider " + key(kProvider) + " 0x80320005");
    }
}

TEST(WfpSim, DynamicObjectWhosePidNowNamesAnotherProcessIsDropped) {
    WineMachine m(case_name());
    // Wine hands a freed pid to a later process: the owner is known by its pid and start time.
    uint32_t other = m.start_idle("other.exe");
    auto state = [&](const json& start) {
        json owned = {{"name", "block all"}, {"layer", kV4}, {"sublayer", key(10)}, {"weight", 0}, {"action", "block"},
                      {"conditions", json::array()}, {"dynamicPid", other}, {"dynamicStart", start}};
        return json{{"objects", {key(10), key(11)}},
                    {"sublayers", {{key(10), {{"name", "s"}, {"weight", 1}}}}},
                    {"filters", {{key(11), owned}}}};
    };
    m.set_state_json("wfp.json", state(1));
    EXPECT_EQ(lines_of(decide(m, {}).out), Steps{kNoMatch});
    m.set_state_json("wfp.json", state(nullptr));
    EXPECT_EQ(lines_of(decide(m, {}).out), Steps{block(11, "block all")});
}

TEST(WfpSim, SublayerHoldingAFilterAndProviderHoldingASublayerAreInUse) {
    WineMachine m(case_name());
    RunResult r = probe(m, Steps{"open", "provider", key(kProvider), "Vorn"} + sublayer(10, 100) +
                               filter(11, "block all", kV4, 10, "0", "block") +
                               Steps{"delete-sublayer", key(10), "delete-provider", key(kProvider), "delete-filter",
                                     key(11), "delete-sublayer", key(10), "delete-provider", key(kProvider)});
    auto lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 9u) << r.err;
    EXPECT_EQ(lines[4], "delete-sublayer " + key(10) + " 0x8032000A");
    EXPECT_EQ(lines[5], "delete-provider " + key(kProvider) + " 0x8032000A");
    EXPECT_EQ(lines[7], "delete-sublayer " + key(10) + " 0x00000000");
    EXPECT_EQ(lines[8], "delete-provider " + key(kProvider) + " 0x00000000");
    std::string log = read_text(m.state() / "wfp.log");
    EXPECT_NE(log.find("delete-sublayer " + key(10) + " 0x8032000A: held by " + key(11) + "\n"), std::string::npos);
    EXPECT_NE(log.find("delete-provider " + key(kProvider) + " 0x8032000A: held by " + key(10) + "\n"), std::string::npos);
}

TEST(WfpSim, FaultSwitchFailsEveryFilterAddAndAddsNothing) {
    WineMachine m(case_name());
    m.set_fault("wfpFilterAddStatus", 5);
    RunResult r = probe(m, installed(sublayer(10, 100) + filter(11, "block all", kV4, 10, "0", "block")));
    EXPECT_NE(r.out.find("filter " + key(11) + " 0x00000005"), std::string::npos) << r.out;
    EXPECT_EQ(m.state_json("wfp.json")["objects"], json({key(kProvider), key(10)}));
    EXPECT_NE(read_text(m.state() / "wfp.log").find("add-filter " + key(11) + " 0x00000005: fault wfpFilterAddStatus\n"),
              std::string::npos);
}

TEST(WfpSim, RefusesWhatItDoesNotModelLoudly) {
    WineMachine m(case_name());
    expect_all_succeeded(probe(m, installed(sublayer(10, 100) + filter(99, "existing", kV4, 10, "0", "block"))));
    const std::string other_field = "{9B0E4C1D-2B3A-4F5E-8D7C-6A5B4C3D2E1F}";
    struct Row {
        const char* what;
        Steps filter;
        std::string status;
        std::string reason;
    };
    const std::vector<Row> rows = {
        {"a field it does not model", filter(50, "x", kV4, 10, "0", "block", {other_field + "=1"}), "0x80320002",
         "condition field " + other_field + " is not modelled"},
        {"a layer it does not model", filter(50, "x", other_field, 10, "0", "block"), "0x80320004",
         "layer " + other_field + " is not modelled"},
        {"a value type it does not model on the field", filter(50, "x", kV4, 10, "0", "block", {"protocol16=6"}),
         "0x00000032", "FWP_MATCH_EQUAL with FWP_UINT16 on IP_PROTOCOL at a v4 layer is not modelled"},
        {"an IPv6 address at an IPv4 layer", filter(50, "x", kV4, 10, "0", "block", {"remote=2001:db8::1"}),
         "0x00000032", "FWP_MATCH_EQUAL with FWP_BYTE_ARRAY16_TYPE on IP_REMOTE_ADDRESS at a v4 layer is not modelled"},
        {"a match type it does not model", filter(50, "x", kV4, 10, "0", "block", {"remote-port>1024"}), "0x00000032",
         "match type 1 on IP_REMOTE_PORT is not modelled"},
        {"a persistent filter", filter(50, "x", kV4, 10, "0", "persistent-block"), "0x00000032",
         "filter flags 0x00000001 are not modelled"},
        {"a weight above 15", filter(50, "x", kV4, 10, "16", "block"), "0x80320025", "weight 16 is above 15"},
        {"a sublayer that does not exist", filter(50, "x", kV4, 77, "0", "block"), "0x80320007",
         "sublayer " + key(77) + " does not exist"},
        {"a provider that does not exist", filter(50, "x", kV4, 10, "0", "block", {}, 78), "0x80320005",
         "provider " + key(78) + " does not exist"},
        {"a key that exists", filter(99, "x", kV4, 10, "0", "block"), "0x80320009", "the key exists"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        RunResult r = probe(m, Steps{"open"} + row.filter);
        EXPECT_EQ(last_line(r), "filter " + row.filter[1] + " " + row.status) << r.err;
        EXPECT_EQ(lines_of(read_text(m.state() / "wfp.log")).end()[-2],
                  "add-filter " + row.filter[1] + " " + row.status + ": " + row.reason);
        EXPECT_EQ(m.state_json("wfp.json")["objects"].size(), 3u);
    }
}

TEST(WfpSim, DecideRefusesUnmodelledStateAndBadUsage) {
    WineMachine m(case_name());
    json sublayers = {{key(10), {{"name", "s"}, {"provider", nullptr}, {"weight", 1}}}};
    auto with_filter = [&](const json& filter) {
        return json{{"objects", {key(10), key(11)}}, {"sublayers", sublayers}, {"filters", {{key(11), filter}}}};
    };
    json good = {{"name", "f"}, {"layer", kV4}, {"sublayer", key(10)}, {"weight", 0}, {"action", "block"},
                 {"conditions", json::array()}};
    json other_layer = good, other_field = good, bare_sublayer = good;
    other_layer["layer"] = "ALE_FLOW_ESTABLISHED_V4";
    other_field["conditions"] = {{{"field", "ALE_USER_ID"}, {"match", "equal"}, {"value", 1}}};
    bare_sublayer["sublayer"] = key(12);
    struct Row {
        const char* what;
        json state;
        Flow flow;
        std::string complaint;
    };
    const std::vector<Row> rows = {
        {"a layer it does not model", with_filter(other_layer), {}, "layer ALE_FLOW_ESTABLISHED_V4 is not modelled"},
        {"a field it does not model", with_filter(other_field), {}, "names a field or match that is not modelled"},
        {"a sublayer with no settings", with_filter(bare_sublayer), {}, "sublayer " + key(12) + " has no settings"},
        {"an interface the machine does not have", with_filter(good), {.interface = "Wi-Fi"}, "no live interface Wi-Fi"},
        {"a port on an ICMP flow", with_filter(good), {.protocol = "icmpv6", .extra = {"--remote-port", "1"}},
         "--remote-port is not for ICMP"},
        {"an address that is not one", with_filter(good), {.remote = "example.com"}, "--remote is not an IPv4 or IPv6"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        m.set_state_json("wfp.json", row.state);
        RunResult r = decide(m, row.flow);
        EXPECT_EQ(r.rc, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(row.complaint), std::string::npos) << r.err;
    }
    m.set_state_json("wfp.json", with_filter(good));
    EXPECT_EQ(lines_of(decide(m, {}).out), Steps{block(11, "f")});
}

}  // namespace
}  // namespace vorn::wine
