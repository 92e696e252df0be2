// The bounded walk: the walk's places in the walk's order, each read off this thread
// with a deadline (place_reading.h), then the lists read taken into list_table here,
// on the one thread that owns it. The deadline of a place is the place's limit, cut
// to what is left of the total; the main domain's entry under "Domains" is not read
// again, its reading of "Accounts/LISTS" counts again at that point of the order.
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <unordered_map>

#include "list_refresh.h"
#include "list_walk.h"
#include "place_reading.h"
#include "place_storage.h"

namespace {

using Clock = std::chrono::steady_clock;

struct WalkState {
    kel::FileSystem& file_system;
    const PlaceMount& mount_of;
    std::chrono::milliseconds place_limit;
    Clock::time_point end;
    int64_t now = 0;                  // the list clock, for every reading
    std::map<int, std::string> hung;  // a mount to the place on it that did not answer
    BoundedWalk walk;
};

// The reading of one place, or none, with the reason in the walk's unread places.
std::unique_ptr<PlaceReading> read_bounded(WalkState& state, const std::string& path,
                                           const std::string& domain, bool lists) {
    using Why = UnreadPlace::Why;
    const int mount = state.mount_of(path);
    const auto hung = mount < 0 ? state.hung.end() : state.hung.find(mount);
    if (hung != state.hung.end()) {
        state.walk.unread.push_back({Why::SameMount, path, hung->second});
        return nullptr;
    }
    const Clock::time_point start = Clock::now();
    const bool whole = start + state.place_limit <= state.end;
    if (start >= state.end) {
        state.walk.unread.push_back({Why::OutOfTime, path, ""});
        return nullptr;
    }
    std::optional<PlaceReading> reading =
        read_place_until(state.file_system, path, domain, lists, state.now,
                         whole ? start + state.place_limit : state.end);
    if (!reading) {
        state.walk.abandoned = true;
        state.walk.unread.push_back({whole ? Why::NoAnswer : Why::OutOfTime, path, ""});
        if (mount >= 0) {
            state.hung.emplace(mount, path);
        }
        return nullptr;
    }
    if (!reading->failure.empty() || reading->list_error != 0) {
        const bool failed = !reading->failure.empty();
        state.walk.unread.push_back(
            {failed ? Why::Failed : Why::CannotList, path,
             failed ? reading->failure : kel::error_text(reading->list_error)});
        return nullptr;
    }
    if (lists) {
        state.walk.directories.push_back({path, domain, reading->names});
    }
    return std::make_unique<PlaceReading>(std::move(*reading));
}

// Takes the lists read into list_table: of a list read in several places, the reading
// last in `order`. Each reading's records are written once, in the walk's order.
void take_readings(const std::vector<std::unique_ptr<PlaceReading>>& readings,
                   const std::vector<PlaceReading*>& order, int32_t request_number) {
    for (const auto& reading : readings) {
        for (const ListVisit& visit : reading->visits) {
            write_list_notes(request_number, visit.notes);
        }
    }
    std::unordered_map<std::string, ListVisit*> last;
    for (PlaceReading* reading : order) {
        for (ListVisit& visit : reading->visits) {
            last[visit.key] = &visit;
        }
    }
    list_table.clear();
    for (auto& [key, visit] : last) {
        apply_list_visit(*visit, list_table[key]);
    }
}

}  // namespace

BoundedWalk walk_lists_bounded(kel::FileSystem& file_system, const PlaceMount& mount_of,
                               const std::string& main_domain, int32_t request_number,
                               const BoundedWalkOptions& options) {
    WalkState state{file_system,
                    mount_of,
                    options.place_limit,
                    Clock::now() + options.total_limit,
                    list_clock_now(),
                    {},
                    {}};
    std::vector<std::unique_ptr<PlaceReading>> readings;
    std::vector<PlaceReading*> order;
    const auto keep = [&](std::unique_ptr<PlaceReading> reading) {
        if (reading) {
            order.push_back(reading.get());
            readings.push_back(std::move(reading));
        }
    };
    keep(read_bounded(state, "Accounts/LISTS", main_domain, true));
    PlaceReading* const main_lists = readings.empty() ? nullptr : readings.front().get();
    const std::unique_ptr<PlaceReading> domains = read_bounded(state, "Domains", "", false);
    const std::vector<std::string> none;
    for (const std::string& entry : domains ? domains->names : none) {
        if (entry != main_domain) {
            keep(read_bounded(state, "Domains/" + entry + "/LISTS", entry, true));
        } else if (main_lists != nullptr) {
            order.push_back(main_lists);
        }
    }
    take_readings(readings, order, request_number);
    return std::move(state.walk);
}

BoundedWalk walk_lists_bounded(int32_t request_number, const BoundedWalkOptions& options) {
    const kel::MountTableReading table = kel::read_mount_table();
    std::unique_ptr<char, decltype(&free)> here(getcwd(nullptr, 0), &free);
    kel::SystemLinkReader links;
    // Only places judged (local or network) are grouped by their mount.
    const PlaceMount mount_of = [&](const std::string& place) {
        if (!table.read || !here) {
            return -1;
        }
        const kel::PlaceStorage storage = kel::place_storage(place, here.get(), table.table, links);
        const bool judged = storage.storage != kel::PlaceKind::Unresolved && storage.mount;
        return judged ? storage.mount->id : -1;
    };
    return walk_lists_bounded(kel::real_file_system(), mount_of, main_domain_name(), request_number,
                              options);
}
