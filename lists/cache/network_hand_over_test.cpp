// When the lists on network storage may be used, and what a message is told: the
// reading in use is trusted for five minutes of arriving messages, whatever time
// passed while none came; and the pause between passes.
#include "network_hand_over.h"

#include <gtest/gtest.h>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::seconds;

TEST(NetworkStatus, TheReadingIsUsedForTheLimitWhileMessagesArrive) {
    const Clock::time_point start{};
    const seconds limit{300};
    struct Row {
        const char* what;
        bool places, reading;
        seconds finished, resumed, now;
        NetworkStatus want;
        std::string record;
    };
    const Row rows[] = {
        {"nothing on network storage", false, false, seconds(0), seconds(0), seconds(999), {}, ""},
        {"no pass finished yet",
         true,
         false,
         seconds(0),
         seconds(0),
         seconds(1),
         {NetworkStatus::StillReading, 0},
         "Lists on network storage are still being read, not checked yet"},
        {"a recent reading", true, true, seconds(10), seconds(0), seconds(100), {}, ""},
        {"at the limit", true, true, seconds(10), seconds(0), seconds(310), {}, ""},
        {"past the limit with messages arriving",
         true,
         true,
         seconds(10),
         seconds(0),
         seconds(311),
         {NetworkStatus::NotReadFor, 301},
         "Lists on network storage not read for 301 s, not checked"},
        {"an old reading, but messages only just resumed after a pause",
         true,
         true,
         seconds(10),
         seconds(2000),
         seconds(2001),
         {},
         ""},
        {"and still no pass five minutes after they resumed",
         true,
         true,
         seconds(10),
         seconds(2000),
         seconds(2301),
         {NetworkStatus::NotReadFor, 2291},
         "Lists on network storage not read for 2291 s, not checked"},
    };
    for (const Row& row : rows) {
        const NetworkStatus got = network_status(row.places, row.reading, start + row.finished,
                                                 start + row.resumed, start + row.now, limit);
        EXPECT_EQ(got, row.want) << row.what;
        EXPECT_EQ(network_status_record(got), row.record) << row.what;
    }

    // Messages resume when one comes after a gap of the limit or more.
    EXPECT_EQ(messages_resumed(start, start + seconds(100), start + seconds(399), limit), start);
    EXPECT_EQ(messages_resumed(start, start + seconds(100), start + seconds(400), limit),
              start + seconds(400));
}

// The pause after a pass lasted as long as the pass: after the first reading of a
// large tree, minutes before a new list was seen. A pass now starts every ten
// seconds, or when the last one ends, or later where the passes' processor time
// would pass about 6 % of a core; complete passes, which query every list's files,
// are spaced to cost about 4 %, and come at least every five minutes. A first reading,
// which reads every file, spaced the next complete pass by its own cost: an edit in
// place on network storage waited minutes. The pass after it is complete now.
TEST(NetworkPasses, StartEveryTenSecondsUnlessLongerOrDearer) {
    using std::chrono::milliseconds;
    const struct {
        std::chrono::nanoseconds took, cpu, period;
        // When a complete pass is due; none when not given.
        std::chrono::nanoseconds complete_due = std::chrono::nanoseconds::max();
    } rows[] = {
        {milliseconds(3), milliseconds(1), seconds(10)},
        {seconds(7), milliseconds(500), seconds(10)},
        {seconds(25), seconds(1), seconds(25)},
        {seconds(5), seconds(3), seconds(50)},
        {seconds(30), seconds(6), seconds(100)},
        // A complete pass due in 4 s starts then, not 6 s after it is due, nor
        // before this one has ended.
        {milliseconds(3), milliseconds(1), seconds(4), seconds(4)},
        {seconds(5), seconds(3), seconds(5), seconds(4)},
        // Due already: the next pass starts once this one has ended.
        {seconds(7), milliseconds(500), seconds(7), -seconds(2)},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(pass_period(row.took, row.cpu, row.complete_due), row.period)
            << row.took.count() << " ns, " << row.cpu.count() << " ns of processor time";
    }
    EXPECT_EQ(complete_pass_spacing(milliseconds(100)), milliseconds(2500));
    EXPECT_EQ(complete_pass_spacing(seconds(1), 10, 10000), seconds(25));
    EXPECT_EQ(complete_pass_spacing(seconds(40)), std::chrono::minutes(5));
    EXPECT_EQ(complete_pass_spacing(seconds(40), 10000, 10000), seconds(0));
}

}  // namespace
