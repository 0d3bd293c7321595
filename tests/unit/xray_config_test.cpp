#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "common/operator_settings.h"
#include "engines/backend.h"
#include "engines/xray_config.h"

namespace vorn {
namespace {

using nlohmann::json;

ProductTunnelRequest request_with(const std::string& transport, json config) {
    return make_product_tunnel_request("full", transport, std::move(config), json::object());
}

const json kVlessConfig = json::parse(R"({
  "server": {"host": "203.0.113.7", "port": 443, "sni": "www.example.com", "fp": "firefox",
             "realityPublicKey": "PUBKEY", "shortId": "ab12"},
  "user": {"uuid": "11111111-2222-3333-4444-555555555555", "password": "secret"},
  "flow": "xtls-rprx-vision-udp443"
})");

// Compares a generated document with the file written as the engine will read it. With
// VORN_UPDATE_EXPECTED=1 the expected file is written instead (review the change by hand).
void expect_document(const json& document, const std::string& name) {
    std::string path = std::string(VORN_UNIT_EXPECTED_DIR) + "/" + name;
    std::string text = document.dump(2);
    if (std::getenv("VORN_UPDATE_EXPECTED") != nullptr) {
        std::ofstream(path, std::ios::binary) << text;
        return;
    }
    std::ifstream in(path, std::ios::binary);
    ASSERT_TRUE(in.good()) << "missing " << path;
    std::stringstream expected;
    expected << in.rdbuf();
    EXPECT_EQ(text, expected.str()) << name;
}

TEST(XrayConfig, DocumentsAreByteExact) {
    const std::string runtime = "/ProgramData/VornVPN/runtime";
    const std::string tun = "VornVPN-1767225600000";
    json tuic_config = {{"server", {{"host", "203.0.113.7"}}}, {"user", {{"uuid", "u"}, {"password", "p"}}}};
    expect_document(build_xray_tun_config(request_with("xray", kVlessConfig), runtime, tun), "xray-tun-xray.json");
    expect_document(build_xray_tun_config(request_with("hysteria2", tuic_config), runtime, tun),
                    "xray-tun-hysteria2.json");
    expect_document(build_xray_tun_config(request_with("tuic", tuic_config), runtime, tun), "xray-tun-tuic.json");
    expect_document(build_xray_split_config(request_with("xray", kVlessConfig), runtime), "xray-split-xray.json");
}

TEST(XrayConfig, ProxyOutboundFollowsTheTrimmedTransport) {
    struct Case {
        const char* transport;
        std::optional<int> socks_port;  // absent: VLESS
        bool quic_block;
    };
    const Case cases[] = {
        {"xray", std::nullopt, true},
        {"XRAY", std::nullopt, true},
        {" xray ", std::nullopt, false},  // the block rule compares untrimmed
        {"Hysteria2 ", 18109, false},
        {"\xC2\xA0tuic", 18108, false},  // a no-break space is white space too
        {"", std::nullopt, false},
        {"vless", std::nullopt, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.transport);
        ProductTunnelRequest request = request_with(c.transport, kVlessConfig);
        json outbound = build_proxy_outbound(request);
        if (c.socks_port) {
            EXPECT_EQ(outbound, build_local_socks_outbound(static_cast<uint16_t>(*c.socks_port)));
        } else {
            EXPECT_EQ(outbound["protocol"], "vless");
        }
        json rules = build_xray_tun_config(request, "R", "T")["routing"]["rules"];
        bool block = false;
        for (const auto& r : rules) block = block || r["outboundTag"] == "block";
        EXPECT_EQ(block, c.quic_block);
        EXPECT_EQ(rules.size(), c.quic_block ? 6u : 5u);
    }
}

TEST(XrayConfig, VlessOutboundEdgeCases) {
    struct Case {
        const char* config;
        json fingerprint;
        json flow;
        json address;
    };
    const Case cases[] = {
        {R"({})", "chrome", "xtls-rprx-vision", nullptr},
        {R"(null)", "chrome", "xtls-rprx-vision", nullptr},
        {R"({"server": {"host": "h", "fp": null}})", nullptr, "xtls-rprx-vision", "h"},
        {R"({"server": {"fp": 7}, "flow": 5})", 7, "xtls-rprx-vision", nullptr},
        {R"({"flow": "", "user": {"flow": "ignored"}})", "chrome", "", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.config);
        json outbound = build_proxy_outbound(request_with("xray", json::parse(c.config)));
        json reality = outbound["streamSettings"]["realitySettings"];
        json vnext = outbound["settings"]["vnext"][0];
        EXPECT_EQ(reality["fingerprint"], c.fingerprint);
        EXPECT_EQ(vnext["users"][0]["flow"], c.flow);
        EXPECT_EQ(vnext["address"], c.address);
        if (c.address.is_null()) {
            EXPECT_TRUE(vnext["port"].is_null());
            EXPECT_TRUE(reality["serverName"].is_null());
            EXPECT_TRUE(reality["publicKey"].is_null());
            EXPECT_TRUE(reality["shortId"].is_null());
        }
    }
    // Values keep their type: a port given as text stays text.
    json outbound = build_proxy_outbound(request_with("xray", json::parse(R"({"server":{"port":"443"}})")));
    EXPECT_EQ(outbound["settings"]["vnext"][0]["port"], "443");
}

TEST(XrayConfig, ValidationNamesWhatIsMissing) {
    json good = build_xray_tun_config(request_with("xray", kVlessConfig), "R", "T");
    EXPECT_TRUE(validate_xray_tun_config(good).ok());
    struct Case {
        std::function<void(json&)> damage;
        const char* message;
    };
    const Case cases[] = {
        {[](json& d) { d["inbounds"][0]["protocol"] = "http"; }, "generated Xray TUN config is missing tun-in inbound"},
        {[](json& d) { d.erase("inbounds"); }, "generated Xray TUN config is missing tun-in inbound"},
        {[](json& d) { d["inbounds"] = json::object(); }, "generated Xray TUN config is missing tun-in inbound"},
        {[](json& d) { d.erase("routing"); }, "generated Xray TUN config is missing routing rules"},
        {[](json& d) { d["routing"]["rules"] = "none"; }, "generated Xray TUN config is missing routing rules"},
        {[](json& d) {
             for (auto& r : d["routing"]["rules"]) {
                 if (r.contains("inboundTag")) r["inboundTag"] = json::array({"probe-in"});
             }
         },
         "generated Xray TUN config is missing tun-in routing rule"},
    };
    for (const Case& c : cases) {
        json d = good;
        c.damage(d);
        auto result = validate_xray_tun_config(d);
        ASSERT_FALSE(result.ok()) << c.message;
        EXPECT_EQ(result.error(), c.message);
    }
}

TEST(BackendConfig, DocumentsAreByteExact) {
    json config = json::parse(R"({
      "server": {"host": "203.0.113.7", "port": 443, "sni": "vpn.example.com", "allowInsecure": true,
                 "congestionControl": "cubic", "alpn": ["h3", "h2"]},
      "user": {"uuid": "11111111-2222-3333-4444-555555555555", "password": "secret"}
    })");
    expect_document(build_hysteria_config(request_with("hysteria2", config)), "hysteria.json");
    expect_document(build_tuic_config(request_with("tuic", config)), "tuic.json");
}

