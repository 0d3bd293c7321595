#pragma once
// The proxy engines: what each one is, where its executable is looked for, and its configuration
// file.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/result.h"
#include "common/undo.h"
#include "platform/platform.h"

namespace vorn {

struct EngineSpec {
    std::string_view executable;  // "xray.exe": also the name in the "was not found" message
    std::string_view label;
    std::string_view env_variable;
    std::vector<std::string_view> own_names;              // tried in the service's own folder
    std::vector<std::vector<std::string_view>> ancestor_candidates;  // path components
    bool bare_name_in_current_folder;  // Xray: the bare name is added after the candidates
    std::string_view config_file;
    std::string_view stdout_log;
    std::string_view stderr_log;
    std::string_view pid_file;
};

const EngineSpec& xray_engine();
const EngineSpec& hysteria_engine();
const EngineSpec& tuic_engine();

struct EngineCandidate {
    std::string path;
    // Every candidate but the variable's hangs from a folder (the service's own, an ancestor, the
    // current folder); it is used only when it and every folder from it up to that one are trusted.
    std::optional<std::string> anchor;
};

// Every path probed, in order (the variable, the service folder, each ancestor, the current
// folder).
std::vector<EngineCandidate> engine_search(const EngineSpec& engine, Environment& env);
std::vector<std::string> engine_candidates(const EngineSpec& engine, Environment& env);
Result<std::string> locate_engine(const EngineSpec& engine, Environment& env, FileSecurity& security);

Status write_engine_config(Platform& platform, std::string_view file_name, const nlohmann::json& value,
                           std::string_view label);

}  // namespace vorn
