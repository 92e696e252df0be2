// One live filter driven one "file" request at a time, each timed until its reply,
// for the benchmarks that follow a long-running filter (lists on network storage,
// first readings). It trusts the filter's output only to tell its lines apart.
#pragma once

#include <string>
#include <vector>

#include "filter_process.h"

using ReplyLines = std::vector<std::string>;

class TimedFilter {
  public:
    // Starts `program` (empty: the quorvel built here) in `root` and reads the lines
    // it writes before the first request. A reply that takes longer than
    // `reply_timeout_seconds` counts as none.
    TimedFilter(const std::string& root, const std::string& program, double reply_timeout_seconds);

    // Sends a request for the message at `relative` (under the root): the lines
    // written up to its reply, empty when no reply came in time (failed() then
    // stays true).
    ReplyLines send(const std::string& relative);
    // The time from the last request to its reply, in µs.
    double last_us() const { return last; }
    bool failed() const { return lost; }
    int process_id() { return session.process_id(); }

  private:
    FilterSession session;
    int sent = 0;
    double last = 0;
    bool lost = false;
};

// The reply line of a request without its number ("OK", "ERROR ..."); "(no reply)"
// when there was none.
std::string verdict(const ReplyLines& lines);

// Whether a line of `lines` ends with `record`.
bool carries_record(const ReplyLines& lines, const std::string& record);
