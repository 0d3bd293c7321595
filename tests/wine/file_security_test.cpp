// What the service trusts on disk, under Wine. Wine reports the program's own account as the
// owner of every file and ignores SetSecurityInfo, so refusals show only through folders and
// files whose Unix mode lets everyone write (Wine then grants write to Everyone).

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "wine_machine.h"

namespace vorn::wine {
namespace {

namespace fs = std::filesystem;

ino_t inode_of(const fs::path& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// An engine is started only when no one else may write the folder it was found in: below an
// ancestor, or beside the executable.
TEST(FileSecurity, AnEngineInAWorldWritableFolderIsNotStarted) {
    struct Case {
        const char* what;
        bool below_ancestor;
        bool world_writable;
    };
    for (const Case& c : {Case{"below a 0755 ancestor", true, false}, Case{"below a 0777 ancestor", true, true},
                          Case{"beside the executable in a 0777 folder", false, true}}) {
        SCOPED_TRACE(c.what);
        WineMachine m(case_name());
        fs::path folder = m.machine();
        if (c.below_ancestor) {
            folder = m.machine().parent_path();
            fs::create_directories(folder / "bin" / "tuic");
            fs::rename(m.machine() / "tuic.exe", folder / "bin" / "tuic" / "tuic.exe");
        }
        if (c.world_writable) fs::permissions(folder, fs::perms::all);
        RunResult r = m.program("engine_probe.exe", {"launch", "tuic", write_request(m, "tuic")});
        fs::permissions(folder, fs::perms::owner_all | fs::perms::group_read |
                                    fs::perms::group_exec | fs::perms::others_read |
                                    fs::perms::others_exec);
        if (c.world_writable) {
            EXPECT_EQ(r.rc, 1);
            EXPECT_EQ(r.out, "tuic.exe was not found for product tunnel\n");
            EXPECT_FALSE(fs::exists(m.runtime() / "product-tuic.pid"));
        } else {
            EXPECT_EQ(r.out, "ok\n") << r.err;
            EXPECT_TRUE(fs::exists(m.runtime() / "product-tuic.pid"));
        }
    }
}

// A pid file that anyone may write is not the service's: it is never read, its process lives.
TEST(FileSecurity, AWorldWritablePidFileIsNotActedOn) {
    WineMachine m(case_name());
    uint32_t stranger = m.start_idle("editor.exe");
    fs::path pid = m.runtime() / "product-xray.pid";
    write_text(pid, std::to_string(stranger));
    fs::permissions(pid, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                             fs::perms::group_write | fs::perms::others_read |
                             fs::perms::others_write);
    RunResult r = m.service({"disconnect"});
    EXPECT_EQ(r.out, compact("idle", "Vorn product tunnel disconnected") + "\n") << r.err;
    for (const std::string& call : m.calls())
        EXPECT_EQ(call.rfind("taskkill", 0), std::string::npos) << call;
    RunResult list = m.run({m.system_tool("tasklist.exe"), "/FO", "CSV", "/NH"});
    EXPECT_NE(list.out.find("\"editor.exe\""), std::string::npos) << list.out;
}

// The status file is replaced by a new file; a reader holding it open without delete sharing
// does not stop the record from being written.
TEST(FileSecurity, AStatusWriteReplacesTheFileWhole) {
    const std::string connected = "{\n  \"status\": \"connected\",\n  \"message\": \"up\"\n}";
    const std::string idle =
        "{\n  \"status\": \"idle\",\n  \"message\": \"Vorn product tunnel process is not "
        "running\"\n}";
    for (bool held : {false, true}) {
        SCOPED_TRACE(held ? "held open" : "no handle");
        WineMachine m(case_name());
        fs::path status = m.runtime() / "product-tunnel-status.json";
        write_text(status, connected);
        ino_t before = inode_of(status);
        std::vector<std::string> argv = {windows_path(m.machine() / "launch.exe"), "--set",
                                         "ProgramData=" + windows_path(m.program_data())};
        if (held) argv.insert(argv.end(), {"--hold", windows_path(status)});
        argv.insert(argv.end(), {"--", m.service_exe(), "status"});
        RunResult r = m.run(argv);
        EXPECT_EQ(r.rc, 0) << r.err;
        EXPECT_EQ(r.out, compact("idle", "Vorn product tunnel process is not running") + "\n");
        EXPECT_EQ(read_text(status), idle);
        // Without a handle a new file takes the name; a held file is rewritten in place.
        EXPECT_EQ(inode_of(status) == before, held);
        size_t entries = 0;
        for (const auto& entry : fs::directory_iterator(m.runtime())) {
            ++entries;
            EXPECT_EQ(entry.path().filename().string().find(".new-"), std::string::npos)
                << entry.path();
        }
        EXPECT_EQ(entries, 1u);
    }
}

// A runtime directory that everyone may write moves aside with what it holds, and a private one
// takes its name; what the service writes there is readable by nobody else (Wine turns the
// file's DACL into Unix mode bits).
TEST(FileSecurity, AWorldWritableRuntimeDirectoryIsMovedAsideAndMadeAnew) {
    WineMachine m(case_name());
    fs::create_directories(m.runtime());
    write_text(m.runtime() / "planted.txt", "theirs");
    fs::permissions(m.runtime(), fs::perms::all);
    RunResult r = m.service({"disconnect"});
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out, compact("idle", "Vorn product tunnel disconnected") + "\n");
    std::vector<fs::path> aside;
    for (const auto& entry : fs::directory_iterator(m.runtime().parent_path())) {
        if (entry.path().filename().string().rfind("runtime.foreign-", 0) == 0) aside.push_back(entry.path());
    }
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(read_text(aside[0] / "planted.txt"), "theirs");
    EXPECT_FALSE(fs::exists(m.runtime() / "planted.txt"));
    // Wine gives Administrators the group's bits; everyone else gets none.
    EXPECT_EQ(fs::status(m.runtime()).permissions() & fs::perms::others_all, fs::perms::none);
    for (const auto& entry : fs::directory_iterator(m.runtime())) {
        EXPECT_EQ(fs::status(entry).permissions() & fs::perms::others_all, fs::perms::none) << entry.path();
    }
    EXPECT_TRUE(fs::exists(m.runtime() / "product-tunnel-status.json"));
}

}  // namespace
}  // namespace vorn::wine
