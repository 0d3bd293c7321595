#include "tunnel_core/runtime_files.h"

#include <atomic>

#include "common/files.h"

namespace vorn {

std::string runtime_directory(Environment& env) {
    std::optional<std::string> base = env.variable("ProgramData");
    if (!base) base = env.local_app_data();
    if (!base) base = env.temp_directory();
    return join_path(join_path(*base, "VornVPN"), "runtime");
}

std::string runtime_file(Environment& env, std::string_view name) {
    return join_path(runtime_directory(env), name);
}

namespace {

Status secure_folder(Platform& platform, const std::string& dir, bool create,
                     std::string_view create_prefix) {
    FileSecurity& security = platform.files;
    auto facts = security.inspect(dir);
    if (!facts) return fail(std::string(kSecureRuntimeDirFailure) + facts.error());
    if (!*facts) {
        if (!create) return {};
        if (auto made = security.create_private_directory(dir); !made) {
            return fail(std::string(create_prefix) + made.error());
        }
        return {};
    }
    const FileFacts& found = **facts;
    if (found.trusted()) {
        // Ours, from a version that let everyone read it: the secrets inside are ours alone now.
        if (found.others_may_read) (void)security.make_private(dir);
        return {};
    }
    if (found.reparse_point || !found.directory) {
        // A link could lead anywhere: the link goes, a private folder takes its place.
        if (auto removed = security.remove_entry(dir); !removed) {
            return fail(std::string(kSecureRuntimeDirFailure) + removed.error());
        }
    } else {
        // Someone else's folder is never taken back in place: whoever made it may still hold
        // handles to it. It moves aside with everything in it, and a new one takes its name.
        const std::string aside = dir + ".foreign-" + std::to_string(platform.clock.unix_time_ms());
        if (auto moved = security.rename_entry(dir, aside); !moved) {
            return fail(std::string(kSecureRuntimeDirFailure) + "could not move " + dir + " aside: " + moved.error());
        }
    }
    if (auto made = security.create_private_directory(dir); !made) {
        return fail(std::string(kSecureRuntimeDirFailure) + made.error());
    }
    auto after = security.inspect(dir);
    if (!after) return fail(std::string(kSecureRuntimeDirFailure) + after.error());
    if (!*after || !(*after)->trusted()) {
        return fail(std::string(kSecureRuntimeDirFailure) + dir +
                    " is still owned or writable by another account");
    }
    return {};
}

}  // namespace

Status secure_runtime_directory(Platform& platform, bool create, std::string_view create_prefix) {
    const std::string runtime = runtime_directory(platform.env);
    const std::string product = parent_path(runtime);
    if (create) {
        if (auto made = create_directories(parent_path(product)); !made) {
            return fail(std::string(create_prefix) + made.error());
        }
    }
    if (auto secured = secure_folder(platform, product, create, create_prefix); !secured)
        return secured;
    return secure_folder(platform, runtime, create, create_prefix);
}

bool is_trusted_entry(FileSecurity& security, const std::string& path) {
    auto facts = security.inspect(path);
    return facts && *facts && (*facts)->trusted();
}

Status remove_untrusted_entry(FileSecurity& security, const std::string& path) {
    auto facts = security.inspect(path);
    if (facts && (!*facts || (*facts)->trusted())) return {};
    return security.remove_entry(path);
}

Result<std::optional<std::string>> read_runtime_file(Platform& platform, std::string_view name) {
    if (!secure_runtime_directory(platform, false)) return std::optional<std::string>();
    const std::string path = runtime_file(platform.env, name);
    auto facts = platform.files.inspect(path);
    if (!facts || !*facts || !(*facts)->trusted()) return std::optional<std::string>();
    auto bytes = platform.files.read_file(path);
    if (!bytes) return bytes.failure();
    return std::optional<std::string>(std::move(*bytes));
}

Status write_file_atomically(Platform& platform, const std::string& path, std::string_view bytes,
                             FileReaders readers) {
    static std::atomic<unsigned> counter{0};
    if (auto removed = remove_untrusted_entry(platform.files, path); !removed) return removed;
    const std::string fresh = path + ".new-" + std::to_string(platform.env.current_process_id()) +
                              "-" + std::to_string(platform.clock.unix_time_ms()) + "-" +
                              std::to_string(counter++);
    if (auto written = platform.files.write_new_file(fresh, bytes, readers); !written) {
        (void)platform.files.remove_entry(fresh);
        return written;
    }
    auto replaced = platform.files.replace_file(fresh, path);
    if (replaced && *replaced == ReplaceOutcome::Replaced) return {};
    (void)platform.files.remove_entry(fresh);
    if (!replaced) return replaced.failure();
    return write_file(path, bytes);  // a reader holds it open: the old way still updates it
}

Status write_runtime_file(Platform& platform, std::string_view name, std::string_view bytes) {
    if (auto secured = secure_runtime_directory(platform, false); !secured) return secured;
    // The desktop application reads the status record as the logged-on user; nothing else.
    FileReaders readers = name == kStatusFileName ? FileReaders::InteractiveUsers : FileReaders::Private;
    return write_file_atomically(platform, runtime_file(platform.env, name), bytes, readers);
}

}  // namespace vorn
