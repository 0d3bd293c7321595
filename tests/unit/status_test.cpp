#include <gtest/gtest.h>

#include <fstream>

#include "common/files.h"
#include "engines/engine.h"
#include "engines/engine_launch.h"
#include "fakes.h"
#include "service/reconnect.h"
#include "tunnel_core/runtime_files.h"
#include "tunnel_core/status.h"

namespace vorn {
namespace {

using testing::FakeEnvironment;
using testing::FakePlatform;
namespace fs = std::filesystem;

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
    ASSERT_TRUE(write_status(f.platform, status).ok());
    EXPECT_EQ(slurp(f.runtime() + "/product-tunnel-status.json"),
              "{\n  \"status\": \"connected\",\n  \"message\": \"up\"\n}");
    EXPECT_EQ(read_status(f.platform), status);
    std::string product = testing::FakeFileSecurity::key(f.dir.str() + "/VornVPN");
    EXPECT_EQ(f.files.changes().at(0), "create " + product);
    EXPECT_EQ(f.files.changes().at(1), "create " + product + "/runtime");
}

// A runtime folder that someone else owns or may write is moved aside with what it holds, a link
// is removed, and a private folder takes the name before anything in it is read or written; when
// that fails, nothing is. An old folder of ours that everyone could read is made private.
TEST(RuntimeDirectory, AnUntrustedFolderIsReplacedBeforeTheFirstReadOrWrite) {
    const TunnelStatus up = make_status(TunnelState::Connected, "up");
    struct Case {
        const char* name;
        const char* folder;  // below ProgramData
        bool foreign, writable, reparse, readable;
        std::optional<std::string> rename_error;
        std::vector<std::string> changes;  // on the folder ("rename", "create", ...)
        std::optional<TunnelStatus> read;
        std::string write_error;
    };
    const Case cases[] = {
        {"foreign owner", "VornVPN/runtime", true, false, false, false, std::nullopt, {"rename", "create"},
         std::nullopt, ""},
        {"others may write", "VornVPN", false, true, false, false, std::nullopt, {"rename", "create"},
         std::nullopt, ""},
        {"a reparse point", "VornVPN/runtime", false, false, true, false, std::nullopt, {"remove", "create"},
         std::nullopt, ""},
        {"held open by its maker", "VornVPN/runtime", true, false, false, false, "Access is denied.", {"rename"},
         std::nullopt, "could not secure product tunnel runtime dir: could not move {folder} aside: Access is denied."},
        {"ours, readable by everyone", "VornVPN", false, false, false, true, std::nullopt, {"make_private"}, up, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakePlatform f;
        ASSERT_TRUE(create_directories(f.runtime()).ok());
        ASSERT_TRUE(write_file(f.runtime() + "/product-tunnel-status.json", status_to_pretty_json(up).value()).ok());
        const std::string folder = f.dir.str() + "/" + c.folder;
        f.files.mark(folder, c.foreign, c.writable, c.reparse, c.readable);
        f.files.rename_error = c.rename_error;

        EXPECT_EQ(read_status(f.platform), c.read);
        std::vector<std::string> expected;
        for (const auto& change : c.changes) {
            std::string verb = change.substr(0, change.find(' '));
            std::string below = change.size() > verb.size() ? change.substr(verb.size() + 1) : "";
            expected.push_back(verb + " " + testing::FakeFileSecurity::key(folder + below));
        }
        // Only a folder made private once the way is clear; nothing read from a foreign one.
        EXPECT_EQ(f.files.changes(), expected);
        if (c.foreign || c.writable) {
            EXPECT_TRUE(fs::exists(folder + ".foreign-" + std::to_string(f.clock.now_ms)) || c.rename_error);
        }

        auto written = write_status(f.platform, make_status(TunnelState::Idle, "m"));
        std::string error = c.write_error;
        if (auto at = error.find("{folder}"); at != std::string::npos) error.replace(at, 8, folder);
        EXPECT_EQ(written.ok() ? "" : written.error(), error);
    }
}

// Whatever writes a runtime file first deletes one that another account owns or may write,
// then moves a new file over the name; the foreign content is never read.
TEST(RuntimeFiles, AFileSomeoneElseControlsIsDeletedAndWrittenAfresh) {
    struct Case {
        const char* file;
        bool foreign;
        std::function<Status(Platform&)> write;
        std::string content;
    };
    testing::FakeChild child(4321);
    const Case cases[] = {
        {"product-tunnel-status.json", true,
         [](Platform& p) { return write_status(p, make_status(TunnelState::Idle, "m")); },
         "{\n  \"status\": \"idle\",\n  \"message\": \"m\"\n}"},
        {"product-tunnel-status.json", false,
         [](Platform& p) { return write_status(p, make_status(TunnelState::Idle, "m")); },
         "{\n  \"status\": \"idle\",\n  \"message\": \"m\"\n}"},
        {"product-xray-tun.json", true,
         [](Platform& p) { return write_engine_config(p, "product-xray-tun.json", nlohmann::json{{"a", 1}}, "Xray TUN"); },
         "{\n  \"a\": 1\n}"},
        {"product-tuic.pid", true, [&](Platform& p) { return write_engine_pid(p, "product-tuic.pid", child); }, "4321"},
        {"product-tunnel-reconnect-request-path.txt", false,
         [](Platform& p) { return persist_reconnect_request(p, "C:\\r.json", "{}"); }, "C:\\r.json"},
        {"product-tunnel-reconnect-request.json", true,
         [](Platform& p) { return persist_reconnect_request(p, "C:\\r.json", "{\"tunnelMode\":\"full\"}"); },
         "{\"tunnelMode\":\"full\"}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        FakePlatform f;
        ASSERT_TRUE(create_directories(f.runtime()).ok());
        const std::string path = f.runtime() + "/" + c.file;
        ASSERT_TRUE(write_file(path, "{\"status\":\"connected\",\"message\":\"planted\"}").ok());
        f.files.mark(path, c.foreign, !c.foreign);
        if (std::string(c.file) == "product-tunnel-status.json") {
            EXPECT_EQ(read_status(f.platform), std::nullopt);
        }
        f.files.calls.clear();

        ASSERT_TRUE(c.write(f.platform).ok());
        EXPECT_EQ(slurp(path), c.content);
        const std::string key = testing::FakeFileSecurity::key(path);
        // Only the status record is for the logged-on user's eyes; secrets and the rest are not.
        EXPECT_EQ(f.files.readers.at(key),
                  std::string(c.file) == "product-tunnel-status.json" ? FileReaders::InteractiveUsers : FileReaders::Private);
        auto changes = f.files.changes();
        const std::string other = f.runtime() + "/" + (std::string(c.file) == "product-tunnel-reconnect-request.json"
                                                           ? "product-tunnel-reconnect-request-path.txt"
                                                           : "product-tunnel-reconnect-request.json");
        std::erase_if(changes, [&](const std::string& change) {
            return change.find(testing::FakeFileSecurity::key(other)) != std::string::npos;
        });
        ASSERT_EQ(changes.size(), 3u);
        EXPECT_EQ(changes[0], "remove " + key);
        EXPECT_EQ(changes[1].rfind("write_new " + key + ".new-", 0), 0u) << changes[1];
        EXPECT_EQ(changes[2], "replace " + key);
        fs::remove(other);
        EXPECT_EQ(std::distance(fs::directory_iterator(f.runtime()), fs::directory_iterator()), 1);
    }
}

TEST(RuntimeFiles, AReaderHoldingTheFileOpenStillGetsTheRecordWritten) {
    for (bool in_use : {false, true}) {
        SCOPED_TRACE(in_use ? "held open" : "replaced");
        FakePlatform f;
        const std::string path = f.runtime() + "/product-tunnel-status.json";
        ASSERT_TRUE(write_status(f.platform, make_status(TunnelState::Connected, "up")).ok());
        if (in_use) f.files.in_use.insert(testing::FakeFileSecurity::key(path));
        f.files.calls.clear();
        ASSERT_TRUE(write_status(f.platform, make_status(TunnelState::Idle, "m")).ok());
        EXPECT_EQ(read_status(f.platform), make_status(TunnelState::Idle, "m"));
        auto changes = f.files.changes();
        ASSERT_EQ(changes.size(), in_use ? 3u : 2u);
        EXPECT_EQ(changes[1], "replace " + testing::FakeFileSecurity::key(path));
        if (in_use) {
            EXPECT_EQ(changes[2].rfind("remove " + testing::FakeFileSecurity::key(path) + ".new-", 0), 0u);
        }
        EXPECT_EQ(std::distance(fs::directory_iterator(f.runtime()), fs::directory_iterator()), 1);
    }
}

TEST(StatusFile, ExtraMembersReadAndAreDroppedOnTheNextWrite) {
    FakePlatform f;
    ASSERT_TRUE(create_directories(f.runtime()).ok());
    std::string path = f.runtime() + "/product-tunnel-status.json";
    ASSERT_TRUE(write_file(path, "{\"status\":\"idle\",\"message\":\"m\",\"timestamp\":1}").ok());
    auto status = read_status(f.platform);
    ASSERT_TRUE(status.has_value());
    ASSERT_TRUE(write_status(f.platform, *status).ok());
    EXPECT_EQ(slurp(path), "{\n  \"status\": \"idle\",\n  \"message\": \"m\"\n}");
}

TEST(StatusFile, WriteFailuresCarryTheirPrefixes) {
    FakePlatform f;
    // A file where the VornVPN folder should be: the directory cannot be made.
    ASSERT_TRUE(write_file(f.dir.str() + "/VornVPN", "x").ok());
    auto blocked = write_status(f.platform, make_status(TunnelState::Idle, "m"));
    ASSERT_FALSE(blocked.ok());
    EXPECT_EQ(blocked.error().rfind("could not create status directory: ", 0), 0u) << blocked.error();

    FakePlatform g;
    ASSERT_TRUE(create_directories(g.runtime() + "/product-tunnel-status.json").ok());
    auto is_dir = write_status(g.platform, make_status(TunnelState::Idle, "m"));
    ASSERT_FALSE(is_dir.ok());
    EXPECT_EQ(is_dir.error().rfind("could not write status: ", 0), 0u) << is_dir.error();
    EXPECT_EQ(read_status(g.platform), std::nullopt);
}

TEST(ReportFailedStatus, RecordsPrintsAndReturnsTheMessageOrServiceError) {
    FakePlatform f;
    EXPECT_EQ(report_failed_status(f.platform, TunnelStatus{TunnelState::Error, std::nullopt}),
              "SERVICE_ERROR");
    EXPECT_EQ(f.out.str(), "{\"status\":\"error\",\"message\":null}\n");
    EXPECT_EQ(read_status(f.platform), (TunnelStatus{TunnelState::Error, std::nullopt}));

    FakePlatform g;
    EXPECT_EQ(report_failed_status(g.platform, make_status(TunnelState::Error, "boom")), "boom");
}

}  // namespace
}  // namespace vorn
