// The process-wide refresh. The cache is made at the first refresh and never
// destroyed: its watches and its background thread end with the process, which
// exits without waiting for that thread, so nothing the thread uses may be torn
// down by the destructors that run at exit.
#include "list_refresh.h"

#include "list_cache.h"
#include "list_walk.h"

namespace {

// Set at start-up, while the process has one thread, and only read afterwards.
RefreshOptions& process_options() {
    static RefreshOptions options;
    return options;
}

}  // namespace

void set_refresh_options(const RefreshOptions& options) {
    process_options() = options;
}

const ListTable& refresh_lists(int32_t request_number) {
    const RefreshOptions& options = process_options();
    if (options.full_walk) {
        // Every refresh reads every list directory, the walk's own way.
        static ListTable& walked = *new ListTable;
        walk_lists(kel::real_file_system(), walked, request_number);
        return walked;
    }
    static ListCache& cache = *new ListCache(
        {.status_passes = options.status_passes, .network_limit = options.network_limit});
    cache.refresh(request_number);
    return cache.table();
}
