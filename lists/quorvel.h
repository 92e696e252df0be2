// The filter of this system: it refuses postings to hosted mailing lists that the
// list would refuse later, and unsubscribe requests from non-subscribers.
#pragma once

#include <cstdint>
#include <string>

#include "ext_filter.h"
#include "posting_decision.h"

class Quorvel : public cgp::ExtFilter {
  public:
    // Serves every request on the reading thread: the list table is not locked.
    Quorvel() : cgp::ExtFilter(false) {}
    ~Quorvel() override = default;

    // The start-up and the request loop of the process; returns its exit status.
    int start(int argc, char** argv);

    cgp::FilterResult filter_file(int32_t request_number, const std::string& path) override;
    // The message is read from the stream the request layer opened for its check.
    cgp::FilterResult filter_opened_file(int32_t request_number, const std::string& path,
                                         kel::ifstream& message) override;
};

// The filter's result for a decision: Accept, or Reject with the refusal text.
cgp::FilterResult filter_result(const PostingDecision& decision);
