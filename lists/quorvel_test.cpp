// The one decision row that the request layer keeps from the whole process: it
// hands the filter the file it opened for its check, and the filter opens a message
// by its path only when that open failed and the check then passed, so only a file
// that comes and goes in between reaches this path.
#include "quorvel.h"

#include <gtest/gtest.h>

#include <sstream>

#include "logging.h"

namespace {

TEST(PostingDecision, AMessageThatCannotBeOpenedIsAcceptedWithAnUnnumberedRecord) {
    std::ostringstream captured;
    kel::set_output(&captured);
    Quorvel filter;
    cgp::FilterResult result = filter.filter_file(3, "/no/such/queued/message");
    kel::set_output(nullptr);
    EXPECT_EQ(result.verdict, cgp::Accept);
    EXPECT_TRUE(result.lines.empty());
    EXPECT_EQ(captured.str(), "* Unexpected error, contact Kelvorn\n");
}

}  // namespace
