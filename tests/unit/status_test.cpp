#include <gtest/gtest.h>

#include <fstream>

#include "common/files.h"
#include "fakes.h"
#include "service/status.h"

namespace vorn {
namespace {

using testing::FakeEnvironment;
using testing::FakePlatform;

std::string slurp(const std::string& path) { return read_file(path).value(); }

TEST(StatusRendering, PrettyAndCompactFormsAreByteExact) {
    struct Case {
        TunnelStatus status;
        const char* pretty;
        const char* compact;
    };
    const Case cases[] = {
        {make_status(TunnelState::Idle, "Vorn tunnel service installed"),
         "{\n  \"status\": \"idle\",\n  \"message\": \"Vorn tunnel service installed\"\n}",
         "{\"status\":\"idle\",\"message\":\"Vorn tunnel service installed\"}"},
        {TunnelStatus{TunnelState::Error, std::nullopt},
         "{\n  \"status\": \"error\",\n  \"message\": null\n}",
         "{\"status\":\"error\",\"message\":null}"},
        {make_status(TunnelState::Connected, "a \"q\" \\ \n\t\x01 \xC3\xA9 /"),
         "{\n  \"status\": \"connected\",\n  \"message\": \"a \\\"q\\\" \\\\ \\n\\t\\u0001 \xC3\xA9 /\"\n}",
         "{\"status\":\"connected\",\"message\":\"a \\\"q\\\" \\\\ \\n\\t\\u0001 \xC3\xA9 /\"}"},
        // Bytes that are not UTF-8 (a stray byte, a character cut short) never stop a record.
        {make_status(TunnelState::Error, "bad \xFF, cut \xC3"),
         "{\n  \"status\": \"error\",\n  \"message\": \"bad \xEF\xBF\xBD, cut \xEF\xBF\xBD\"\n}",
         "{\"status\":\"error\",\"message\":\"bad \xEF\xBF\xBD, cut \xEF\xBF\xBD\"}"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(status_to_pretty_json(c.status).value(), c.pretty);
        EXPECT_EQ(status_to_json(c.status).value(), c.compact);
    }
}

TEST(StatusParsing, AcceptsOnlyTheThreeStatesAndOneObject) {
    struct Case {
        const char* text;
        std::optional<TunnelStatus> expected;
    };
    const Case cases[] = {
        {"{\"status\":\"idle\",\"message\":\"m\"}", make_status(TunnelState::Idle, "m")},
        {"{\"status\":\"error\"}", TunnelStatus{TunnelState::Error, std::nullopt}},
        {"{\"status\":\"error\",\"message\":null}", TunnelStatus{TunnelState::Error, std::nullopt}},
        {"{\"status\":\"connected\",\"message\":\"m\",\"at\":\"2026-01-01\"}",
         make_status(TunnelState::Connected, "m")},
        {"\n{\"status\":\"idle\",\"message\":\"m\"}\n\t ", make_status(TunnelState::Idle, "m")},
        {"{\"status\":\"Connected\",\"message\":\"m\"}", std::nullopt},
        {"{\"status\":\"idle\",\"message\":\"m\"}{}", std::nullopt},
        {"{\"status\":\"idle\",\"message\":\"m\"} 1", std::nullopt},
        {"{\"message\":\"m\"}", std::nullopt},
        {"{\"status\":\"idle\",\"message\":5}", std::nullopt},
        {"{\"status\":\"idle\",\"status\":\"error\"}", std::nullopt},
        {"[\"idle\"]", std::nullopt},
        {"", std::nullopt},
        {"{\"status\":\"idle\",\"message\":\"\xFF\"}", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(parse_status(c.text), c.expected) << c.text;
}

TEST(RuntimeDirectory, FallsBackFromProgramDataToAppDataToTemp) {
    FakeEnvironment env;
    env.variables["ProgramData"] = "/pd";
    env.app_data = "/local";
    env.temp = "/tmp/x";
    EXPECT_EQ(runtime_directory(env), "/pd/VornVPN/runtime");
    env.variables.clear();
    EXPECT_EQ(runtime_directory(env), "/local/VornVPN/runtime");
    env.app_data.reset();
    EXPECT_EQ(runtime_directory(env), "/tmp/x/VornVPN/runtime");
}

TEST(StatusFile, WriteCreatesTheDirectoryChainAndReadsBack) {
    FakePlatform f;
    TunnelStatus status = make_status(TunnelState::Connected, "up");
    ASSERT_TRUE(write_status(f.env, status).ok());
    EXPECT_EQ(slurp(f.runtime() + "/product-tunnel-status.json"),
              "{\n  \"status\": \"connected\",\n  \"message\": \"up\"\n}");
    EXPECT_EQ(read_status(f.env), status);
}

TEST(StatusFile, ExtraMembersReadAndAreDroppedOnTheNextWrite) {
    FakePlatform f;
    ASSERT_TRUE(create_directories(f.runtime()).ok());
    std::string path = f.runtime() + "/product-tunnel-status.json";
    ASSERT_TRUE(write_file(path, "{\"status\":\"idle\",\"message\":\"m\",\"timestamp\":1}").ok());
    auto status = read_status(f.env);
    ASSERT_TRUE(status.has_value());
    ASSERT_TRUE(write_status(f.env, *status).ok());
    EXPECT_EQ(slurp(path), "{\n  \"status\": \"idle\",\n  \"message\": \"m\"\n}");
}

TEST(StatusFile, WriteFailuresCarryTheirPrefixes) {
    FakePlatform f;
    // A file where the VornVPN folder should be: the directory cannot be made.
    ASSERT_TRUE(write_file(f.dir.str() + "/VornVPN", "x").ok());
    auto blocked = write_status(f.env, make_status(TunnelState::Idle, "m"));
    ASSERT_FALSE(blocked.ok());
    EXPECT_EQ(blocked.error().rfind("could not create status directory: ", 0), 0u) << blocked.error();

    FakePlatform g;
    ASSERT_TRUE(create_directories(g.runtime() + "/product-tunnel-status.json").ok());
    auto is_dir = write_status(g.env, make_status(TunnelState::Idle, "m"));
    ASSERT_FALSE(is_dir.ok());
    EXPECT_EQ(is_dir.error().rfind("could not write status: ", 0), 0u) << is_dir.error();
    EXPECT_EQ(read_status(g.env), std::nullopt);
}

TEST(ReportFailedStatus, RecordsPrintsAndReturnsTheMessageOrServiceError) {
    FakePlatform f;
    EXPECT_EQ(report_failed_status(f.platform, TunnelStatus{TunnelState::Error, std::nullopt}),
              "SERVICE_ERROR");
    EXPECT_EQ(f.out.str(), "{\"status\":\"error\",\"message\":null}\n");
    EXPECT_EQ(read_status(f.env), (TunnelStatus{TunnelState::Error, std::nullopt}));

    FakePlatform g;
    EXPECT_EQ(report_failed_status(g.platform, make_status(TunnelState::Error, "boom")), "boom");
}

}  // namespace
}  // namespace vorn
