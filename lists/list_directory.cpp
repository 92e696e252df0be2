// The list table and its refresh. A walk costs one directory listing per domain and
// one status query per list file; a file is read only when its stamp (size,
// modification and change time at full precision, inode) differs from when it was
// last read, or when it could not be read and a retry is due. The walk and its
// per-list step serve the watched tree (list_tree.h), which uses them for what
// changed, and the reading of lists on network storage (network_reading.h), which
// runs the step as a value on its own thread and has the serving thread apply it;
// nothing here knows of either.
#include "list_directory.h"

#include <time.h>

#include <string_view>
#include <vector>

#include "address_folding.h"
#include "list_warnings.h"
#include "load_settings.h"
#include "logging.h"
#include "subscriber_file.h"

std::unordered_map<std::string, ListRecord> list_table;

namespace {

std::string main_domain;
bool main_domain_loaded = false;

// A view, not a string: the background thread may still use it while the
// destructors run at exit.
constexpr std::string_view list_suffix = ".list";
bool ends_with(const std::string& name, std::string_view suffix) {
    return name.size() >= suffix.size() &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

int64_t monotonic_seconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec);
}

ListClock list_clock = &monotonic_seconds;

// A file that could not be read is tried again after retry_seconds, whatever its
// stamp says.
bool retry_due(const ListFileReading& reading, int64_t now) {
    return !reading.readable && now - reading.read_at >= retry_seconds;
}

}  // namespace

const std::string& main_domain_name() {
    if (main_domain_loaded) {
        return main_domain;
    }
    main_domain_loaded = true;
    cgp::DataSet settings = load_settings("Settings/Main.settings");
    if (const cgp::DataSet* name = settings.find("DomainName")) {
        main_domain = fold_lower(name->text());
    }
    return main_domain;
}

void set_list_clock(ListClock clock) {
    list_clock = clock != nullptr ? clock : &monotonic_seconds;
}

int64_t list_clock_now() {
    return list_clock();
}

ListSettings list_settings_from(const SettingsFile& file, const std::string& domain) {
    ListSettings settings;
    auto unreadable = [&settings](std::string reason) {
        settings.readable = false;
        settings.reason = std::move(reason);
        return settings;
    };
    switch (file.state) {
        case SettingsState::Missing:
            return settings;
        case SettingsState::Unreadable:
            return unreadable(file.reason);
        case SettingsState::Loaded:
            break;
    }
    // An empty file is more likely a write caught halfway than a list's wish.
    if (file.value.kind() == cgp::Empty) {
        return unreadable("it holds no value");
    }
    if (file.value.kind() != cgp::Dictionary) {
        return unreadable("it holds no dictionary");
    }
    const cgp::DataSet* postings = file.value.find("Postings");
    if (postings != nullptr && postings->kind() != cgp::String) {
        return unreadable("its \"Postings\" is not a string");
    }
    const cgp::DataSet* owner = file.value.find("Owner");
    if (owner != nullptr && owner->kind() != cgp::String) {
        return unreadable("its \"Owner\" is not a string");
    }
    if (postings != nullptr) {
        settings.policy = policy_for(postings->text());
        settings.postings = postings->text();
    }
    if (owner != nullptr && !owner->text().empty()) {
        settings.owner = owner->text() + "@" + domain;
        settings.owner_setting = owner->text();
    }
    return settings;
}

PostingPolicy policy_for(const std::string& postings) {
    if (postings == "from owner only") {
        return OwnerOnly;
    }
    if (postings == "from anybody" || postings == "moderate guests") {
        return Anybody;
    }
    return Subscribers;
}

ListKnown known_of(const ListRecord& record) {
    return {record.settings_stamp, record.subscribers_stamp, record.settings_reading,
            record.subscribers_reading, !record.subscribers.empty()};
}