TEST(BackendConfig, ServerSettingsEdgeCases) {
    struct Case {
        const char* config;
        const char* hysteria_server;
        const char* tuic_server;
        const char* sni;
        bool insecure;
    };
    const Case cases[] = {
        {R"({"server":{"host":"203.0.113.7","port":443}})", "203.0.113.7:443", "203.0.113.7:443", "203.0.113.7", false},
        {R"({"server":{"host":"203.0.113.7"}})", "203.0.113.7:8443", "203.0.113.7:443", "203.0.113.7", false},
        {R"({"server":{"host":"203.0.113.7","port":"443"}})", "203.0.113.7:8443", "203.0.113.7:443", "203.0.113.7", false},
        {R"({"server":{"host":"203.0.113.7","port":-1}})", "203.0.113.7:8443", "203.0.113.7:443", "203.0.113.7", false},
        {R"({"server":{"host":"203.0.113.7","port":44.5}})", "203.0.113.7:8443", "203.0.113.7:443", "203.0.113.7", false},
        {R"({"server":{"host":"2001:db8::1","port":9}})", "2001:db8::1:9", "2001:db8::1:9", "2001:db8::1", false},
        {R"({"server":{"host":5,"sni":"s","allowInsecure":"true"}})", ":8443", ":443", "s", false},
        {R"({"server":{"allowInsecure":true}})", ":8443", ":443", "", true},
        {R"(7)", ":8443", ":443", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.config);
        ProductTunnelRequest r = request_with("hysteria2", json::parse(c.config));
        json h = build_hysteria_config(r);
        json t = build_tuic_config(r);
        EXPECT_EQ(h["server"], c.hysteria_server);
        EXPECT_EQ(t["relay"]["server"], c.tuic_server);
        EXPECT_EQ(h["tls"]["sni"], c.sni);
        EXPECT_EQ(t["relay"]["sni"], c.sni);
        EXPECT_EQ(h["tls"]["insecure"], c.insecure);
        EXPECT_EQ(t["relay"]["skip_cert_verify"], c.insecure);
    }
}

