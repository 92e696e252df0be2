// The reading of one list's files, as a value: given what is known of the list's
// last reading, it queries the stamps of its settings and subscriber files, reads
// again what changed (or could not be read and is due to be tried again) and says
// which log records that calls for. It touches no table and writes nothing, so it
// may run on any thread; every call on the files goes through the seam it is given.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "file_system.h"
#include "list_record.h"
#include "subscriber_file.h"

// What the reading of a list needs to know of its last reading.
struct ListKnown {
    kel::FileStamp settings_stamp;
    kel::FileStamp subscribers_stamp;
    ListFileReading settings_reading;
    ListFileReading subscribers_reading;
    bool has_subscribers = false;
};
ListKnown known_of(const ListRecord& record);

// A log record a reading has to write: with the request number, without it, or the
// report of a settings file that does not parse (written as load_settings writes it).
struct ListNote {
    enum Kind { Numbered, Plain, SettingsReport } kind = Numbered;
    std::string text;
    bool operator==(const ListNote&) const = default;
};

// What one reading of a list found: the stamps it took, what it read again and the
// records it has to write, in their order.
struct ListVisit {
    std::string key;  // the folded address; set by the caller that needs it
    std::string settings_path;
    std::string subscribers_path;
    kel::FileStamp settings_stamp;
    kel::FileStamp subscribers_stamp;
    // The settings file was read again, and what it gave.
    bool settings_read = false;
    ListSettings settings;
    // The subscriber file was read again, and how. Its subscribers are in
    // `subscribers` unless the caller gave a list of its own to read into.
    bool subscribers_read = false;
    SubscriberFileRead subscribers_file;
    bool holds_subscribers = false;  // read into `subscribers`, not the caller's list
    SubscriberList subscribers;
    // The list clock at the reading: when what it read was read.
    int64_t read_at = 0;
    // It read the list whole (a list not met before, or both files read again), so
    // it may replace a record that another folder's files gave.
    bool complete = false;
    std::vector<ListNote> notes;
};

// The stamps of a list's settings and subscriber file, when taken already (for all
// the lists of a directory at once, say).
struct ListStamps {
    kel::FileStamp settings;
    kel::FileStamp subscribers;
};

// Reads the list of the entry `name` + ".list" of `list_directory` in `domain`,
// against what `known` says of its last reading (null: a list not met before). A
// file is read again when its stamp differs from the known one, or when it could not
// be read and `now` (the list clock) makes a retry due. A subscriber file is read
// into `read_into` when given (a list read again then writes over its own memory),
// else into the visit's own list. `stamps`, when given, stand for the files' own.
ListVisit examine_list(kel::FileSystem& file_system, const ListKnown* known,
                       const std::string& list_directory, const std::string& domain,
                       const std::string& name, int64_t now, SubscriberList* read_into = nullptr,
                       const ListStamps* stamps = nullptr);
// Whether applying the visit changes anything in a record that `known` describes
// (null: a list not met before).
bool visit_changes(const ListKnown* known, const ListVisit& visit);
// Takes what the visit found, and the paths it read, into the record, or into what
// is known of the list (of a visit that read into its own list). The subscribers
// move out of the visit.
void apply_list_visit(ListVisit& visit, ListRecord& record);
void apply_list_visit(const ListVisit& visit, ListKnown& known);
