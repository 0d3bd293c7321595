#include <gtest/gtest.h>

#include "fakes.h"
#include "split_tunnel/firewall.h"
#include "split_tunnel/wfp_cleanup.h"

namespace vorn {
namespace {

using testing::FakePlatform;

const std::vector<std::string> kCommonV4 = {
    "v4 connect w0 block",
    "v4 accept w0 block",
    "v4 connect w15 permit flags&1",
    "v4 accept w15 permit flags&1",
    "v4 connect w14 permit app=C:\\e\\xray.exe app=C:\\e\\hysteria.exe",
    "v4 accept w14 permit app=C:\\e\\xray.exe app=C:\\e\\hysteria.exe",
    "v4 connect w10 block remote-port=53 protocol=6 protocol=17",
    "v4 accept w10 block remote-port=53 protocol=6 protocol=17",
    "v4 connect w11 permit protocol=17 local-port=68 remote-port=67",
    "v4 accept w11 permit protocol=17 local-port=68 remote-port=67",
    "v4 connect w9 permit remote=10.0.0.0/255.0.0.0 remote=172.16.0.0/255.240.0.0 remote=192.168.0.0/255.255.0.0 "
    "remote=169.254.0.0/255.255.0.0 remote=224.0.0.0/240.0.0.0 remote=255.255.255.255",
    "v4 accept w9 permit remote=10.0.0.0/255.0.0.0 remote=172.16.0.0/255.240.0.0 remote=192.168.0.0/255.255.0.0 "
    "remote=169.254.0.0/255.255.0.0 remote=224.0.0.0/240.0.0.0 remote=255.255.255.255",
    "v4 connect w12 permit remote=198.51.100.20",
    "v4 accept w12 permit remote=198.51.100.20",
};
const std::vector<std::string> kAdapter = {
    "v4 connect w13 permit interface=37 local=172.19.0.1",
    "v4 accept w13 permit interface=37 local=172.19.0.1",
};
const std::vector<std::string> kCommonV6 = {
    "v6 connect w0 block",
    "v6 accept w0 block",
    "v6 connect w15 permit flags&1",
    "v6 accept w15 permit flags&1",
    "v6 connect w14 permit app=C:\\e\\xray.exe app=C:\\e\\hysteria.exe",
    "v6 accept w14 permit app=C:\\e\\xray.exe app=C:\\e\\hysteria.exe",
    "v6 connect w10 block remote-port=53 protocol=6 protocol=17",
    "v6 accept w10 block remote-port=53 protocol=6 protocol=17",
    "v6 connect w11 permit protocol=17 local-port=546 remote-port=547",
    "v6 accept w11 permit protocol=17 local-port=546 remote-port=547",
    "v6 connect w9 permit remote=fe80::/10 remote=fc00::/7 remote=ff00::/8",
    "v6 accept w9 permit remote=fe80::/10 remote=fc00::/7 remote=ff00::/8",
    "v6 connect w11 permit protocol=58 local-port in 133-137",
    "v6 accept w11 permit protocol=58 local-port in 133-137",
};

std::vector<std::string> concat(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// Each state's filter set, as the fake engine holds it after the change, and the change made in
// exactly one committed transaction that replaced whatever stood before.
TEST(Firewall, FilterSetOfEachStateInOneTransaction) {
    FullTunnelFirewall connecting{{"C:\\e\\xray.exe", "C:\\e\\hysteria.exe"}, "198.51.100.20", std::nullopt};
    FullTunnelFirewall connected = connecting;
    connected.adapter_index = 37;
    struct Case {
        const char* name;
        std::function<Status(Platform&)> before;  // what stood already
        std::function<Status(Platform&)> change;
        std::vector<std::string> expected;
        bool family_purged;  // the change deleted every key of the family first
    };
    auto full = [](const FullTunnelFirewall& plan) {
        return [plan](Platform& p) { return install_full_tunnel_firewall(p, plan); };
    };
    auto nothing = [](Platform&) { return Status{}; };
    const Case cases[] = {
        {"connecting", nothing, full(connecting), concat({kCommonV4, kCommonV6}), true},
        {"connected", full(connecting), full(connected), concat({kCommonV4, kAdapter, kCommonV6}), true},
        {"reconnecting", full(connected), [](Platform& p) { return withdraw_adapter_permit(p); },
         concat({kCommonV4, kCommonV6}), false},
        {"split", nothing,
         [](Platform& p) { return install_split_quic_block(p, {"C:\\b\\browser.exe", "C:\\gone.exe", "C:\\b\\mail.exe", "C:\\b\\browser.exe"}); },
         {"v4 connect w10 block protocol=17 remote-port=443 app=C:\\b\\browser.exe app=C:\\b\\mail.exe",
          "v6 connect w10 block protocol=17 remote-port=443 app=C:\\b\\browser.exe app=C:\\b\\mail.exe"},
         true},
        {"split without an application that exists", full(connected),
         [](Platform& p) { return install_split_quic_block(p, {"C:\\gone.exe"}); }, {}, true},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        FakePlatform f;
        f.wfp.open_status = 0;
        f.wfp.missing_files = {"C:\\gone.exe"};
        ASSERT_TRUE(k.before(f.platform).ok());
        f.wfp.calls.clear();
        int commits = f.wfp.commits;
        ASSERT_TRUE(k.change(f.platform).ok());
        EXPECT_EQ(f.wfp.described(), k.expected);
        EXPECT_EQ(f.wfp.commits, commits + 1);
        EXPECT_EQ(std::count(f.wfp.calls.begin(), f.wfp.calls.end(), "begin"), 1);
        auto deletes = std::count_if(f.wfp.calls.begin(), f.wfp.calls.end(),
                                     [](const std::string& c) { return c.rfind("filter ", 0) == 0; });
        EXPECT_EQ(deletes, k.family_purged ? 2 * kWfpFilterSlots : 2);
        EXPECT_EQ(f.wfp.installed.sublayer, !k.expected.empty());
        EXPECT_EQ(full_tunnel_firewall_present(f.platform), std::string(k.name) != "split" && !k.expected.empty());
    }
}

// A change that fails part way is aborted: what stood before stands whole.
TEST(Firewall, AFailedChangeLeavesTheStandingPolicy) {
    struct Case {
        const char* name;
        std::function<void(testing::FakeWfp&)> arrange;
        std::string error;
    };
    const Case cases[] = {
        {"filter add refused", [](testing::FakeWfp& w) { w.add_filter_status = 0x80320002; },
         "could not install the tunnel firewall: FwpmFilterAdd0 failed: 0x80320002"},
        {"engine does not open", [](testing::FakeWfp& w) { w.open_status = 1753; },
         "could not install the tunnel firewall: FwpmEngineOpen0 failed: Windows error 1753"},
        {"engine executable gone", [](testing::FakeWfp& w) { w.missing_files = {"C:\\e\\xray.exe"}; },
         "could not install the tunnel firewall: FwpmGetAppIdFromFileName0 failed for C:\\e\\xray.exe: Windows error 2"},
    };
    FullTunnelFirewall plan{{"C:\\e\\xray.exe"}, "198.51.100.20", 37};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        FakePlatform f;
        f.wfp.open_status = 0;
        ASSERT_TRUE(install_split_quic_block(f.platform, {"C:\\b\\browser.exe"}).ok());
        std::vector<std::string> before = f.wfp.described();
        k.arrange(f.wfp);
        EXPECT_EQ(install_full_tunnel_firewall(f.platform, plan).error(), k.error);
        EXPECT_EQ(f.wfp.described(), before);
    }
}

TEST(Firewall, BlockedMessage) {
    EXPECT_EQ(traffic_blocked("Xray TUN exited").rendered(),
              "TUNNEL_DOWN_TRAFFIC_BLOCKED: Xray TUN exited; disconnect to restore the network");
}

}  // namespace
}  // namespace vorn
