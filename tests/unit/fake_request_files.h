#pragma once
// Opens of client-named files, answered from a script; an unscripted path fails the test.

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "fake_file_security.h"
#include "platform/request_files.h"

namespace vorn::testing {

struct ScriptedFile {
    Result<OpenedFile> answer = fail("unscripted");
    bool not_found = false;
};

inline Result<OpenedFile, ReadFailure> answer_scripted(std::map<std::string, ScriptedFile>& script,
                                                       std::vector<std::string>& opened, const std::string& path) {
    opened.push_back(path);
    auto it = script.find(path);
    if (it == script.end()) {
        // Without a test framework (the fuzz targets) the run ends, naming the call.
        if (!unscripted_call_hook()) {
            std::fprintf(stderr, "unexpected open of %s\n", path.c_str());
            std::abort();
        }
        report_unscripted("unscripted open of " + path);
        return ReadFailure{fail("unscripted open of " + path)};
    }
    if (!it->second.answer) return ReadFailure{it->second.answer.failure(), it->second.not_found};
    return *it->second.answer;
}

class FakeRequestFiles : public RequestFiles {
public:
    Result<OpenedFile, ReadFailure> read_local(const std::string& path) override {
        return answer_scripted(files, opened, path);
    }
    std::map<std::string, ScriptedFile> files;
    std::vector<std::string> opened;
};

}  // namespace vorn::testing
