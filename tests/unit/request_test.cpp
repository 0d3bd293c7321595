#include <gtest/gtest.h>

#include "common/files.h"
#include "fakes.h"
#include "tunnel/request_path.h"
#include "tunnel_core/request.h"

namespace vorn {
namespace {

const char* kPrefix = "could not parse product tunnel request: ";

TEST(ProductTunnelRequest, ParsesTheFourMembersAndKeepsUntypedValues) {
    auto request = parse_product_tunnel_request(R"({
      "tunnelMode": "full", "transport": " Hysteria2 ", "extra": true,
      "config": {"server": {"host": "203.0.113.7", "port": 443}},
      "splitTunnelPolicy": null
    })");
    ASSERT_TRUE(request.ok()) << request.error();
    EXPECT_EQ(request->tunnel_mode_text, "full");
    EXPECT_EQ(request->transport_text, " Hysteria2 ");
    EXPECT_EQ(request->config["server"]["port"], 443);
    EXPECT_TRUE(request->split_tunnel_policy.is_null());
}

TEST(ProductTunnelRequest, NamesAndServerAreReadIntoTypes) {
    struct Case {
        const char* mode;
        const char* transport;
        const char* server;
        TunnelMode want_mode;
        Transport want_transport;
        bool untrimmed;
        ServerEndpoint want_server;
    };
    const Case cases[] = {
        {"split", "xray", R"({"host":"a.example","port":8443,"sni":"s.example","allowInsecure":true})",
         TunnelMode::Split, Transport::Xray, true, {"a.example", 8443, "s.example", true}},
        {"full", "\u00a0tuic", R"({"host":"10.0.0.1","port":-1,"sni":7,"allowInsecure":"yes"})", TunnelMode::Full,
         Transport::Tuic, false, {"10.0.0.1", std::nullopt, std::nullopt, false}},
        // Only the exact mode names count; anything else starts the engine alone.
        {"Full", " HYSTERIA2", R"({"host":1,"port":1.5})", TunnelMode::EngineOnly, Transport::Hysteria2, false, {}},
        {" split", "vless", R"("203.0.113.7")", TunnelMode::EngineOnly, Transport::Unknown, true, {}},
        {"", "", R"({"port":18446744073709551615})", TunnelMode::EngineOnly, Transport::Unknown, true,
         {std::nullopt, 18446744073709551615u, std::nullopt, false}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.mode) + "/" + c.transport + "/" + c.server);
        auto request = parse_product_tunnel_request(std::string(R"({"tunnelMode":")") + c.mode +
                                                    R"(","transport":")" + c.transport +
                                                    R"(","config":{"server":)" + c.server +
                                                    R"(},"splitTunnelPolicy":{}})");
        ASSERT_TRUE(request.ok()) << request.error();
        EXPECT_EQ(request->mode, c.want_mode);
        EXPECT_EQ(request->transport, c.want_transport);
        EXPECT_EQ(request->transport_untrimmed, c.untrimmed);
        EXPECT_EQ(request->server.host, c.want_server.host);
        EXPECT_EQ(request->server.port, c.want_server.port);
        EXPECT_EQ(request->server.sni, c.want_server.sni);
        EXPECT_EQ(request->server.allow_insecure, c.want_server.allow_insecure);
    }
}

