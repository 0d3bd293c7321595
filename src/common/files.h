#pragma once
// Whole-file reads and writes on UTF-8 paths (create or truncate, then write). Runtime files
// are written through tunnel_core/runtime_files.h, which replaces them atomically.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"

namespace vorn {

std::filesystem::path to_fs_path(std::string_view utf8);
std::string from_fs_path(const std::filesystem::path& path);
std::string join_path(std::string_view dir, std::string_view name);
std::string parent_path(std::string_view path);

// The error texts are the operating system's; callers put their own prefix in front.
Result<std::string> read_file(std::string_view path);
// The same for a file of at most `limit` bytes: a larger one is refused with `too_large` before
// more than `limit` + 1 bytes are read.
Result<std::string> read_file_at_most(std::string_view path, uint64_t limit, std::string_view too_large);
Status write_file(std::string_view path, std::string_view bytes);
Status create_directories(std::string_view path);
// Best effort: a missing file or a failure is not reported.
void remove_file(std::string_view path);
bool file_exists(std::string_view path);
// The last write time in Unix milliseconds; absent when it cannot be read.
std::optional<uint64_t> file_write_time_ms(std::string_view path);
bool is_regular_file(std::string_view path);

}  // namespace vorn
