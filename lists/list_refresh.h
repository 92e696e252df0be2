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
// change may be seen late, and how lists on network storage are read: off the
// message's path, so that the first refresh does not know them yet; a tool that
// must see every list walks). Test aids, not settings, in the environment:
// QUORVEL_FULL_WALK=1 makes every refresh walk_lists instead, network storage
// included; QUORVEL_NO_STAMP_PASSES=1 keeps the tree from running status passes;
// QUORVEL_NETWORK_LIMIT=<seconds> shortens the five minutes after which a reading
// of network storage is too old to use, and its passes pause without messages.
void refresh_lists(int32_t request_number);
