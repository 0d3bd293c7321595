// An engine's logs as it left them, any bytes: the tail that goes into a status record is valid
// UTF-8, at most 20 lines and kLogTailLimitBytes, and the end of what the log says.

#include <fuzzer/FuzzedDataProvider.h>

#include "engines/engine.h"
#include "engines/log_tail.h"
#include "fakes.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vorn;
    FuzzedDataProvider in(data, size);
    // An engine repeats itself: the stderr log is its part of the input, said up to 256 times.
    const size_t said = 1 + in.ConsumeIntegral<uint8_t>();
    std::string err;
    for (const std::string part = in.ConsumeRandomLengthString(size); err.size() < said * part.size();) err += part;
    std::string out = in.ConsumeRemainingBytesAsString();

    for (const std::string* log : {&err, &out}) {
        const std::string text = decode_utf8_lossy(*log);
        const std::string tail = log_tail_of_text(text);
        FUZZ_CHECK(is_valid_utf8(tail) && tail.size() <= kLogTailLimitBytes);
        FUZZ_CHECK(std::count(tail.begin(), tail.end(), '\n') < 20);
        FUZZ_CHECK(trim(tail) == tail);
        const std::string whole(trim(join(split_lines(text), "\n")));
        FUZZ_CHECK(whole.size() >= tail.size() && whole.compare(whole.size() - tail.size(), tail.size(), tail) == 0);
    }

    // One runtime folder for the run, the logs written afresh; what the fakes recorded is cleared,
    // or every run would seem to leak.
    static testing::FakePlatform f;
    f.files.calls.clear();
    FUZZ_CHECK(create_directories(f.runtime()).ok());
    const EngineSpec& xray = xray_engine();
    FUZZ_CHECK(write_file(join_path(f.runtime(), std::string(xray.stderr_log)), err).ok());
    FUZZ_CHECK(write_file(join_path(f.runtime(), std::string(xray.stdout_log)), out).ok());
    const std::string detail = exit_detail(f.platform, xray.stdout_log, xray.stderr_log);
    FUZZ_CHECK(detail.empty() || (detail.rfind(": ", 0) == 0 && detail.size() > 2));
    FUZZ_CHECK(detail.size() <= kLogTailLimitBytes + 2);
    auto record = status_to_json(make_status(TunnelState::Error, "TUNNEL_ENGINE_EXITED: Xray TUN exited" + detail));
    FUZZ_CHECK(record.ok());
    fuzz::check_status_line(*record);
    return 0;
}