ListVisit examine_list(const ListKnown* known, const std::string& list_directory,
                       const std::string& domain, const std::string& name, int64_t now,
                       SubscriberList* read_into) {
    // No static: the background thread may run this while the destructors run at exit.
    const ListKnown nothing_known;
    const ListKnown& last = known != nullptr ? *known : nothing_known;
    const bool is_new = known == nullptr;
    const std::string address = name + "@" + domain;
    ListVisit visit;
    visit.read_at = now;
    visit.settings_path = list_directory + "/" + name + ".settings";
    visit.subscribers_path = list_directory + "/" + name + std::string(list_suffix);

    visit.settings_stamp = kel::file_stamp(visit.settings_path);
    if (is_new || visit.settings_stamp != last.settings_stamp ||
        retry_due(last.settings_reading, now)) {
        visit.notes.push_back(
            {ListNote::Numbered, "Reading list settings: " + kel::printable(address)});
        SettingsFile file = examine_settings_file(visit.settings_path);
        if (!file.report.empty()) {
            visit.notes.push_back({ListNote::SettingsReport, std::move(file.report)});
        }
        for (std::string& record : file.records) {
            visit.notes.push_back({ListNote::Plain, std::move(record)});
        }
        visit.settings_read = true;
        visit.settings = list_settings_from(file, domain);
        // Right behind "Reading list settings": only unreadable settings have notes.
        for (std::string& warning : settings_warning_records(address, visit.settings)) {
            visit.notes.push_back({ListNote::Numbered, std::move(warning)});
        }
    }

    visit.subscribers_stamp = kel::file_stamp(visit.subscribers_path);
    if (!is_new && visit.subscribers_stamp == last.subscribers_stamp &&
        !retry_due(last.subscribers_reading, now)) {
        return visit;
    }
    if (visit.subscribers_stamp.regular && visit.subscribers_stamp.size == 0 &&
        last.subscribers_stamp.size == 0 && !last.has_subscribers &&
        last.subscribers_reading.readable) {
        // An empty file now, and nothing before: nothing to read and nothing to
        // forget. Anything at the path that is not a regular file is read, and found
        // unreadable.
        return visit;
    }
    visit.notes.push_back(
        {ListNote::Numbered, "Reading list subscribers: " + kel::printable(address)});
    visit.subscribers_read = true;
    visit.holds_subscribers = read_into == nullptr;
    visit.subscribers_file = read_subscriber_file(
        visit.subscribers_path, read_into != nullptr ? *read_into : visit.subscribers);
    return visit;
}

bool visit_changes(const ListKnown* known, const ListVisit& visit) {
    return known == nullptr || visit.settings_read || visit.subscribers_read ||
           visit.subscribers_stamp != known->subscribers_stamp;
}

namespace {

// The parts of a visit that a record and what is known of it share.
template <typename Target>
void take_stamps_and_readings(const ListVisit& visit, Target& target) {
    target.settings_stamp = visit.settings_stamp;
    target.subscribers_stamp = visit.subscribers_stamp;
    if (visit.settings_read) {
        target.settings_reading = {visit.settings.readable, visit.settings.reason, visit.read_at};
    }
    if (visit.subscribers_read) {
        target.subscribers_reading = {visit.subscribers_file.readable,
                                      visit.subscribers_file.reason, visit.read_at};
    }
}

}  // namespace

void apply_list_visit(ListVisit& visit, ListRecord& record, bool is_new) {
    if (is_new) {
        record.settings_path = visit.settings_path;
        record.subscribers_path = visit.subscribers_path;
    }
    take_stamps_and_readings(visit, record);
    if (visit.settings_read) {
        record.policy = visit.settings.policy;
        record.postings = visit.settings.postings;
        record.owner = visit.settings.owner;
    }
    if (visit.holds_subscribers) {
        record.subscribers = std::move(visit.subscribers);
        visit.holds_subscribers = false;
    }
}

void apply_list_visit(const ListVisit& visit, ListKnown& known) {
    take_stamps_and_readings(visit, known);
    if (visit.holds_subscribers) {
        known.has_subscribers = !visit.subscribers.empty();
    }
}

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

ListRecord& visit_list(int32_t request_number, const std::string& list_directory,
                       const std::string& domain, const std::string& name) {
    auto [found, is_new] = list_table.try_emplace(fold_lower(name + "@" + domain));
    ListRecord& record = found->second;
    const ListKnown known = is_new ? ListKnown{} : known_of(record);
    // Read into the record's own list: a list read again writes over its memory.
    ListVisit visit = examine_list(is_new ? nullptr : &known, list_directory, domain, name,
                                   list_clock(), &record.subscribers);
    apply_list_visit(visit, record, is_new);
    record.from_network = false;
    record.seen = true;
    write_list_notes(request_number, visit.notes);
    return record;
}

void scan_domain_lists(int32_t request_number, const std::string& domain) {
    const std::string base = domain == main_domain_name() ? "Accounts" : "Domains/" + domain;
    const std::string list_directory = base + "/LISTS";
    kel::Directory entries(list_directory);
    while (entries.next()) {
        const std::string entry = entries.name();
        if (ends_with(entry, list_suffix)) {
            visit_list(request_number, list_directory, domain,
                       entry.substr(0, entry.size() - list_suffix.size()));
        }
    }
}

void sweep_unseen_lists(const KeepList& keep) {
    std::vector<std::string> vanished;
    for (auto& [key, record] : list_table) {
        if (!record.seen && !(keep && keep(key, record))) {
            vanished.push_back(key);
        }
        record.seen = false;
    }
    for (const std::string& key : vanished) {
        list_table.erase(key);
    }
}

void walk_lists(int32_t request_number) {
    scan_domain_lists(request_number, main_domain_name());
    kel::Directory domains("Domains");
    while (domains.next()) {
        scan_domain_lists(request_number, domains.name());
    }
    sweep_unseen_lists();
}
