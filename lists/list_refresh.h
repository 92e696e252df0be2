// The refresh of the list table before every message: the choice between the
// watched tree (list_tree.h) and the walk of every list directory (list_directory.h),
// and the process-wide tree that lives from the first message to the end.
#pragma once

#include <cstdint>

// Brings list_table up to date with the tree: the main domain's lists under
// "Accounts/LISTS", every other domain's under "Domains/<domain>/LISTS". Files are
// read only when they changed; lists whose ".list" file is gone are dropped.
// `request_number` marks the log records. The refresh goes through the process's
// one watched tree, which looks only at what changed and otherwise leaves the
// table and writes the records that walk_lists would (list_tree.h says when a
// change may be seen late). The environment variable QUORVEL_FULL_WALK=1 makes
// every refresh walk_lists instead, and QUORVEL_NO_STAMP_PASSES=1 keeps the tree
// from starting its background thread; both are test aids, not settings.
void refresh_lists(int32_t request_number);
