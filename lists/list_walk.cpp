// The walk: every list directory read in the server's order (the main domain's,
// then those of the "Domains" entries as the system lists them), each list read with
// the per-list step of list_reading.h and taken into the table, then the sweep of
// the lists it did not meet. The watched tree and the network reading use its step
// for what changed; it knows of neither.
#include "list_walk.h"

#include <string_view>
#include <unordered_set>

#include "address_folding.h"
#include "list_names.h"
#include "logging.h"

void write_list_notes(int32_t request_number, const std::vector<ListNote>& notes) {
    for (const ListNote& note : notes) {
        switch (note.kind) {
            case ListNote::Numbered:
                kel::logline(request_number) << note.text;
                break;
            case ListNote::Plain:
                kel::logline() << note.text;
                break;
            case ListNote::SettingsReport: {
                SettingsFile report;
                report.report = note.text;
                write_settings_notes(report);
                break;
            }
        }
    }
}

ListRecord& visit_list(kel::FileSystem& file_system, ListTable& table, int32_t request_number,
                       const std::string& list_directory, const std::string& domain,
                       const std::string& name) {
    auto [found, is_new] = table.try_emplace(fold_lower(name + "@" + domain));
    ListRecord& record = found->second;
    const ListKnown known = is_new ? ListKnown{} : known_of(record);
    // Read into the record's own list: a list read again writes over its memory.
    ListVisit visit = examine_list(file_system, is_new ? nullptr : &known, list_directory, domain,
                                   name, list_clock_now(), &record.subscribers);
    apply_list_visit(visit, record);
    record.from_network = false;
    record.seen = true;
    write_list_notes(request_number, visit.notes);
    return record;
}

ListingMemory& walk_listings() {
    static ListingMemory& memory = *new ListingMemory;
    return memory;
}

std::vector<std::string> list_domains(kel::FileSystem& file_system, ListingMemory& memory) {
    return memory.list(file_system, "Domains", domains_order, [&](const std::string& name) {
        return entry_still_there(file_system, "Domains", name);
    });
}

void write_listing_records(int32_t request_number, ListingMemory& memory) {
    for (const std::string& record : memory.take_records()) {
        kel::logline(request_number) << record;
    }
}

WalkPlace main_lists_place(const std::string& main_domain) {
    return {"Accounts/LISTS", main_domain, main_lists_order, true};
}

WalkPlace entry_place(const std::string& entry, size_t place, const std::string& main_domain) {
    if (entry == main_domain) {
        return {"Accounts/LISTS", entry, listing_order(place), true};
    }
    return {"Domains/" + entry + "/LISTS", entry, listing_order(place), false};
}

std::vector<WalkPlace> domain_places(const std::vector<std::string>& entries,
                                     const std::string& main_domain) {
    std::vector<WalkPlace> places;
    places.reserve(entries.size());
    for (const std::string& entry : entries) {
        places.push_back(entry_place(entry, places.size() + 1, main_domain));
    }
    return places;
}

void sweep_unseen_lists(ListTable& table, const KeepList& keep) {
    std::vector<std::string> vanished;
    for (auto& [key, record] : table) {
        if (!record.seen && !(keep && keep(key, record))) {
            vanished.push_back(key);
        }
        record.seen = false;
    }
    for (const std::string& key : vanished) {
        table.erase(key);
    }
}

namespace {

// Visits the lists of one place and marks them seen.
void scan_place(kel::FileSystem& file_system, ListTable& table, int32_t request_number,
                const WalkPlace& place) {
    const auto still_there = [&](const std::string& name) {
        return entry_still_there(file_system, place.path, name);
    };
    for (const std::string& entry :
         walk_listings().list(file_system, place.path, place.order, still_there)) {
        if (ends_with(entry, list_suffix)) {
            visit_list(file_system, table, request_number, place.path, place.domain,
                       entry.substr(0, entry.size() - list_suffix.size()));
        }
    }
}

// Forgets what `memory` holds of directories no longer on the walk: a path of the
// walk ("Accounts/LISTS", "Domains", "Domains/<d>" or "Domains/<d>/LISTS") stays
// while <d> is among the entries `memory` last took for "Domains".
void forget_gone_domains(ListingMemory& memory) {
    std::unordered_set<std::string> domains;
    if (const std::vector<std::string>* names = memory.remembered("Domains")) {
        domains.insert(names->begin(), names->end());
    }
    memory.forget_all_but([&domains](const std::string& path) {
        constexpr std::string_view top = "Domains/", lists = "/LISTS";
        if (path == "Accounts/LISTS" || path == "Domains") {
            return true;
        }
        if (path.size() <= top.size() || path.compare(0, top.size(), top) != 0) {
            return false;
        }
        std::string domain = path.substr(top.size());
        if (ends_with(domain, lists)) {
            domain.resize(domain.size() - lists.size());
        }
        return domains.count(domain) != 0;
    });
}

}  // namespace

void walk_lists(kel::FileSystem& file_system, ListTable& table, int32_t request_number) {
    const std::string& main_domain = main_domain_name();
    scan_place(file_system, table, request_number, main_lists_place(main_domain));
    for (const WalkPlace& place :
         domain_places(list_domains(file_system, walk_listings()), main_domain)) {
        scan_place(file_system, table, request_number, place);
    }
    write_listing_records(request_number, walk_listings());
    forget_gone_domains(walk_listings());
    sweep_unseen_lists(table);
}
