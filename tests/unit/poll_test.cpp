#include <gtest/gtest.h>

#include "fakes.h"
#include "platform/poll.h"

namespace vorn {
namespace {

using testing::FakeClock;

TEST(PollUntil, LooksSleepsAndPassesOnWhatEndedTheWait) {
    // Each look answers the next scripted outcome: none keeps waiting, a status ends the wait.
    struct Case {
        const char* name;
        PollSchedule schedule;
        std::vector<std::optional<Status>> looks;
        std::vector<uint32_t> sleeps;
        std::optional<std::string> ended;  // none: no look ended it; "": success; else the failure
    };
    const Case cases[] = {
        {"done at the first look", {3, 40}, {Status{}}, {}, ""},
        {"done at the third look", {5, 40}, {std::nullopt, std::nullopt, Status{}}, {40, 40}, ""},
        {"a failure ends the wait as it is", {5, 40}, {std::nullopt, fail("engine exited")}, {40}, "engine exited"},
        {"done at the last look", {2, 7}, {std::nullopt, Status{}}, {7}, ""},
        {"tries run out: a sleep after the last look too", {3, 40}, {std::nullopt, std::nullopt, std::nullopt},
         {40, 40, 40}, std::nullopt},
        {"no tries: no look", {0, 40}, {}, {}, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeClock clock;
        size_t looked = 0;
        auto ended = poll_until(clock, c.schedule, [&]() -> std::optional<Status> {
            if (looked == c.looks.size()) {
                ADD_FAILURE() << "an unscripted look " << looked + 1;
                return Status{};
            }
            return c.looks[looked++];
        });
        EXPECT_EQ(looked, c.looks.size());
        EXPECT_EQ(clock.sleeps, c.sleeps);
        ASSERT_EQ(ended.has_value(), c.ended.has_value());
        if (ended) {
            EXPECT_EQ(ended->error(), *c.ended);
            EXPECT_EQ(ended->ok(), c.ended->empty());
        }
    }
}

TEST(PollUntil, ABoolLookEndsTheWaitWithTrue) {
    struct Case {
        int done_at;  // the look that answers true; 0: none does
        bool ended;
        size_t sleeps;
    };
    const Case cases[] = {{1, true, 0}, {3, true, 2}, {0, false, 4}};
    for (const Case& c : cases) {
        FakeClock clock;
        int looks = 0;
        bool ended = poll_until(clock, {4, 25}, [&] { return ++looks == c.done_at; });
        EXPECT_EQ(ended, c.ended) << c.done_at;
        EXPECT_EQ(clock.sleeps, std::vector<uint32_t>(c.sleeps, 25)) << c.done_at;
    }
}

}  // namespace
}  // namespace vorn
