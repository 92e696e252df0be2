// The filter as the whole-process tests and the benchmarks run it in its other ways:
// the refresh options first (--full-walk, --no-status-passes, --network-limit=<seconds>),
// then the filter's own arguments, handed on as the server would give them. The
// filter itself has no such switches: it chooses by itself.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "list_refresh.h"
#include "quorvel.h"
#include "work_apart.h"

int main(int argc, char** argv) {
    work_apart(2);
    RefreshOptions options;
    std::vector<char*> passed = {argv[0]};
    int word = 1;
    for (; word < argc; ++word) {
        const std::string_view aid = argv[word];
        constexpr std::string_view limit = "--network-limit=";
        if (aid == "--full-walk") {
            options.full_walk = true;
        } else if (aid == "--no-status-passes") {
            options.status_passes = false;
        } else if (aid.substr(0, limit.size()) == limit) {
            options.network_limit = std::chrono::seconds(std::atoi(argv[word] + limit.size()));
        } else {
            break;
        }
    }
    passed.insert(passed.end(), argv + word, argv + argc);
    passed.push_back(nullptr);
    set_refresh_options(options);
    Quorvel filter;
    const int status = filter.start(static_cast<int>(passed.size()) - 1, passed.data());
    // As the filter's own entry ends (filter/main.cpp): nothing may wait on a reading
    // held in a call on hung storage.
    return end_work(status, true);
}
