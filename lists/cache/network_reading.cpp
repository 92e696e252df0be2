// A pass: the places in their order, each list directory listed as the walk lists
// it and each list examined against what the passes know of it; then every list
// the pass did not meet is reported gone. Only what changes a record is handed
// over. A pass that finishes before the serving thread took the one before is
// added to it, so the serving thread always applies every pass, in order.
// Everything the pass touches belongs to this object, which the background thread
// holds: the process may exit while a pass runs.
#include "network_reading.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "address_folding.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view list_suffix = ".list";

// Nothing to read and nothing known: the passes wait until the serving thread
// hands them places and asks the thread to run them.
constexpr std::chrono::hours nothing_to_do{1};

}  // namespace

void NetworkPass::append(NetworkPass&& later) {
    std::unordered_map<std::string, size_t> latest;
    for (size_t i = 0; i < items.size(); ++i) {
        latest[items[i].visit.key] = i;
    }
    for (Item& item : later.items) {
        auto found = latest.find(item.visit.key);
        if (found != latest.end() && item.visit.subscribers_read) {
            // Applied first and replaced at once: the list it read is never used. (A
            // list gone from here is no such case: where a local list gives the key,
            // the record stays until that list is read again.)
            items[found->second].visit.subscribers.clear();
        }
        latest[item.visit.key] = items.size();
        items.push_back(std::move(item));
    }
    records.insert(records.end(), std::make_move_iterator(later.records.begin()),
                   std::make_move_iterator(later.records.end()));
    had_places = had_places || later.had_places;
    finished = later.finished;
}

NetworkReading::NetworkReading(kel::FileSystem& file_system, std::string main_domain,
                               std::chrono::nanoseconds idle)
    : file_system(file_system), main_domain(std::move(main_domain)), idle(idle) {}

void NetworkReading::set_places(std::vector<NetworkPlace> places) {
    pending_places = std::move(places);
}

void NetworkReading::read_again(const std::string& key) {
    pending_again.push_back(key);
}

std::optional<NetworkPass> NetworkReading::exchange() {
    std::optional<NetworkPass> taken;
    kel::AnnotatedLock held(lock);
    if (pending_places) {
        handed_places = std::move(pending_places);
        pending_places.reset();
    }
    if (!pending_again.empty()) {
        handed_again.insert(handed_again.end(), std::make_move_iterator(pending_again.begin()),
                            std::make_move_iterator(pending_again.end()));
        pending_again.clear();
    }
    taken.swap(finished);
    return taken;
}

std::chrono::nanoseconds NetworkReading::run_pass() {
    const Clock::time_point started = Clock::now();
    std::vector<std::string> again;
    {
        kel::AnnotatedLock held(lock);
        if (handed_places) {
            places = std::move(*handed_places);
            handed_places.reset();
        }
        again.swap(handed_again);
    }
    for (const std::string& key : again) {
        known.erase(key);
    }
    if (places.empty() && known.empty()) {
        return nothing_to_do;
    }

    ++passes;
    NetworkPass pass;
    pass.had_places = !places.empty();
    size_t order = 0;
    for (const NetworkPlace& place : places) {
        read_place(place, pass, order);
    }
    for (auto entry = known.begin(); entry != known.end();) {
        if (entry->second.seen == passes) {
            ++entry;
            continue;
        }
        NetworkPass::Item gone;
        gone.gone = true;
        gone.visit.key = entry->first;
        pass.items.push_back(std::move(gone));
        entry = known.erase(entry);
    }

    pass.records = listings.take_records();
    pass.finished = Clock::now();
    {
        kel::AnnotatedLock held(lock);
        if (finished) {
            finished->append(std::move(pass));
        } else {
            finished = std::move(pass);
        }
    }
    const auto took = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - started);
    return took + pause_after_pass(took);
}

void NetworkReading::read_place(const NetworkPlace& place, NetworkPass& pass, size_t& order) {
    if (!place.domains) {
        read_directory(place.path, place.domain, pass, order++);
        return;
    }
    const auto domain_there = [&](const std::string& name) {
        return entry_still_there(file_system, place.path, name);
    };
    for (const std::string& domain :
         listings.list(file_system, place.path, order++, domain_there)) {
        // The walk reads the main domain's lists from "Accounts" there too, which is
        // read in its own place.
        if (domain != main_domain) {
            read_directory(place.path + "/" + domain + "/LISTS", domain, pass, order++);
        }
    }
}

void NetworkReading::read_directory(const std::string& path, const std::string& domain,
                                    NetworkPass& pass, size_t order) {
    const auto still_there = [&](const std::string& name) {
        return entry_still_there(file_system, path, name);
    };
    for (const std::string& entry : listings.list(file_system, path, order, still_there)) {
        if (entry.size() < list_suffix.size() ||
            std::string_view(entry).substr(entry.size() - list_suffix.size()) != list_suffix) {
            continue;
        }
        const std::string name = entry.substr(0, entry.size() - list_suffix.size());
        std::string key = fold_lower(name + "@" + domain);
        auto [found, fresh] = known.try_emplace(key);
        ListKnown& list = found->second.list;
        ListVisit visit = examine_list(file_system, fresh ? nullptr : &list, path, domain, name,
                                       list_clock_now());
        const bool changes = visit_changes(fresh ? nullptr : &list, visit);
        apply_list_visit(visit, list);
        found->second.seen = passes;
        if (changes) {
            visit.key = std::move(key);
            pass.items.push_back({false, std::move(visit)});
        }
    }
}

std::chrono::nanoseconds pause_after_pass(std::chrono::nanoseconds duration) {
    return std::max<std::chrono::nanoseconds>(NetworkReading::shortest_pause, duration);
}

void NetworkReading::discard() {
    for (auto& [key, entry] : known) {
        entry.list = ListKnown{};
        // Not known to be empty: an empty file is then read, not taken as unchanged.
        entry.list.has_subscribers = true;
    }
}
