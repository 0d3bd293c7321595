// The split policy from the request's rules and the process listing, and its driver record.

#include <fuzzer/FuzzedDataProvider.h>

#include "common/text.h"
#include "fuzz_check.h"
#include "split_tunnel/driver_client.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vorn;
    FuzzedDataProvider in(data, size);
    std::vector<std::string> apps(in.ConsumeIntegralInRange<size_t>(0, kMaxRedirectApps + 2));
    for (std::string& app : apps) app = in.ConsumeRandomLengthString(700);
    uint32_t service_pid = in.ConsumeIntegral<uint32_t>();
    uint16_t port = in.ConsumeIntegral<uint16_t>();
    std::vector<uint32_t> roots(in.ConsumeIntegralInRange<size_t>(0, kMaxRootProcesses + 2));
    for (uint32_t& id : roots) id = in.ConsumeIntegral<uint32_t>();

    auto policy = build_redirect_policy(apps, service_pid, port);
    if (!policy.ok()) {
        fuzz::check_error_message(policy.rendered());
        return 0;
    }
    auto attached = attach_root_processes(*policy, roots);
    if (!attached.ok()) {
        fuzz::check_error_message(attached.rendered());
        return 0;
    }
    const RedirectPolicy& p = *attached;
    FUZZ_CHECK(p.applications.size() >= 1 && p.applications.size() <= kMaxRedirectApps);
    FUZZ_CHECK(std::is_sorted(p.root_process_ids.begin(), p.root_process_ids.end()));
    auto record = encode_redirect_policy(p);
    if (!record.ok()) {
        fuzz::check_error_message(record.rendered());
        return 0;
    }
    const std::string& bytes = *record;
    FUZZ_CHECK(bytes.size() == kPolicyHeaderSize + kPolicyEntrySize * p.applications.size());
    auto u32 = [&](size_t at) {
        uint32_t v = 0;
        for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(bytes[at + i]);
        return v;
    };
    FUZZ_CHECK(u32(0) == kDriverProtocolVersion && u32(4) == p.service_process_id);
    FUZZ_CHECK(u32(12) == p.applications.size() && u32(16) == p.root_process_ids.size());
    for (size_t i = 0; i < kMaxRootProcesses; ++i) {
        FUZZ_CHECK(u32(20 + 4 * i) == (i < p.root_process_ids.size() ? p.root_process_ids[i] : 0));
    }
    // Each path stands in its entry as UTF-16, terminated, with only zeros after it.
    for (size_t i = 0; i < p.applications.size(); ++i) {
        std::u16string units = utf8_to_utf16(p.applications[i]);
        size_t entry = kPolicyHeaderSize + kPolicyEntrySize * i;
        FUZZ_CHECK(u32(entry) == i && u32(entry + 4) == 1);
        for (size_t at = entry + 8; at < entry + kPolicyEntrySize; at += 2) {
            size_t unit = (at - entry - 8) / 2;
            char16_t got = static_cast<char16_t>(static_cast<uint8_t>(bytes[at]) | (static_cast<uint8_t>(bytes[at + 1]) << 8));
            FUZZ_CHECK(got == (unit < units.size() ? units[unit] : u'\0'));
        }
    }
    auto diagnostics = decode_driver_diagnostics(in.ConsumeRemainingBytesAsString());
    if (!diagnostics.ok()) fuzz::check_error_message(diagnostics.rendered());
    return 0;
}
