// Hostile or broken input to the real executable: every failure is one JSON line, recorded,
// quoting nothing of the input, and nothing grows without bound.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iostream>

#include "service_case.h"

namespace vorn::wine {
namespace {

namespace fs = std::filesystem;

std::string nested(size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

bool valid_utf8_json_line(const std::string& line) {
    return !nlohmann::json::parse(line, nullptr, false).is_discarded() && line.find('\n') == std::string::npos;
}

TEST(BadInput, RequestFilesFailWithOneRecordedLineThatQuotesNoInput) {
    const std::string parse = "could not parse product tunnel request: ";
    struct Case {
        std::string request;
        std::string message_start;  // the message, from its start
        std::string never;          // bytes the message must not carry
    };
    const Case cases[] = {
        {"{\"tunnelMode\": \xC3\xA9}",
         parse + "[json.exception.parse_error.101] parse error at line 1, column 16: syntax error while parsing "
                 "value - invalid literal",
         "\xC3"},
        {R"({"tunnelMode": "full", "transport": SECRET-TOKEN-4711})", parse, "SECRET"},
        {R"({"tunnelMode":"full","transport":"xray","splitTunnelPolicy":{},"config":)" + nested(100000) + "}",
         parse + "nested deeper than 64 levels at line 1, column 136", "[["},
        {R"({"tunnelMode":"full","transport":"tuic","splitTunnelPolicy":{},"config":{"server":{"host":"h","alpn":)" +
             nested(5000) + "}}}",
         parse + "nested deeper than 64 levels", "[["},
    };
    for (const Case& c : cases) {
        WineMachine m(case_name());
        fs::path file = m.program_data().parent_path() / "request.json";
        write_text(file, c.request);
        write_text(m.runtime() / "product-tunnel-status.json", R"({"status":"connected","message":"old"})");
        RunResult r = m.service({"connect", "--request", windows_path(file)});
        EXPECT_EQ(r.rc, 1) << c.message_start;
        ASSERT_EQ(lines_of(r.out).size(), 1u) << r.out << r.err;
        ASSERT_TRUE(valid_utf8_json_line(lines_of(r.out)[0])) << r.out;
        nlohmann::json printed = nlohmann::json::parse(r.out);
        std::string message = printed.value("message", "");
        EXPECT_EQ(printed["status"], "error");
        EXPECT_EQ(message.rfind(c.message_start, 0), 0u) << message;
        EXPECT_EQ(message.find(c.never), std::string::npos) << message;
        EXPECT_EQ(r.err, message + "\n");
        EXPECT_EQ(nlohmann::json::parse(read_text(m.runtime() / "product-tunnel-status.json")), printed);
        for (const auto& entry : fs::directory_iterator(m.runtime())) {
            EXPECT_LT(fs::file_size(entry.path()), 1u << 20) << entry.path();
        }
    }
}

TEST(BadInput, DeepAndBrokenPipeMessagesAreAnsweredAndTheServiceGoesOn) {
    ServiceCase s;
    const std::string invalid = R"({"status":"error","message":"invalid service IPC request: )";
    fs::path message = s.m.program_data().parent_path() / "message.bin";
    // Past the pipe's buffer (65536 bytes) the message is refused as found; Wine completes this
    // client's write once the service has taken the first 65536 bytes of it.
    for (std::string bytes : {"{\"command\":" + nested(12000) + "}", "{\"command\":" + nested(30000) + "}",
                              std::string("{\"command\":\"\xFF\"}"), "{\"command\":" + nested(40000) + "}"}) {
        write_text(message, bytes);
        RunResult r = s.m.program("pipe-client.exe", {"--file", windows_path(message)});
        EXPECT_EQ(r.rc, 0) << r.err;
        EXPECT_EQ(r.out.rfind(invalid, 0), 0u) << r.out.substr(0, 200);
        EXPECT_TRUE(valid_utf8_json_line(r.out)) << r.out.substr(0, 200);
        EXPECT_EQ(s.ask(R"({"command":"status"})"), compact("idle", "Vorn product tunnel service is idle"));
    }
    // A request file the service cannot parse is answered and recorded, in valid UTF-8.
    fs::path request = s.m.program_data().parent_path() / "request.json";
    write_text(request, "{\"tunnelMode\": \xC3\xA9}");
    std::string answer = s.ask(s.connect_request(windows_path(request)));
    EXPECT_EQ(answer.rfind(R"({"status":"error","message":"could not parse product tunnel request: )", 0), 0u) << answer;
    EXPECT_TRUE(valid_utf8_json_line(answer));
    EXPECT_EQ(nlohmann::json::parse(read_text(service_runtime() / "product-tunnel-status.json")),
              nlohmann::json::parse(answer));
}

// The resident memory of the service's Wine process, in KiB (0 when it is not found).
long service_rss_kib() {
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::string cmdline = read_text(entry.path() / "cmdline");
        std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
        if (cmdline.find("vorn-tunnel-service.exe") == std::string::npos || cmdline.find("run-service") == std::string::npos) {
            continue;
        }
        for (const std::string& line : lines_of(read_text(entry.path() / "status"))) {
            if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
        }
    }
    return 0;
}

// A path to a huge (here sparse) file is refused by its size: nothing of it is read.
TEST(BadInput, AHugeRequestFileIsRefusedBeforeItIsRead) {
    ServiceCase s;
    fs::path huge = s.m.program_data().parent_path() / "huge.json";
    write_text(huge, "{");
    fs::resize_file(huge, 1ull << 30);
    RunResult r = s.m.program("pipe_probe.exe", {"timed", s.connect_request(windows_path(huge))});
    ASSERT_EQ(r.rc, 0) << r.err;
    const std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    std::cout << "1 GiB request refused: " << lines[1] << " from the pipe's open; service RSS " << service_rss_kib()
              << " KiB\n";
    EXPECT_EQ(lines[0], compact("error", "could not read product tunnel request: the file is larger than 1 MiB"));
    ASSERT_EQ(lines[1].rfind("took ", 0), 0u);
    // Nearly all of it is the network restore that comes before every connect reads its request:
    // nine tool runs, each a Wine process start (about 100 ms here). Reading the file whole took
    // seconds and a gigabyte.
    EXPECT_LT(std::stol(lines[1].substr(5)), 2000);
    EXPECT_GT(service_rss_kib(), 0);
    EXPECT_LT(service_rss_kib(), 64 * 1024);
    EXPECT_EQ(s.ask(R"({"command":"status"})").rfind(R"({"status":"error")", 0), 0u);  // it goes on serving
}

// The rest of a message larger than the pipe's buffer is never read: the client's write of it
// stays waiting while the client reads its answer.
TEST(BadInput, APipeMessageLargerThanTheBufferIsAnsweredUnreadAndTheServiceGoesOn) {
    ServiceCase s;
    const std::string refused = compact("error", "invalid service IPC request: the message is longer than 65536 bytes");
    RunResult r = s.m.program("pipe_probe.exe", {"oversized", std::to_string(64 << 20)});
    EXPECT_EQ(r.out, refused + "\nwrite pending\n") << r.err;
    EXPECT_EQ(s.ask(R"({"command":"status"})"), compact("idle", "Vorn product tunnel service is idle"));
    std::cout << "after a 64 MiB message, service RSS " << service_rss_kib() << " KiB\n";
    EXPECT_GT(service_rss_kib(), 0);
    EXPECT_LT(service_rss_kib(), 64 * 1024);
}

}  // namespace
}  // namespace vorn::wine
