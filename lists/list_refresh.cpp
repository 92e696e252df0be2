// The process-wide refresh. The tree is made at the first refresh and never
// destroyed: its watches and its background thread end with the process, which
// exits without waiting for that thread, so nothing the thread uses may be torn
// down by the destructors that run at exit.
#include "list_refresh.h"

#include <cstdlib>
#include <string_view>

#include "list_directory.h"
#include "list_tree.h"

namespace {

bool test_aid_set(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && std::string_view(value) == "1";
}

}  // namespace

void refresh_lists(int32_t request_number) {
    // The filter has no configuration of its own and chooses by itself; these let
    // the whole-process tests and the benchmarks run it the other ways.
    static const bool full_walk = test_aid_set("QUORVEL_FULL_WALK");
    if (full_walk) {
        walk_lists(request_number);
        return;
    }
    // Without passes the tree gives no bound; the benchmark measures their cost so.
    using Passes = ListTreeOptions::StampPasses;
    static const Passes passes =
        test_aid_set("QUORVEL_NO_STAMP_PASSES") ? Passes::Off : Passes::Background;
    static ListTree& tree = *new ListTree({.stamp_passes = passes});
    tree.refresh(request_number);
}
