// The process-wide refresh. The tree is made at the first refresh and never
// destroyed: its watches end with the process.
#include "list_refresh.h"

#include <cstdlib>
#include <string_view>

#include "list_directory.h"
#include "list_tree.h"

void refresh_lists(int32_t request_number) {
    // QUORVEL_FULL_WALK=1 makes every refresh a complete walk. It is a test aid, so
    // that the whole-process tests and the benchmark can run both ways; the filter
    // has no configuration of its own and chooses by itself.
    static const bool full_walk = [] {
        const char* forced = std::getenv("QUORVEL_FULL_WALK");
        return forced != nullptr && std::string_view(forced) == "1";
    }();
    if (full_walk) {
        walk_lists(request_number);
        return;
    }
    static ListTree& tree = *new ListTree;
    tree.refresh(request_number);
}
