// What quorvel-check says of the places of the server's tree whose lists it could not
// read: a place that did not answer within its bound (a hung network mount), one
// skipped with it on the same mount, one that cannot be listed. Each is a warning,
// since the verdicts then go without those lists.
#pragma once

#include <string>
#include <vector>

#include "list_refresh.h"

// How long the tool waits for one place, and past how long it waits for none: the
// tool answers within ten seconds, the rest of its work being on places that answered.
inline constexpr BoundedWalkOptions check_walk_bounds{std::chrono::seconds(5),
                                                      std::chrono::seconds(8)};

// The warning about one place, path and reason shown with control bytes escaped.
std::string unread_warning(const UnreadPlace& place);
std::vector<std::string> unread_warnings(const std::vector<UnreadPlace>& places);

// The JSON "state" of an unread place: "no answer", "same mount", "out of time",
// "cannot be listed" or "failed".
const char* unread_state(UnreadPlace::Why why);
