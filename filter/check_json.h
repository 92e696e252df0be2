// quorvel-check's JSON output: one document holding everything the text output
// holds, for a monitoring system. The layout is documented with an example in
// quorvel-check(1); how bytes that are not UTF-8 are written, in json_writer.h.
#pragma once

#include <string>
#include <vector>

#include "check_explain.h"
#include "check_lists.h"
#include "list_refresh.h"

// The counts of a run over messages, and the warnings about the server's tree as a
// whole, which both outputs give.
struct CheckCounts {
    size_t messages = 0;
    size_t accepted = 0;
    size_t refused = 0;
    size_t not_checked = 0;
    size_t warnings = 0;
};

// `reports`: the parse reports of the settings files read at start; `unread`: the
// places whose lists could not be read (their warnings are among `tree_warnings`).
std::string messages_json(const std::vector<Explained>& decisions, const CheckCounts& counts,
                          const std::vector<std::string>& tree_warnings,
                          const std::vector<std::string>& reports,
                          const std::vector<UnreadPlace>& unread);
std::string lists_json(const ListsReport& report, const std::vector<std::string>& tree_warnings,
                       const std::vector<UnreadPlace>& unread);