TEST(BackendConfig, PasswordsAlpnAndCongestionControl) {
    json h = build_hysteria_config(request_with("hysteria2", json::parse(R"({"user":{"password":5}})")));
    EXPECT_EQ(h["auth"], "");
    json t = build_tuic_config(request_with("tuic", json::parse(R"({"user":{"password":5,"uuid":[1]},
                                                                   "server":{"congestionControl":1}})")));
    EXPECT_EQ(t["relay"]["password"], 5);
    EXPECT_EQ(t["relay"]["uuid"], json::array({1}));
    EXPECT_EQ(t["relay"]["alpn"], json::array({"h3"}));
    EXPECT_EQ(t["relay"]["congestion_control"], "bbr");
    json bare = build_tuic_config(request_with("tuic", json::object()));
    EXPECT_TRUE(bare["relay"]["password"].is_null());
    EXPECT_TRUE(bare["relay"]["uuid"].is_null());
    json alpn_null = build_tuic_config(request_with("tuic", json::parse(R"({"server":{"alpn":null}})")));
    EXPECT_TRUE(alpn_null["relay"]["alpn"].is_null());
}

TEST(BackendSelection, TransportsAndTheUnsupportedMessage) {
    struct Case {
        const char* transport;
        std::optional<Backend> backend;
        const char* message;
    };
    const Case cases[] = {
        {"xray", Backend::None, ""},
        {" tuic ", Backend::Tuic, ""},
        {"Hysteria2", Backend::Hysteria2, ""},
        {"TUIC", Backend::Tuic, ""},
        {"vless", std::nullopt, "PRODUCT_TUNNEL_BACKEND_NOT_INSTALLED: VLESS is not supported by product tunnel"},
        {"", std::nullopt, "PRODUCT_TUNNEL_BACKEND_NOT_INSTALLED:  is not supported by product tunnel"},
        {"hysteria", std::nullopt, "PRODUCT_TUNNEL_BACKEND_NOT_INSTALLED: HYSTERIA is not supported by product tunnel"},
    };
    for (const Case& c : cases) {
        auto selected = select_backend(request_with(c.transport, nullptr));
        ASSERT_EQ(selected.ok(), c.backend.has_value()) << c.transport;
        if (c.backend) {
            EXPECT_EQ(*selected, *c.backend);
        } else {
            EXPECT_EQ(selected.rendered(), c.message);
        }
    }
}

}  // namespace
}  // namespace vorn
