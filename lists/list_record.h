// What the filter knows of one hosted mailing list, the table of them all, and the
// server's main domain name. The table is filled by the list cache (list_refresh.h)
// and read by the posting decision; everything here is used from the one thread
// that serves requests, and main_domain_name is first called before any request.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

#include "files.h"
#include "load_settings.h"
#include "subscriber_list.h"

enum PostingPolicy : int32_t {
    OwnerOnly = 0,    // only the owner may post
    Subscribers = 1,  // subscribers with posting rights may post
    Anybody = 2,      // anybody may post
};

// What the last reading of one of a list's files gave. A file that is there but
// cannot be used (not a regular file, not readable, too large, a settings file that
// does not parse or holds no dictionary) "cannot be read": its list is not judged
// on it, and it is read again when its stamp changes; one that could not be opened
// or read to its end is also tried again at least once every retry_seconds.
struct ListFileReading {
    bool readable = true;
    // Why the file cannot be read, for the tools; empty when it can.
    std::string reason;
    // It could not be opened or read (not for what it holds): tried again in time.
    bool retry = false;
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
    // The reading of lists on network storage wrote the record last, not a visit on
    // the serving thread.
    bool from_network = false;
};

// Folded list address ("name@domain") to its record. A table has one owner, which
// passes it to what reads it: the process's list cache for the filter (refresh_lists),
// the bounded walk's result for the check tool.
using ListTable = std::unordered_map<std::string, ListRecord>;

// The server's main domain name, folded; empty when "Settings/Main.settings" or its
// "DomainName" is missing. Read on the first call only.
const std::string& main_domain_name();

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
    bool retry = false;  // unreadable for want of access, not for what it holds
    PostingPolicy policy = Subscribers;
    std::optional<std::string> postings;  // "Postings" as written, when it is there
    std::string owner;                    // "Owner", "@" and `domain`; empty without an owner
    std::string owner_setting;            // "Owner" as written, for the warnings
};
ListSettings list_settings_from(const SettingsFile& file, const std::string& domain);

// A file that could not be opened or read is tried again at least this often, in
// seconds of the list clock.
constexpr int64_t retry_seconds = 60;
// The list clock: seconds that only go forward (the system's monotonic clock).
// Tests set their own; null restores the system's.
using ListClock = int64_t (*)();
void set_list_clock(ListClock clock);
int64_t list_clock_now();