TEST(ProductTunnelRequest, RefusesMalformedRecordsNamingTheMember) {
    struct Case {
        std::string text;
        std::string error_after_prefix;  // exact when it starts with "=", else a substring
    };
    const Case cases[] = {
        {R"({"tunnelMode":"full","transport":"xray","config":{}})",
         "=missing member \"splitTunnelPolicy\" at line 1, column 52"},
        {R"({"tunnelMode":"full","transport":"xray","config":{},"splitTunnelPolicy":{},"transport":"tuic"})",
         "=duplicate member \"transport\" at line 1, column 76"},
        {R"({"tunnelMode":1,"transport":"xray","config":{},"splitTunnelPolicy":{}})",
         "=member \"tunnelMode\" must be a string, found number at line 1, column 2"},
        {R"({"tunnelMode":"full","transport":null,"config":{},"splitTunnelPolicy":{}})",
         "=member \"transport\" must be a string, found null at line 1, column 22"},
        {"\xEF\xBB\xBF{\"tunnelMode\":\"full\",\"transport\":\"xray\",\"config\":{},\"splitTunnelPolicy\":{}}",
         "=unexpected byte-order mark at line 1, column 1"},
        {R"({"tunnelMode":"full","transport":"xray","config":{},"splitTunnelPolicy":{}} x)", "line 1, column "},
        {"not json", "line 1, column "},
    };
    for (const Case& c : cases) {
        auto request = parse_product_tunnel_request(c.text);
        ASSERT_FALSE(request.ok()) << c.text;
        ASSERT_EQ(request.error().rfind(kPrefix, 0), 0u) << request.error();
        std::string rest = request.error().substr(std::string(kPrefix).size());
        if (c.error_after_prefix[0] == '=') {
            EXPECT_EQ(rest, c.error_after_prefix.substr(1));
        } else {
            EXPECT_NE(rest.find(c.error_after_prefix), std::string::npos) << rest;
        }
    }
}

TEST(ProductTunnelRequest, ReadFailuresAreReadFailures) {
    testing::TempDir dir;
    auto missing = read_product_tunnel_request(dir.str() + "/absent.json");
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().rfind("could not read product tunnel request: ", 0), 0u);

    std::string bad = dir.str() + "/latin1.json";
    ASSERT_TRUE(write_file(bad, "{\"tunnelMode\":\"f\xFCll\"}").ok());
    auto invalid = read_product_tunnel_request(bad);
    ASSERT_FALSE(invalid.ok());
    EXPECT_EQ(invalid.error().rfind("could not read product tunnel request: ", 0), 0u);

    std::string good = dir.str() + "/ok.json";
    ASSERT_TRUE(write_file(good, R"({"tunnelMode":"split","transport":"xray","config":{},"splitTunnelPolicy":{}})").ok());
    EXPECT_TRUE(read_product_tunnel_request(good).ok());
}

TEST(ProductTunnelRequest, EveryExampleFileReads) {
    size_t read = 0;
    for (const auto& entry : std::filesystem::directory_iterator(VORN_EXAMPLES_DIR)) {
        if (entry.path().extension() != ".json") continue;
        auto request = read_product_tunnel_request(entry.path().string());
        EXPECT_TRUE(request.ok()) << entry.path() << ": " << (request.ok() ? "" : request.error());
        ++read;
    }
    EXPECT_EQ(read, 5u);
}

TEST(SplitPolicyAppPaths, SelectsEnabledThroughVpnRulesInOrder) {
    struct Case {
        const char* policy;
        std::vector<std::string> paths;
    };
    const Case cases[] = {
        {R"({})", {}},
        {R"(null)", {}},
        {R"({"rules": {}})", {}},
        {R"({"rules": [
            {"enabled": true, "mode": "throughVpn", "appPath": "C:\\Browser\\browser.exe"},
            {"enabled": true, "mode": "throughVpn", "appPath": "C:\\Browser\\browser.exe"},
            {"enabled": true, "mode": "throughVpn", "appPath": 7}]})",
         {"C:\\Browser\\browser.exe", "C:\\Browser\\browser.exe"}},
        {R"({"rules": [
            {"enabled": "true", "mode": "throughVpn", "appPath": "a"},
            {"enabled": true, "mode": "ThroughVpn", "appPath": "b"},
            {"enabled": false, "mode": "throughVpn", "appPath": "c"},
            {"mode": "throughVpn", "appPath": "d"},
            "e",
            {"enabled": true, "mode": "throughVpn", "appPath": " spaced "},
            {"enabled": true, "mode": "throughVpn", "appPath": ""}]})",
         {" spaced ", ""}},
        {R"({"enabled": true, "mode": "throughVpn", "appPath": "x", "rules": []})", {}},
    };
    for (const Case& c : cases) {
        ProductTunnelRequest request;
        request.split_tunnel_policy = nlohmann::json::parse(c.policy);
        EXPECT_EQ(split_policy_app_paths(request), c.paths) << c.policy;
    }
}

