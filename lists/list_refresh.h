// The door to the list cache (cache/): the refresh of list_table before every
// message, and the complete walk for a tool that must see every list at once. The
// rest of the program reaches the cache through this header only; cache/list_cache.h
// says where each of its pieces is and which thread touches what.
#pragma once

#include <cstdint>

// Brings list_table up to date with the tree: the main domain's lists under
// "Accounts/LISTS", every other domain's under "Domains/<domain>/LISTS". Files are
// read only when they changed; lists whose ".list" file is gone are dropped.
// `request_number` marks the log records. The refresh goes through the process's
// one list cache, which looks only at what changed and otherwise leaves the table
// and writes the records that walk_lists would (cache/watched_tree.h says when a
// change may be seen late, and cache/network_reading.h how lists on network storage
// are read: off the message's path, so that the first refresh does not know them
// yet; a tool that must see every list walks). Test aids, not settings, in the
// environment: QUORVEL_FULL_WALK=1 makes every refresh walk_lists instead, network
// storage included; QUORVEL_NO_STAMP_PASSES=1 keeps the cache from running status
// passes; QUORVEL_NETWORK_LIMIT=<seconds> shortens the five minutes after which a
// reading of network storage is too old to use, and its passes pause without
// messages.
void refresh_lists(int32_t request_number);

// The refresh that reads every list directory: the main domain's, then those of the
// "Domains" entries in the order the system lists them, then the sweep.
void walk_lists(int32_t request_number);
