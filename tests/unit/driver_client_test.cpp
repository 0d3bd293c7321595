#include <gtest/gtest.h>

#include <deque>

#include "fakes.h"
#include "split_tunnel/driver_client.h"

namespace vorn {
namespace {

uint32_t u32(const std::string& b, size_t at) {
    return uint32_t(uint8_t(b[at])) | uint32_t(uint8_t(b[at + 1])) << 8 | uint32_t(uint8_t(b[at + 2])) << 16 |
           uint32_t(uint8_t(b[at + 3])) << 24;
}

TEST(RedirectPolicy, BuildingSortsDeduplicatesAndRefuses) {
    struct Case {
        std::vector<std::string> apps;
        uint16_t port;
        std::vector<std::string> expected;
        std::string code;
    };
    std::vector<std::string> sixty_four, sixty_five;
    for (int i = 0; i < 65; ++i) {
        (i < 64 ? sixty_four : sixty_five).push_back("C:\\Apps\\app" + std::to_string(i) + ".exe");
    }
    sixty_five.insert(sixty_five.begin(), sixty_four.begin(), sixty_four.end());
    const Case cases[] = {
        {{"C:\\B\\b.exe", "C:\\A\\app.exe", "C:\\A\\app.exe"}, 4000, {"C:\\A\\app.exe", "C:\\B\\b.exe"}, ""},
        {{"C:\\A-x\\b.exe", "C:\\A\\b.exe"}, 4000, {"C:\\A\\b.exe", "C:\\A-x\\b.exe"}, ""},  // component by component
        {{"C:\\A\\app.exe", "C:/A//app.exe"}, 4000, {"C:\\A\\app.exe"}, ""},                 // the same path
        {{"app.exe"}, 4000, {"app.exe"}, ""},                                                // relative: checked later
        {{"C:\\A\\app.exe"}, 0, {}, "SPLIT_REDIRECT_INVALID_PORT"},
        {{"C:\\"}, 4000, {}, "SPLIT_REDIRECT_INVALID_APP"},
        {{"C:\\A\\.."}, 4000, {}, "SPLIT_REDIRECT_INVALID_APP"},
        {{""}, 4000, {}, "SPLIT_REDIRECT_INVALID_APP"},
        {{}, 4000, {}, "SPLIT_REDIRECT_EMPTY_POLICY"},
        {sixty_four, 4000, {}, ""},
        {sixty_five, 4000, {}, "SPLIT_REDIRECT_TOO_MANY_RULES"},
    };
    for (const Case& c : cases) {
        auto policy = build_redirect_policy(c.apps, 2216, c.port);
        ASSERT_EQ(policy.ok(), c.code.empty()) << (c.apps.empty() ? "" : c.apps[0]);
        if (!policy.ok()) {
            EXPECT_EQ(policy.failure().code, c.code);
            continue;
        }
        if (!c.expected.empty()) { EXPECT_EQ(policy->applications, c.expected); }
        EXPECT_TRUE(policy->root_process_ids.empty());
    }
    EXPECT_EQ(build_redirect_policy(sixty_five, 1, 1).rendered(),
              "SPLIT_REDIRECT_TOO_MANY_RULES: split redirect policy exceeds 64 applications");
    EXPECT_EQ(build_redirect_policy({}, 1, 1).rendered(),
              "SPLIT_REDIRECT_EMPTY_POLICY: split redirect policy has no applications");
}

TEST(RedirectPolicy, RecordLayout) {
    auto policy = build_redirect_policy({"C:\\A\\app.exe", "C:\\B\\b.exe", "C:\\A\\app.exe"}, 2216, 51000);
    ASSERT_TRUE(policy.ok());
    auto with_roots = attach_root_processes(*policy, {500, 12, 500});
    ASSERT_TRUE(with_roots.ok());
    auto record = encode_redirect_policy(*with_roots);
    ASSERT_TRUE(record.ok());
    const std::string& r = *record;
    ASSERT_EQ(r.size(), 2884u);
    EXPECT_EQ(u32(r, 0), 2u);
    EXPECT_EQ(u32(r, 4), 2216u);
    EXPECT_EQ(uint8_t(r[8]) | uint8_t(r[9]) << 8, 51000);  // host order, not network order
    EXPECT_EQ(u32(r, 12), 2u);
    EXPECT_EQ(u32(r, 16), 2u);
    EXPECT_EQ(u32(r, 20), 12u);
    EXPECT_EQ(u32(r, 24), 500u);
    EXPECT_EQ(r.substr(28, 248), std::string(248, '\0'));
    EXPECT_EQ(u32(r, 276), 0u);
    EXPECT_EQ(u32(r, 280), 1u);
    EXPECT_EQ(r.substr(284, 6), std::string("C\0:\0\\\0", 6));
    EXPECT_EQ(r.substr(284 + 2 * 12, 1040 - 24 + 256), std::string(1040 - 24 + 256, '\0'));
    EXPECT_EQ(u32(r, 276 + 1304), 1u);
    EXPECT_EQ(r.substr(276 + 1304 + 8 + 5 * 2, 2), std::string("b\0", 2));  // C:\B\b.exe

    std::vector<uint32_t> many(65);
    for (uint32_t i = 0; i < 65; ++i) many[i] = i + 1;
    EXPECT_EQ(attach_root_processes(*policy, many).rendered(),
              "SPLIT_REDIRECT_TOO_MANY_ROOT_PIDS: split redirect policy exceeds 64 running roots");
    many.push_back(1);  // duplicates do not count
    many.pop_back();
    many.pop_back();
    EXPECT_TRUE(attach_root_processes(*policy, many).ok());
}

TEST(RedirectPolicy, PathCapacity) {
    for (size_t units : {519u, 520u}) {
        std::string path = "C:\\" + std::string(units - 3, 'a');
        auto policy = build_redirect_policy({path}, 1, 1);
        auto record = encode_redirect_policy(*policy);
        EXPECT_EQ(record.ok(), units == 519) << units;
        if (!record.ok()) {
            EXPECT_EQ(record.rendered(), "SPLIT_REDIRECT_PATH_TOO_LONG: redirected application path exceeds driver capacity");
        }
    }
}

class FakeDevice : public DriverDevice {
public:
    DriverReply control(uint32_t code, const std::string* input, uint32_t output_size) override {
        codes.push_back(code);
        inputs.push_back(input ? *input : "<none>");
        sizes.push_back(output_size);
        if (replies.empty()) return testing::refused("unscripted driver request " + std::to_string(code), DriverReply{});
        DriverReply r = replies.front();
        replies.pop_front();
        return r;
    }
    std::deque<DriverReply> replies;
    std::vector<uint32_t> codes;
    std::vector<std::string> inputs;
    std::vector<uint32_t> sizes;
};

DriverReply diagnostics_reply(uint32_t version, uint32_t tracked, uint32_t reported = 20) {
    std::string out(20, '\0');
    for (int i = 0; i < 4; ++i) out[i] = char(version >> (8 * i)), out[4 + i] = char(tracked >> (8 * i));
    out[19] = 7;
    return DriverReply{true, true, reported, out};
}

TEST(DriverControl, RepliesAndDiagnostics) {
    struct Case {
        DriverReply reply;
        std::string rendered;  // "" for success
    };
    const Case cases[] = {
        {diagnostics_reply(2, 3), ""},
        {DriverReply{false, false, 0, ""}, "SPLIT_DRIVER_UNAVAILABLE: Vorn split redirect driver is not installed or not running"},
        {DriverReply{false, true, 0, ""}, "SPLIT_DRIVER_IO_FAILED: Vorn split redirect driver rejected the requested operation"},
        {DriverReply{true, true, 21, std::string(20, '\0')},
         "SPLIT_DRIVER_IO_FAILED: Vorn split redirect driver returned an oversized response"},
        {diagnostics_reply(2, 3, 16), "SPLIT_DRIVER_STATS_TRUNCATED: driver returned a truncated diagnostic record"},
        {diagnostics_reply(3, 3), "SPLIT_DRIVER_PROTOCOL_MISMATCH: driver protocol version 3 is unsupported"},
    };
    for (const Case& c : cases) {
        FakeDevice device;
        device.replies.push_back(c.reply);
        auto diagnostics = query_driver_diagnostics(device);
        EXPECT_EQ(diagnostics.ok() ? "" : diagnostics.rendered(), c.rendered);
        EXPECT_EQ(device.codes, std::vector<uint32_t>{0x12600C});
        EXPECT_EQ(device.sizes, std::vector<uint32_t>{20});
        if (diagnostics.ok()) {
            EXPECT_EQ(diagnostics->tracked_processes, 3u);
            EXPECT_EQ(diagnostics->further[11], 7);
        }
    }
    FakeDevice device;
    device.replies.push_back(DriverReply{true, true, 0, ""});
    EXPECT_TRUE(clear_redirect_policy(device).ok());
    EXPECT_EQ(device.codes, std::vector<uint32_t>{0x12A008});
    EXPECT_EQ(device.inputs, std::vector<std::string>{"<none>"});
    EXPECT_EQ(device.sizes, std::vector<uint32_t>{0});
}

// The driver's service as the service manager reports it, poll by poll.
class FakeDriverService : public DriverServiceControl {
public:
    Result<void, DriverOpenFailure> open(const std::string& name) override {
        opened_name = name;
        if (open_fails_at) return DriverOpenFailure{system_failure(5, "denied"), open_fails_at == 1};
        return {};
    }
    Result<DriverServiceState, SystemFailure> query() override {
        ++queries;
        if (states.empty()) {
            if (!query_fails) testing::report_unscripted("unscripted query of the driver service");
            return system_failure(6, "bad handle");
        }
        DriverServiceState s = states.front();
        if (states.size() > 1) states.pop_front();
        return s;
    }
    Result<void, SystemFailure> start() override {
        ++starts;
        if (!start_ok) return system_failure(1058, "disabled");
        return {};
    }
    void close() override { ++closes; }

