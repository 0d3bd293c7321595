#include "common/files.h"

#include <cerrno>
#include <chrono>
#include <fstream>
#include <iterator>
#include <system_error>

namespace vorn {

namespace fs = std::filesystem;

fs::path to_fs_path(std::string_view utf8) {
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string from_fs_path(const fs::path& path) {
    std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::string join_path(std::string_view dir, std::string_view name) {
    return from_fs_path(to_fs_path(dir) / to_fs_path(name));
}

std::string parent_path(std::string_view path) {
    return from_fs_path(to_fs_path(path).parent_path());
}

static std::string errno_text(int error) {
    if (error == 0) error = EIO;
    return std::error_code(error, std::generic_category()).message();
}

Result<std::string> read_file(std::string_view path) {
    fs::path p = to_fs_path(path);
    std::error_code ec;
    if (fs::is_directory(p, ec)) return fail(std::make_error_code(std::errc::is_a_directory).message());
    errno = 0;
    std::ifstream in(p, std::ios::binary);
    if (!in) return fail(errno_text(errno));
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return fail(errno_text(errno));
    return bytes;
}

Result<std::string> read_file_at_most(std::string_view path, uint64_t limit, std::string_view too_large) {
    fs::path p = to_fs_path(path);
    std::error_code ec;
    if (fs::is_directory(p, ec)) return fail(std::make_error_code(std::errc::is_a_directory).message());
    uint64_t size = fs::file_size(p, ec);
    if (!ec && size > limit) return fail(std::string(too_large));
    errno = 0;
    std::ifstream in(p, std::ios::binary);
    if (!in) return fail(errno_text(errno));
    std::string bytes(static_cast<size_t>(limit) + 1, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (in.bad()) return fail(errno_text(errno));
    bytes.resize(static_cast<size_t>(in.gcount()));
    if (bytes.size() > limit) return fail(std::string(too_large));
    return bytes;
}

Status write_file(std::string_view path, std::string_view bytes) {
    fs::path p = to_fs_path(path);
    std::error_code ec;
    if (fs::is_directory(p, ec)) return fail(std::make_error_code(std::errc::is_a_directory).message());
    errno = 0;
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    if (!out) return fail(errno_text(errno));
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.flush();
    if (!out) return fail(errno_text(errno));
    return {};
}

Status create_directories(std::string_view path) {
    std::error_code ec;
    fs::path p = to_fs_path(path);
    fs::create_directories(p, ec);
    if (ec) return fail(ec.message());
    if (!fs::is_directory(p, ec)) return fail(std::make_error_code(std::errc::not_a_directory).message());
    return {};
}

void remove_file(std::string_view path) {
    std::error_code ec;
    fs::remove(to_fs_path(path), ec);
}

bool file_exists(std::string_view path) {
    std::error_code ec;
    return fs::exists(to_fs_path(path), ec);
}

std::optional<uint64_t> file_write_time_ms(std::string_view path) {
    std::error_code ec;
    auto written = fs::last_write_time(to_fs_path(path), ec);
    if (ec) return std::nullopt;
    auto since_epoch = std::chrono::file_clock::to_sys(written).time_since_epoch();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch).count();
    return ms < 0 ? 0 : static_cast<uint64_t>(ms);
}

bool is_regular_file(std::string_view path) {
    std::error_code ec;
    return fs::is_regular_file(to_fs_path(path), ec);
}

}  // namespace vorn
