#pragma once
// File security over the real files below the folders a test allows: everything there is trusted
// unless a test marks it otherwise. Any call on a path outside those folders fails the test
// (inspections of relative paths, the current-folder engine candidates, excepted); every call is
// recorded.

#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/files.h"
#include "platform/file_security.h"

namespace vorn::testing {

// How an unscripted call fails the run: the unit tests make it a test failure
// (unscripted_calls.cpp); elsewhere (the fuzz targets) the call is refused and recorded.
inline std::function<void(const std::string&)>& unscripted_call_hook() {
    static std::function<void(const std::string&)> hook;
    return hook;
}
inline void report_unscripted(const std::string& call) {
    if (unscripted_call_hook()) unscripted_call_hook()(call);
}

class FakeFileSecurity : public FileSecurity {
  public:
    static std::string key(const std::string& path) {
        std::string k = std::filesystem::path(path).lexically_normal().generic_string();
        if (k.size() > 1 && k.back() == '/') k.pop_back();
        return k;
    }

    Result<std::optional<FileFacts>> inspect(const std::string& path) override {
        if (!scripted("inspect", path)) return fail("unscripted inspect");
        auto it = facts.find(key(path));
        std::error_code ec;
        auto status = std::filesystem::symlink_status(path, ec);
        if (ec || !std::filesystem::exists(status)) return std::optional<FileFacts>();
        if (it != facts.end()) return std::optional<FileFacts>(it->second);
        FileFacts real;
        real.directory = std::filesystem::is_directory(status);
        real.reparse_point = std::filesystem::is_symlink(status);
        real.trusted_owner = true;
        return std::optional<FileFacts>(real);
    }
    Status create_private_directory(const std::string& path) override {
        if (!scripted("create", path)) return fail("unscripted create");
        std::error_code ec;
        if (!std::filesystem::create_directory(path, ec)) return fail(ec ? ec.message() : "exists");
        return {};
    }
    Status make_private(const std::string& path) override {
        if (!scripted("make_private", path)) return fail("unscripted make private");
        if (auto it = facts.find(key(path)); it != facts.end()) it->second.others_may_read = false;
        return {};
    }
    Status rename_entry(const std::string& from, const std::string& to) override {
        if (!scripted("rename", from)) return fail("unscripted rename");
        if (rename_error) return fail(*rename_error);
        std::error_code ec;
        if (std::filesystem::exists(to, ec)) return fail("File exists");
        std::filesystem::rename(from, to, ec);
        if (ec) return fail(ec.message());
        if (auto it = facts.find(key(from)); it != facts.end()) {
            facts[key(to)] = it->second;
            facts.erase(it);
        }
        return {};
    }
    Status remove_entry(const std::string& path) override {
        if (!scripted("remove", path)) return fail("unscripted remove");
        std::error_code ec;
        auto it = facts.find(key(path));
        // A marked link goes with what it seemed to hold; a real folder must be empty.
        if (it != facts.end() && it->second.reparse_point) {
            std::filesystem::remove_all(path, ec);
        } else {
            std::filesystem::remove(path, ec);
        }
        if (ec) return fail(ec.message());
        facts.erase(key(path));
        return {};
    }
    Result<std::string> read_file(const std::string& path) override {
        if (!scripted("read", path)) return fail("unscripted read");
        return vorn::read_file(path);
    }
    Status write_new_file(const std::string& path, std::string_view bytes, FileReaders who) override {
        if (!scripted("write_new", path)) return fail("unscripted write");
        std::error_code ec;
        if (std::filesystem::exists(path, ec)) return fail("File exists");
        std::ofstream out(path, std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out) return fail("No such file or directory");
        readers[key(path)] = who;
        return {};
    }
    Result<ReplaceOutcome> replace_file(const std::string& from, const std::string& to) override {
        if (!scripted("replace", to)) return fail("unscripted replace");
        if (in_use.count(key(to))) return ReplaceOutcome::InUse;
        std::error_code ec;
        std::filesystem::rename(from, to, ec);
        if (ec) return fail(ec.message());
        if (auto it = readers.find(key(from)); it != readers.end()) {
            readers[key(to)] = it->second;
            readers.erase(it);
        }
        return ReplaceOutcome::Replaced;
    }

    // Marks an existing entry as owned by someone else, writable by others, or a link.
    void mark(const std::string& path, bool foreign_owner, bool writable, bool reparse = false,
              bool readable = false) {
        FileFacts f;
        f.others_may_read = readable;
        f.directory = std::filesystem::is_directory(path);
        f.trusted_owner = !foreign_owner;
        f.others_may_write = writable;
        f.reparse_point = reparse;
        facts[key(path)] = f;
    }
    // Operations that change entries, in call order ("rename <path>", ...).
    std::vector<std::string> changes() const {
        std::vector<std::string> out;
        for (const auto& c : calls) {
            if (c.rfind("inspect ", 0) != 0 && c.rfind("read ", 0) != 0) out.push_back(c);
        }
        return out;
    }

    void allow(const std::string& folder) { roots.push_back(key(folder)); }

    std::vector<std::string> roots;  // every path the test may touch lies below one of them
    std::map<std::string, FileFacts> facts;
    std::set<std::string> in_use;  // targets whose replace is refused by a reader
    std::optional<std::string> rename_error;
    std::map<std::string, FileReaders> readers;  // who may read each file written, by final name
    std::vector<std::string> calls;

  private:
    bool scripted(const char* what, const std::string& path) {
        calls.push_back(std::string(what) + " " + key(path));
        std::string k = key(path);
        bool below = false;
        for (const std::string& r : roots) below = below || k == r || k.rfind(r.back() == '/' ? r : r + "/", 0) == 0;
        bool relative = !std::filesystem::path(path).is_absolute();
        if (!below && !(relative && std::string(what) == "inspect")) {
            report_unscripted("unscripted " + std::string(what) + " on " + path);
            return false;
        }
        return true;
    }
};

}  // namespace vorn::testing