    int open_fails_at = 0;
    std::deque<DriverServiceState> states;  // the last one stays
    bool query_fails = false;               // once the states run out
    bool start_ok = true;
    std::string opened_name;
    int queries = 0;
    int starts = 0;
    int closes = 0;
};

TEST(ApplyRedirectPolicy, ServiceStartAndPolicyDelivery) {
    using S = DriverServiceState;
    struct Case {
        const char* name;
        std::vector<std::string> apps;
        uint32_t service_pid;
        FakeDriverService service;
        std::string rendered;
        int starts;
        size_t sleeps;
        bool delivered;
    };
    auto service = [](std::deque<S> states, bool start_ok = true, int open_fails_at = 0) {
        FakeDriverService s;
        s.states = std::move(states);
        s.query_fails = s.states.empty();
        s.start_ok = start_ok;
        s.open_fails_at = open_fails_at;
        return s;
    };
    const std::vector<std::string> apps = {"C:\\A\\app.exe"};
    const Case cases[] = {
        {"already running: no start", apps, 2216, service({S::Running}), "", 0, 0, true},
        {"started, running after three polls", apps, 2216,
         service({S::Stopped, S::StartPending, S::StartPending, S::Running}), "", 1, 2, true},
        {"stopped during start-up", apps, 2216, service({S::Stopped, S::StartPending, S::Stopped}),
         "SPLIT_DRIVER_START_FAILED: Vorn split redirect driver stopped during startup", 1, 1, false},
        {"never running", apps, 2216, service({S::StartPending}),
         "SPLIT_DRIVER_START_FAILED: Vorn split redirect driver did not enter the running state", 0, 30, false},
        {"start refused", apps, 2216, service({S::Stopped}, false),
         "SPLIT_DRIVER_START_FAILED: could not start the Vorn split driver (1058)", 1, 0, false},
        {"no service", apps, 2216, service({}, true, 2),
         "SPLIT_DRIVER_START_FAILED: could not open the Vorn split driver service (5)", 0, 0, false},
        {"no manager", apps, 2216, service({}, true, 1),
         "SPLIT_DRIVER_START_FAILED: could not open the Windows service manager (5)", 0, 0, false},
        {"query fails", apps, 2216, service({}),
         "SPLIT_DRIVER_START_FAILED: could not query the Vorn split driver (6)", 0, 0, false},
        {"relative path", {"app.exe"}, 2216, service({S::Running}),
         "SPLIT_DRIVER_POLICY_REJECTED: redirect policy contains a non-absolute application path", 0, 0, false},
        {"no service pid", apps, 0, service({S::Running}),
         "SPLIT_DRIVER_POLICY_REJECTED: redirect policy requires a service PID and a loopback TCP listener port", 0, 0,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeDriverService svc = c.service;
        FakeDevice device;
        device.replies.push_back(DriverReply{true, true, 0, ""});
        device.replies.push_back(diagnostics_reply(2, 4));
        testing::FakeClock clock;
        auto policy = build_redirect_policy(c.apps, c.service_pid, 4000);
        ASSERT_TRUE(policy.ok());
        auto diagnostics = apply_redirect_policy({svc, device, clock}, *policy);
        EXPECT_EQ(diagnostics.ok() ? "" : diagnostics.rendered(), c.rendered);
        EXPECT_EQ(svc.starts, c.starts);
        EXPECT_EQ(clock.sleeps, std::vector<uint32_t>(c.sleeps, 100));
        EXPECT_EQ(!device.codes.empty(), c.delivered);
        if (c.delivered) {
            EXPECT_EQ(device.codes, (std::vector<uint32_t>{0x12A004, 0x12600C}));
            EXPECT_EQ(device.inputs[0].size(), 276u + 1304u);
            EXPECT_EQ(diagnostics->tracked_processes, 4u);
        }
        bool touched = c.name[0] != 'r' && c.service_pid != 0;
        EXPECT_EQ(svc.opened_name, touched ? "VornSplitCallout" : "");
        EXPECT_EQ(svc.closes, touched && svc.open_fails_at == 0 ? 1 : 0);
    }
}

}  // namespace
}  // namespace vorn
