#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "common/redact.h"
#include "common/text.h"
#include "fakes.h"

namespace vorn {
namespace {

using nlohmann::json;
using testing::fixture;

std::string expected(const std::string& name) {
    std::ifstream in(std::string(VORN_UNIT_EXPECTED_DIR) + "/" + name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// What a report learns from the request on disk and the operator's values.
Redactor learned_from_request() {
    Redactor r;
    json request = json::parse(fixture("redact/request.json"));
    r.learn(request);
    r.add_server_host(request["config"]["server"]["host"].get<std::string>());
    r.add_server_host("203.0.113.7");
    for (const char* kept : {"198.51.100.10", "198.51.100.11", "198.51.100.12", "198.51.100.20", "1.1.1.1", "8.8.8.8"}) {
        r.add_kept_address(kept);
    }
    return r;
}

const std::vector<std::string> kRequestSecrets = {
    "3f8a1c2e-9b4d-4e7f-a6c5-0d2b8e1f7a93", "Tr0ub4dor&3-horse", "Xk3vQ9pLr2Tz8WmN4bYc6HdJ1sAfE7gUoKiZ5nRtV0M",
    "6ba85179e30d4fc2", "48213577", "Zelda's laptop", "Edge-7.Vorn-Servers.example", "203.0.113.7", "Zelda Quill",
    "zelda.quill"};

TEST(Redact, GoldenConfigurationsLogsAndToolOutput) {
    struct Case {
        const char* input;
        const char* golden;
        bool json;
    };
    const Case cases[] = {
        {"redact/xray-tun.json", "redact/xray-tun.json", true},
        {"redact/hysteria.json", "redact/hysteria.json", true},
        {"redact/tuic.json", "redact/tuic.json", true},
        {"redact/unknown-secrets.json", "redact/unknown-secrets.json", true},
        {"redact/engine-log.txt", "redact/engine-log.txt", false},
        {"redact/route-print.txt", "redact/route-print.txt", false},
        {"redact/netsh-show-config.txt", "redact/netsh-show-config.txt", false},
        {"redact/sc-qc.txt", "redact/sc-qc.txt", false},
    };
    Redactor r = learned_from_request();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        std::string input = fixture(c.input);
        if (c.json) r.learn(json::parse(input));
        std::string out = c.json ? r.json(json::parse(input)).dump(2) + "\n" : r.text(input);
        EXPECT_EQ(out, expected(c.golden));
        for (const std::string& secret : kRequestSecrets) {
            EXPECT_FALSE(contains(out, secret)) << secret;
            EXPECT_FALSE(contains(out, to_ascii_lower(secret))) << secret;
        }
    }
}

TEST(Redact, TextRules) {
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"203.0.113.7 203.0.113.70 203.0.113.7/32", "<server> 203.0.x.x <server>/32"},
        {"10.1.2.3 172.19.0.1 172.31.9.9 192.168.1.23 127.0.0.1 169.254.1.1 100.64.0.1",
         "10.1.2.3 172.19.0.1 172.31.9.9 192.168.1.23 127.0.0.1 169.254.1.1 100.64.0.1"},
        {"172.32.0.1 100.128.0.1", "172.32.x.x 100.128.x.x"},
        {"198.51.100.10 198.51.100.99 1.1.1.1 8.8.8.8 8.8.4.4", "198.51.100.10 198.51.x.x 1.1.1.1 8.8.8.8 8.8.x.x"},
        {"0.0.0.0 128.0.0.0 255.255.255.252 224.0.0.251 81.2.0.0", "0.0.0.0 128.0.0.0 255.255.255.252 224.0.0.251 81.2.0.0"},
        {"dial 81.2.69.160:443 (81.2.69.161). 81.2.69.162.", "dial 81.2.x.x:443 (81.2.x.x). 81.2.x.x."},
        {"v1.2.3.4 1.2.3.4.5 1.2.3.4a 300.1.1.1 1.2.3", "v1.2.3.4 1.2.3.4.5 1.2.3.4a 300.1.1.1 1.2.3"},
        {"2001:db8:85a3::8a2e:370:7334 2a02:8108:1a40:3c00:d4e1:77ff:fe12:3456 2606::1",
         "2001:db8::x 2a02:8108::x 2606::x"},
        {"fe80::1%12 ::1 ff02::fb fd00::7 :: 12:34:56 std::move", "fe80::1%12 ::1 ff02::fb fd00::7 :: 12:34:56 std::move"},
        {"00-15-5D-01-02-03 00:15:5d:01:02:03 00 15 5d 01 02 03 ......", "00-15-5D-xx-xx-xx 00:15:5d:xx:xx:xx 00 15 5d xx xx xx ......"},
        {"C:\\Users\\Public\\x C:\\users\\Default\\y c:/users/bob/z \\\\?\\C:\\USERS\\Ann Lee\\a.txt",
         "C:\\Users\\Public\\x C:\\users\\Default\\y c:/users/<user>/z \\\\?\\C:\\USERS\\<user>\\a.txt"},
        {"\"C:\\\\Users\\\\Ann Lee\\\\a.txt\" and Ann Lee again", "\"C:\\\\Users\\\\<user>\\\\a.txt\" and <user> again"},
        // The server by name, in any case and wrapped; the request's secrets in any case.
        {"EDGE-7.vorn-servers.EXAMPLE and edge-7.vorn-\n  servers.example", "<server> and <server>"},
        {"TR0UB4DOR&3-HORSE tr0ub4dor&3-\r\nhorse", "<redacted> <redacted>"},
    };
    Redactor r = learned_from_request();
    r.learn_user_names("C:\\Users\\Ann Lee\\Desktop");
    for (const Case& c : cases) EXPECT_EQ(r.text(c.in), c.out) << c.in;
}

TEST(Redact, WhatCountsAsASecret) {
    struct Case {
        const char* name;
        bool secret;
    };
    const Case cases[] = {
        {"id", true},          {"ID", true},           {"uuid", true},          {"password", true},
        {"auth", true},        {"auth_str", true},     {"Authorization", true}, {"key", true},
        {"publicKey", true},   {"private_key", true},  {"realityPublicKey", true}, {"shortId", true},
        {"short-id", true},    {"token", true},        {"refresh_token", true}, {"clientSecret", true},
        {"flow", false},       {"server", false},      {"address", false},      {"sni", false},
        {"pid", false},        {"ifIndex", false},     {"keyboard", false},     {"monkeys", false},
        {"user", false},  // everything under it is hidden, but by another rule
    };
    for (const Case& c : cases) EXPECT_EQ(is_secret_member(c.name), c.secret) << c.name;
}

TEST(Redact, LearnedSecretsAndTheirLimits) {
    Redactor r;
    r.learn(json::parse(R"({"user":{"note":"a\"quoted\\one"},"shortId":"ab","port":443,"id":123456,
                            "nested":[{"token":{"parts":["first-part","2nd"]}}]})"));
    // Too short for text; the JSON escaped form beside the plain one; numbers as written.
    EXPECT_EQ(r.secrets(), (std::vector<std::string>{"a\\\"quoted\\\\one", "a\"quoted\\one", "first-part", "123456", "2nd"}));
    EXPECT_EQ(r.json(json::parse(R"({"shortId":"ab","id":123456,"enabled":true,"user":null,"port":443})")),
              json::parse(R"({"shortId":"<redacted>","id":"<redacted>","enabled":true,"user":null,"port":443})"));
}

}  // namespace
}  // namespace vorn
