// A list's reading: the settings file is read again when its stamp changed, the
// subscriber file likewise, and a file that could not be read once a retry is due.
// Every stamp, listing and read goes through the seam it is given.
#include "list_reading.h"

#include "list_warnings.h"
#include "logging.h"

namespace {

// A view, not a string: the background thread may still use it while the
// destructors run at exit.
constexpr std::string_view list_suffix = ".list";

// A file that could not be opened or read is tried again after retry_seconds,
// whatever its stamp says; one that cannot be used for what it holds waits for its
// stamp to change (parsing it again would give the same).
bool retry_due(const ListFileReading& reading, int64_t now) {
    return !reading.readable && reading.retry && now - reading.read_at >= retry_seconds;
}

}  // namespace

ListKnown known_of(const ListRecord& record) {
    return {record.settings_stamp, record.subscribers_stamp, record.settings_reading,
            record.subscribers_reading, !record.subscribers.empty()};
}

namespace {

// The settings part of a reading: read again when the stamp changed, when a retry is
// due, or for a list not met before, whose stamp then comes with the opening of the
// file (on network storage one status query fewer).
void examine_settings(kel::FileSystem& file_system, const ListKnown& last, bool is_new,
                      const std::string& address, const std::string& domain, int64_t now,
                      const ListStamps* stamps, ListVisit& visit) {
    const bool stamp_first = !is_new || stamps != nullptr;
    if (stamp_first) {
        visit.settings_stamp =
            stamps != nullptr ? stamps->settings : file_system.status(visit.settings_path).stamp;
        if (!is_new && visit.settings_stamp == last.settings_stamp &&
            !retry_due(last.settings_reading, now)) {
            return;
        }
    }
    visit.notes.push_back(
        {ListNote::Numbered, "Reading list settings: " + kel::printable(address)});
    SettingsFile file =
        examine_settings_file(file_system, visit.settings_path, server_settings_size_limit);
    if (!stamp_first) {
        visit.settings_stamp = file.stamp ? *file.stamp
                               : file.state == SettingsState::Missing
                                   ? kel::FileStamp{}
                                   : file_system.status(visit.settings_path).stamp;
    }
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

// The subscriber file of a list not met before, read at once: its stamp comes with
// the opening, and an empty file is left unread, as one whose stamp said so would be.
void examine_new_subscribers(kel::FileSystem& file_system, const std::string& address,
                             SubscriberList* read_into, ListVisit& visit) {
    SubscriberFileRead read =
        read_subscriber_file(file_system, visit.subscribers_path,
                             read_into != nullptr ? *read_into : visit.subscribers, {}, true);
    visit.subscribers_stamp =
        read.stamp ? *read.stamp : file_system.status(visit.subscribers_path).stamp;
    if (read.left_empty) {
        return;
    }
    visit.notes.push_back(
        {ListNote::Numbered, "Reading list subscribers: " + kel::printable(address)});
    visit.subscribers_read = true;
    visit.holds_subscribers = read_into == nullptr;
    visit.subscribers_file = std::move(read);
}

}  // namespace

ListVisit examine_list(kel::FileSystem& file_system, const ListKnown* known,
                       const std::string& list_directory, const std::string& domain,
                       const std::string& name, int64_t now, SubscriberList* read_into,
                       const ListStamps* stamps) {
    // No static: the background thread may run this while the destructors run at exit.
    const ListKnown nothing_known;
    const ListKnown& last = known != nullptr ? *known : nothing_known;
    const bool is_new = known == nullptr;
    const std::string address = name + "@" + domain;
    ListVisit visit;
    visit.read_at = now;
    visit.settings_path = list_directory + "/" + name + ".settings";
    visit.subscribers_path = list_directory + "/" + name + std::string(list_suffix);
    visit.complete = is_new;
    examine_settings(file_system, last, is_new, address, domain, now, stamps, visit);
    if (is_new && stamps == nullptr) {
        examine_new_subscribers(file_system, address, read_into, visit);
        return visit;
    }
    visit.subscribers_stamp =
        stamps != nullptr ? stamps->subscribers : file_system.status(visit.subscribers_path).stamp;
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
        file_system, visit.subscribers_path, read_into != nullptr ? *read_into : visit.subscribers);
    visit.complete = visit.settings_read;
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
        target.settings_reading = {visit.settings.readable, visit.settings.reason,
                                   visit.settings.retry, visit.read_at};
    }
    if (visit.subscribers_read) {
        target.subscribers_reading = {visit.subscribers_file.readable,
                                      visit.subscribers_file.reason,
                                      visit.subscribers_file.access_fault, visit.read_at};
    }
}

}  // namespace

void apply_list_visit(ListVisit& visit, ListRecord& record) {
    // The record holds the reading of the files last read for it, wherever they lie
    // (two folders may give one list address).
    record.settings_path = visit.settings_path;
    record.subscribers_path = visit.subscribers_path;
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
