// The service's pipe as clients use it: each connection sends messages (some longer than the
// service reads at once, which a message-mode pipe reports as more data waiting), waits or goes away.
// Each client gets at most one answer, a status record, and one for a message that did not fit
// the service's read is an error for which nothing ran.

#include <cstring>
#include <deque>

#include <fuzzer/FuzzedDataProvider.h>

#include "fakes.h"
#include "fuzz_check.h"
#include "service/ipc.h"

namespace {

using namespace vorn;

enum class Read { Message, NoData, Closed };

struct Client {
    std::deque<std::pair<Read, std::string>> reads;  // past the last one the client has closed
    std::vector<std::string> answers;
    bool cut = false;              // a message before the answer did not fit a read
    size_t tools_before = 0;       // tool runs when it connected
    size_t tools_answered = 0;     // and when it was answered
};

// Connects and reads answer from the script, one client per connect that succeeds; once the
// script runs out, the service is asked to stop.
class ScriptedPipe : public PipeInstance {
public:
    ScriptedPipe(testing::FakeTools& tools, std::atomic<bool>& stop) : tools_(tools), stop_(stop) {}

    PipeConnect connect() override {
        if (turns.empty()) {
            stop_ = true;
            return PipeConnect::Listening;
        }
        PipeConnect next = turns.front();
        turns.pop_front();
        if (next == PipeConnect::Connected) {
            served.push_back(std::move(waiting.front()));
            waiting.pop_front();
            served.back().tools_before = tools_.calls.size();
        }
        return next;
    }
    PipeIo read(char* buffer, size_t size) override {
        FUZZ_CHECK(!served.empty());
        auto& reads = served.back().reads;
        if (reads.empty() || reads.front().first == Read::Closed) return PipeIo{false, 0, PipeError::BrokenPipe};
        if (reads.front().first == Read::NoData) {
            reads.pop_front();
            return PipeIo{false, 0, PipeError::NoData};
        }
        // The rest of a message, or as much as fits with ERROR_MORE_DATA.
        std::string& message = reads.front().second;
        const size_t n = std::min(size, message.size());
        std::memcpy(buffer, message.data(), n);
        const bool whole = n == message.size();
        served.back().cut = served.back().cut || (!whole && served.back().answers.empty());
        message.erase(0, n);
        if (whole) reads.pop_front();
        return PipeIo{whole, n, whole ? PipeError::None : PipeError::MoreData};
    }
    // A look takes nothing: a pause passes, what is left of a message stays for the next read.
    PipeIo peek() override {
        FUZZ_CHECK(!served.empty());
        auto& reads = served.back().reads;
        if (!reads.empty() && reads.front().first == Read::NoData) reads.pop_front();
        if (reads.empty() || reads.front().first == Read::Closed) return PipeIo{false, 0, PipeError::BrokenPipe};
        return PipeIo{true, reads.front().first == Read::Message ? reads.front().second.size() : 0, PipeError::None};
    }
    PipeIo write(const char* data, size_t size) override {
        FUZZ_CHECK(!served.empty());
        served.back().answers.emplace_back(data, size);
        served.back().tools_answered = tools_.calls.size();
        return PipeIo{true, size, PipeError::None};
    }
    void disconnect() override {}
    Result<OpenedFile> read_as_client(const std::string&) override { return fail("Access is denied. (os error 5)"); }

    std::deque<PipeConnect> turns;
    std::deque<Client> waiting;
    std::vector<Client> served;

private:
    testing::FakeTools& tools_;
    std::atomic<bool>& stop_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    testing::FakePlatform f;
    std::atomic<bool> stop{false};
    ScriptedPipe pipe(f.tools, stop);
    while (in.remaining_bytes() > 0) {
        const int event = in.ConsumeIntegralInRange<int>(0, 6);
        if (event == 0) pipe.turns.push_back(PipeConnect::Listening);
        if (event == 1) pipe.turns.push_back(PipeConnect::Failed);
        if (event == 2) {
            pipe.turns.push_back(PipeConnect::Connected);
            pipe.waiting.emplace_back();
        }
        if (pipe.waiting.empty() || event < 3) continue;
        auto& reads = pipe.waiting.back().reads;
        if (event == 3) reads.push_back({Read::NoData, ""});
        if (event == 4) reads.push_back({Read::Closed, ""});
        if (event < 5) continue;
        // JSON allows blanks in front: a long message can still be a whole request.
        std::string message(event == 6 ? in.ConsumeIntegral<uint8_t>() * size_t{1024} : 0, ' ');
        message += in.ConsumeRandomLengthString(size);
        if (!message.empty()) reads.push_back({Read::Message, message});
    }

    serve_pipe_instance(f.platform, pipe, stop);
    FUZZ_CHECK(pipe.turns.empty());
    for (const Client& client : pipe.served) {
        FUZZ_CHECK(client.answers.size() <= 1);
        for (const std::string& answer : client.answers) {
            fuzz::check_status_line(answer);
            if (client.cut) FUZZ_CHECK(answer.find("\"status\":\"error\"") != std::string::npos);
        }
        if (client.cut && !client.answers.empty()) FUZZ_CHECK(client.tools_answered == client.tools_before);
    }
    return 0;
}
