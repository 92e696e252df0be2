// The process-wide refresh. The cache is made at the first refresh and never
// destroyed: its watches and its background thread end with the process, which
// exits without waiting for that thread, so nothing the thread uses may be torn
// down by the destructors that run at exit.
#include "list_refresh.h"

#include <chrono>
#include <cstdlib>
#include <string_view>

#include "list_cache.h"
#include "list_walk.h"

namespace {

bool test_aid_set(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && std::string_view(value) == "1";
}

// A whole number of seconds from 1 to a day, else the default.
std::chrono::nanoseconds test_aid_seconds(const char* name, std::chrono::nanoseconds otherwise) {
    const char* value = std::getenv(name);
    if (value == nullptr) {
        return otherwise;
    }
    char* end = nullptr;
    const long seconds = std::strtol(value, &end, 10);
    if (end == value || *end != '\0' || seconds < 1 || seconds > 86400) {
        return otherwise;
    }
    return std::chrono::seconds(seconds);
}

ListCacheOptions process_options() {
    ListCacheOptions options;
    // Without passes the tree gives no bound; the benchmark measures their cost so.
    if (test_aid_set("QUORVEL_NO_STAMP_PASSES")) {
        options.status_passes = ListCacheOptions::Passes::Off;
    }
    // Five minutes is long to wait in a test of a reading grown too old.
    options.network_limit = test_aid_seconds("QUORVEL_NETWORK_LIMIT", options.network_limit);
    return options;
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
    static ListCache& cache = *new ListCache(process_options());
    cache.refresh(request_number);
}

void walk_lists(int32_t request_number) {
    walk_lists(kel::real_file_system(), request_number);
}
