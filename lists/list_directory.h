// The mailing lists hosted by the server, read from its own directory tree below
// the working directory, and the server's main domain name. The files belong to
// the server but are read as untrusted: nothing in them can stall or stop the
// filter, and a file that is there but cannot be read leaves its list unjudged
// instead of judged on nothing.
//
// Everything here is process-wide and unlocked: it is used from the one thread
// that serves requests, and main_domain_name is first called before any request.
// The one exception is the per-list step as a value (examine_list), which reads
// files and touches no shared state: the reading of lists on network storage runs
// it on the background thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "files.h"
#include "load_settings.h"
#include "subscriber_file.h"
#include "subscriber_list.h"

enum PostingPolicy : int32_t {
    OwnerOnly = 0,    // only the owner may post
    Subscribers = 1,  // subscribers with posting rights may post
    Anybody = 2,      // anybody may post
};

// What the last reading of one of a list's files gave. A file that is there but
// cannot be used (not a regular file, not readable, too large, a settings file that
// does not parse or holds no dictionary) "cannot be read": its list is not judged
// on it, and it is tried again when its stamp changes and at least once every
// retry_seconds.
struct ListFileReading {
    bool readable = true;
    // Why the file cannot be read, for the tools; empty when it can.
    std::string reason;
    // The list clock when the file was last read.
    int64_t read_at = 0;
};

// What is kept of one list between messages.
struct ListRecord {
    // Set while a directory walk has met the list; cleared by the sweep.
    bool seen = false;
    // The stamps of the subscriber and the settings file when they were last read; a
    // file is read again when its stamp differs.
    kel::FileStamp subscribers_stamp;
    kel::FileStamp settings_stamp;
    ListFileReading settings_reading;
    ListFileReading subscribers_reading;
    PostingPolicy policy = Subscribers;
    // The "Postings" string the policy was taken from, as written; none when the
    // settings hold no "Postings" or cannot be read. For tools that explain a policy.
    std::optional<std::string> postings;
    SubscriberList subscribers;
    // "Owner", "@" and the domain, as written (not folded); empty when the list
    // names no owner, and then nobody passes as its owner.
    std::string owner;
    // Where the list's files were found, as written; for tools that show the lists.
    std::string settings_path;
    std::string subscribers_path;
    // The reading of lists on network storage (network_lists.h) wrote the record
    // last, not a visit on the serving thread.
    bool from_network = false;
};

// Folded list address ("name@domain") to its record.
extern std::unordered_map<std::string, ListRecord> list_table;

// The server's main domain name, folded; empty when "Settings/Main.settings" or its
// "DomainName" is missing. Read on the first call only.
const std::string& main_domain_name();

// The refresh that reads every list directory: the main domain's, then those of
// the "Domains" entries in the order the system lists them, then the sweep. The
// watched refresh looks at less and must leave the table and write the records
// that this one would.
void walk_lists(int32_t request_number);

// Visits the lists of one domain and marks them seen. Called by walk_lists.
void scan_domain_lists(int32_t request_number, const std::string& domain);

// The walk's step for one list: the entry `name` + ".list" of `list_directory`, in
// `domain` (as the walk passes it). Creates the record or updates it from the
// files that changed or that cannot be read and are due to be tried again, writes
// the log records of what it reads, and marks it seen. It is examine_list, then
// apply_list_visit, then write_list_notes.
ListRecord& visit_list(int32_t request_number, const std::string& list_directory,
                       const std::string& domain, const std::string& name);

// Drops the records that the walk did not mark seen and clears the mark on the rest;
// a record that `keep` (when given) names by its key stays, unseen or not.
using KeepList = std::function<bool(const std::string& key, ListRecord& record)>;
void sweep_unseen_lists(const KeepList& keep = nullptr);

// Policy for a list's "Postings" setting (compared byte for byte).
PostingPolicy policy_for(const std::string& postings);

// What a list takes from its settings file. A missing file, and a dictionary without
// "Postings" or "Owner", leave the policy Subscribers and no owner. A file that
// cannot be read, is empty or blanks only, does not parse, holds something other
// than a dictionary, or holds a "Postings" or "Owner" that is not a string makes
// the settings unreadable, with the reason.
struct ListSettings {
    bool readable = true;
    std::string reason;
    PostingPolicy policy = Subscribers;
    std::optional<std::string> postings;  // "Postings" as written, when it is there
    std::string owner;                    // "Owner", "@" and `domain`; empty without an owner
    std::string owner_setting;            // "Owner" as written, for the warnings
};
ListSettings list_settings_from(const SettingsFile& file, const std::string& domain);

// A file that cannot be read is tried again at least this often, in seconds of the
// list clock.
constexpr int64_t retry_seconds = 60;
// The list clock: seconds that only go forward (the system's monotonic clock).
// Tests set their own; null restores the system's.
using ListClock = int64_t (*)();
void set_list_clock(ListClock clock);
int64_t list_clock_now();

// What the per-list step needs to know of a list's last visit.
struct ListKnown {
    kel::FileStamp settings_stamp;
    kel::FileStamp subscribers_stamp;
    ListFileReading settings_reading;
    ListFileReading subscribers_reading;
    bool has_subscribers = false;
};
ListKnown known_of(const ListRecord& record);

// A log record a visit has to write: with the request number, without it, or the
// report of a settings file that does not parse (written as load_settings writes it).
struct ListNote {
    enum Kind { Numbered, Plain, SettingsReport } kind = Numbered;
    std::string text;
    bool operator==(const ListNote&) const = default;
};

// What one visit of a list found, as a value: the stamps it took, what it read again
// and the records it has to write, in their order. It touches no table and writes
// nothing, so it may run on any thread.
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
    // The list clock at the visit: when what it read was read.
    int64_t read_at = 0;
    std::vector<ListNote> notes;
};

// The per-list step as a value: the entry `name` + ".list" of `list_directory` in
// `domain`, against what `known` says of its last visit (null: a list not met
// before). A file is read again when its stamp differs from the known one, or when
// it could not be read and `now` (the list clock) makes a retry due. A subscriber
// file is read into `read_into` when given (a list read again then writes over its
// own memory), else into the visit's own list.
ListVisit examine_list(const ListKnown* known, const std::string& list_directory,
                       const std::string& domain, const std::string& name, int64_t now,
                       SubscriberList* read_into = nullptr);
// Whether applying the visit changes anything in a record that `known` describes
// (null: a list not met before).
bool visit_changes(const ListKnown* known, const ListVisit& visit);
// Takes what the visit found into the record (`is_new`: made for it, which also
// takes the paths) or into what is known of the list (of a visit that read into its
// own list). The subscribers move out of the visit.
void apply_list_visit(ListVisit& visit, ListRecord& record, bool is_new);
void apply_list_visit(const ListVisit& visit, ListKnown& known);
// Writes the visit's records, those that are numbered with `request_number`.
void write_list_notes(int32_t request_number, const std::vector<ListNote>& notes);
