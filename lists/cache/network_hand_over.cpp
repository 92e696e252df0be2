// Applying passes: each visit is taken into the record of its key (made when
// missing) exactly as the walk's step takes it, and its records are written in the
// pass's order; a key gone from network storage leaves the table unless a local list
// gives it. While the reading in use is too old, the records the passes put in the
// table are set aside (moved, not copied), so that the decision does not find
// them; the next pass that finishes puts them back before its own changes.
#include "network_hand_over.h"

#include <utility>

#include "list_walk.h"
#include "logging.h"

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

NetworkStatus network_status(bool has_places, bool have_reading, Clock::time_point finished,
                             Clock::time_point resumed, Clock::time_point now,
                             std::chrono::nanoseconds limit) {
    if (!has_places) {
        return {};
    }
    if (!have_reading) {
        return {NetworkStatus::StillReading, 0};
    }
    if (now - std::max(finished, resumed) <= limit) {
        return {};
    }
    return {NetworkStatus::NotReadFor,
            std::chrono::duration_cast<std::chrono::seconds>(now - finished).count()};
}

Clock::time_point messages_resumed(Clock::time_point resumed, Clock::time_point last_message,
                                   Clock::time_point now, std::chrono::nanoseconds limit) {
    return now - last_message >= limit ? now : resumed;
}

std::string network_status_record(const NetworkStatus& status) {
    switch (status.kind) {
        case NetworkStatus::Current:
            break;
        case NetworkStatus::StillReading:
            return "Lists on network storage are still being read, not checked yet";
        case NetworkStatus::NotReadFor:
            return "Lists on network storage not read for " + std::to_string(status.seconds) +
                   " s, not checked";
    }
    return "";
}

NetworkHandOver::NetworkHandOver(kel::FileSystem& file_system, std::string main_domain,
                                 std::chrono::nanoseconds limit)
    : limit(limit),
      passes(std::make_shared<NetworkReading>(file_system, std::move(main_domain), limit)) {}

bool NetworkHandOver::set_places(std::vector<NetworkPlace> given) {
    if (given == places) {
        return false;
    }
    places = given;
    passes->set_places(std::move(given));
    return true;
}

bool NetworkHandOver::gives(const std::string& key) const {
    return placed.count(key) != 0 || aside.count(key) != 0;
}

bool NetworkHandOver::keeps(const std::string& key, const ListRecord& record) {
    if (placed.count(key) == 0) {
        // Set aside, the passes' own record comes back when a pass finishes.
        return false;
    }
    if (!record.from_network) {
        passes->read_again(key);
    }
    return true;
}

void NetworkHandOver::find_lost_records() {
    for (auto key = placed.begin(); key != placed.end();) {
        if (list_table.count(*key) != 0) {
            ++key;
            continue;
        }
        passes->read_again(*key);
        key = placed.erase(key);
    }
}

void NetworkHandOver::refresh(int32_t request_number, Clock::time_point now,
                              const LocalGives& local, std::vector<std::string>& revisit,
                              const Leftovers& leftovers) {
    if (std::optional<NetworkPass> pass = passes->exchange()) {
        if (leftovers && (!pass->leftovers.empty() || pass->leftovers_done)) {
            leftovers(pass->leftovers, pass->leftovers_of, pass->leftovers_done);
        }
        restore();
        apply(*pass, request_number, local, revisit);
        if (pass->completed) {
            have_reading = have_reading || pass->had_places;
            finished = *pass->completed;
            ++applied;
            remembered = pass->listings_remembered;
        }
    }
    resumed = any_message ? messages_resumed(resumed, last_message, now, limit) : now;
    last_message = now;
    any_message = true;
    const NetworkStatus status =
        network_status(has_places(), have_reading, finished, resumed, now, limit);
    if (status.kind == NetworkStatus::NotReadFor) {
        set_aside(local);
    }
    if (status.kind != NetworkStatus::Current) {
        kel::logline(request_number) << network_status_record(status);
    }
}

void NetworkHandOver::apply(NetworkPass& pass, int32_t request_number, const LocalGives& local,
                            std::vector<std::string>& revisit) {
    for (NetworkPass::Item& item : pass.items) {
        const std::string& key = item.visit.key;
        if (item.gone) {
            placed.erase(key);
            auto found = list_table.find(key);
            if (found == list_table.end()) {
                continue;
            }
            if (!local(key)) {
                list_table.erase(found);
            } else if (found->second.from_network) {
                revisit.push_back(key);
            }
            continue;
        }
        auto [found, is_new] = list_table.try_emplace(key);
        ListRecord& record = found->second;
        placed.insert(key);
        if (!is_new &&
            (!record.from_network || record.subscribers_path != item.visit.subscribers_path)) {
            // Another folder gave the record: a part of a reading over it would mix
            // one folder's policy with the other's subscribers. The passes read the
            // list whole next time; a whole reading replaces the record.
            if (!item.visit.complete) {
                passes->read_again(key);
                continue;
            }
            record = ListRecord{};
        }
        apply_list_visit(item.visit, record);
        record.from_network = true;
        write_list_notes(request_number, item.visit.notes);
    }
    for (const std::string& record : pass.records) {
        kel::logline(request_number) << record;
    }
}

void NetworkHandOver::set_aside(const LocalGives& local) {
    for (auto key = placed.begin(); key != placed.end();) {
        auto found = list_table.find(*key);
        if (found == list_table.end() || local(*key)) {
            ++key;
            continue;
        }
        aside.insert(list_table.extract(found));
        key = placed.erase(key);
    }
}

void NetworkHandOver::restore() {
    for (auto& [key, record] : aside) {
        // A local list that came meanwhile keeps its record.
        list_table.try_emplace(key, std::move(record));
        placed.insert(key);
    }
    aside.clear();
}