TEST(RequestPath, OnlyLocalFilesAreOpened) {
    struct Case {
        std::string_view path;
        const char* refused;  // the kind named in the refusal; nullptr when accepted
    };
    using namespace std::literals;
    const Case cases[] = {
        {"C:\\Users\\Ann\\AppData\\Local\\Vorn\\request.json", nullptr},
        {"c:/Users/Ann/request.json", nullptr},
        {"\\\\?\\C:\\Users\\Ann\\request.json", nullptr},
        {"\\Users\\Ann\\request.json", nullptr},
        {"C:\\Users\\Ann\\console.json", nullptr},
        {"C:\\Users\\Ann\\COM10.json", nullptr},
        {"\\\\.\\pipe\\vorn-probe", "a pipe path"},
        {"//./PIPE/VornTunnelService", "a pipe path"},
        {"\\\\.\\C:\\Users\\Ann\\request.json", "a device path"},
        {"\\\\?\\GLOBALROOT\\Device\\Mup\\host\\share\\r.json", "a device path"},
        {"\\??\\C:\\Users\\Ann\\request.json", "a device path"},
        {"\\\\host\\share\\request.json", "a UNC path"},
        {"//host/share/request.json", "a UNC path"},
        {"\\\\?\\unc\\host\\share\\request.json", "a UNC path"},
        {"C:\\Users\\Ann\\NUL", "a device name"},
        {"C:\\Users\\Ann\\con.json", "a device name"},
        {"C:lpt1", "a device name"},
        {"C:\\Users\\Ann\\COM3 .txt", "a device name"},
        {"C:\\Users\\Ann\\NUL:", "a device name"},
        {"C:\\Users\\Ann\\con.json:stream", "a device name"},
        {"C:\\Users\\Ann\\lpt\xC2\xB2.json", "a device name"},
        {"C:\\Users\\Ann\\COM0.json", nullptr},
        {"C:\\Users\\Ann\\AUX\0.json"sv, "cut short by a NUL character"},
    };
    for (const Case& c : cases) {
        Status checked = check_local_request_path(c.path);
        if (!c.refused) {
            EXPECT_TRUE(checked.ok()) << c.path << ": " << checked.error();
        } else {
            ASSERT_FALSE(checked.ok()) << c.path;
            EXPECT_EQ(checked.error(), "the path is " + std::string(c.refused) + ", not a file on a local disk") << c.path;
        }
    }
}

TEST(RequestPath, FinalPathMustBeThePathAskedFor) {
    EXPECT_TRUE(same_final_path("C:\\Users\\Ann\\r.json", "\\\\?\\C:\\Users\\Ann\\r.json"));
    EXPECT_TRUE(same_final_path("c:/users/ann/R.json", "\\\\?\\C:\\Users\\Ann\\r.json"));
    EXPECT_FALSE(same_final_path("C:\\Users\\Ann\\r.json", "\\\\?\\D:\\secret\\r.json"));
    EXPECT_FALSE(same_final_path("C:\\Users\\Ann\\link\\r.json", "\\\\?\\C:\\Users\\Ann\\target\\r.json"));
    EXPECT_FALSE(same_final_path("C:\\Users\\Ann\\r.json", "\\\\?\\UNC\\host\\share\\r.json"));
    EXPECT_FALSE(same_final_path("UNC\\host\\share\\r.json", "\\\\?\\UNC\\host\\share\\r.json"));
}

}  // namespace
}  // namespace vorn
