// Applying passes: each visit is taken into the record of its key (made when
// missing) exactly as the walk's step takes it, and its records are written in the
// pass's order; a key gone from network storage leaves the table unless a local list
// gives it. While the reading in use is too old, the records the passes put in the
// table are set aside (moved, not copied), so that the decision does not find
// them; the next pass that finishes puts them back before its own changes.
#include "network_hand_over.h"

#include <algorithm>
#include <utility>

#include "list_walk.h"
#include "logging.h"

using Clock = std::chrono::steady_clock;

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

NetworkHandOver::NetworkHandOver(kel::FileSystem& file_system, ListTable& table,
                                 std::string main_domain, std::chrono::nanoseconds limit)
    : file_system(file_system), table(table), main_domain(std::move(main_domain)), limit(limit) {}

size_t NetworkHandOver::reader_of(int mount) {
    for (size_t index = 0; index < readers.size(); ++index) {
        if (readers[index].mount == mount) {
            return index;
        }
    }
    Reader reader;
    reader.mount = mount;
    reader.passes = std::make_shared<NetworkReading>(file_system, main_domain, limit);
    readers.push_back(std::move(reader));
    return readers.size() - 1;
}

bool NetworkHandOver::set_places(std::vector<NetworkPlace> given) {
    if (given == places) {
        return false;
    }
    places = given;
    std::vector<std::vector<NetworkPlace>> of_reader(readers.size());
    for (NetworkPlace& place : given) {
        const size_t reader = reader_of(file_system.mount_of(place.path));
        of_reader.resize(readers.size());
        of_reader[reader].push_back(std::move(place));
    }
    for (size_t index = 0; index < readers.size(); ++index) {
        readers[index].has_places = !of_reader[index].empty();
        readers[index].passes->set_places(std::move(of_reader[index]));
    }
    return true;
}

bool NetworkHandOver::keeps(const std::string& key, const ListRecord& record) {
    if (placed.count(key) == 0) {
        // Set aside, the passes' own record comes back when a pass finishes.
        return false;
    }
    if (!record.from_network) {
        readers[placed.at(key)].passes->read_again(key);
    }
    return true;
}

void NetworkHandOver::refresh(int32_t request_number, const LocalGives& local,
                              std::vector<std::string>& revisit) {
    for (size_t index = 0; index < readers.size(); ++index) {
        Reader& reader = readers[index];
        std::optional<NetworkPass> pass = reader.passes->exchange();
        if (!pass) {
            continue;
        }
        restore(index);
        apply(*pass, index, request_number, local, revisit);
        if (pass->completed) {
            reader.have_reading = reader.have_reading || pass->had_places;
            reader.finished = *pass->completed;
            ++applied;
            remembered = pass->listings_remembered;
        }
    }
    const Clock::time_point now = file_system.now();
    resumed = any_message ? messages_resumed(resumed, last_message, now, limit) : now;
    last_message = now;
    any_message = true;
    tell_status(request_number, now, local);
}

// Each mount's reading is judged on its own; a message is told once that lists are
// still being read, and once, with the oldest reading's age, that some are too old.
void NetworkHandOver::tell_status(int32_t request_number, Clock::time_point now,
                                  const LocalGives& local) {
    bool still_reading = false;
    std::optional<NetworkStatus> too_old;
    for (size_t index = 0; index < readers.size(); ++index) {
        const Reader& reader = readers[index];
        const NetworkStatus status = network_status(reader.has_places, reader.have_reading,
                                                    reader.finished, resumed, now, limit);
        still_reading = still_reading || status.kind == NetworkStatus::StillReading;
        if (status.kind == NetworkStatus::NotReadFor) {
            set_aside(index, local);
            if (!too_old || too_old->seconds < status.seconds) {
                too_old = status;
            }
        }
    }
    if (still_reading) {
        kel::logline(request_number) << network_status_record({NetworkStatus::StillReading, 0});
    }
    if (too_old) {
        kel::logline(request_number) << network_status_record(*too_old);
    }
}

void NetworkHandOver::apply(NetworkPass& pass, size_t reader, int32_t request_number,
                            const LocalGives& local, std::vector<std::string>& revisit) {
    for (NetworkPass::Item& item : pass.items) {
        const std::string& key = item.visit.key;
        if (item.gone) {
            // Another mount's reading may give the key now.
            auto given = placed.find(key);
            if (given != placed.end() && given->second != reader) {
                continue;
            }
            placed.erase(key);
            auto found = table.find(key);
            if (found == table.end()) {
                continue;
            }
            if (!local(key)) {
                table.erase(found);
            } else if (found->second.from_network) {
                revisit.push_back(key);
            }
            continue;
        }
        auto [found, is_new] = table.try_emplace(key);
        ListRecord& record = found->second;
        placed[key] = reader;
        if (!is_new &&
            (!record.from_network || record.subscribers_path != item.visit.subscribers_path)) {
            // Another folder gave the record: a part of a reading over it would mix
            // one folder's policy with the other's subscribers. The passes read the
            // list whole next time; a whole reading replaces the record.
            if (!item.visit.complete) {
                readers[reader].passes->read_again(key);
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

void NetworkHandOver::set_aside(size_t reader, const LocalGives& local) {
    for (auto key = placed.begin(); key != placed.end();) {
        auto found = table.find(key->first);
        if (key->second != reader || found == table.end() || local(key->first)) {
            ++key;
            continue;
        }
        readers[reader].aside.insert(table.extract(found));
        key = placed.erase(key);
    }
}

void NetworkHandOver::restore(size_t reader) {
    for (auto& [key, record] : readers[reader].aside) {
        // A local list that came meanwhile keeps its record.
        table.try_emplace(key, std::move(record));
        placed[key] = reader;
    }
    readers[reader].aside.clear();
}
