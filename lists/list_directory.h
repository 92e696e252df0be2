// The mailing lists hosted by the server, read from its own directory tree below
// the working directory, and the server's main domain name. The files belong to
// the server but are read as untrusted: a missing, damaged or non-regular file
// reads as empty, and nothing in them can stall or stop the filter.
//
// Everything here is process-wide and unlocked: it is used from the one thread
// that serves requests, and main_domain_name is first called before any request.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include "files.h"
#include "subscriber_list.h"

enum PostingPolicy : int32_t {
    OwnerOnly = 0,    // only the owner may post
    Subscribers = 1,  // subscribers with posting rights may post
    Anybody = 2,      // anybody may post
};

// What is kept of one list between messages.
struct ListRecord {
    // Set while a directory walk has met the list; cleared by the sweep.
    bool seen = false;
    // Size and modification time of the subscriber and the settings file when they
    // were last read; a file is read again when its stamp differs.
    kel::FileStamp subscribers_stamp;
    kel::FileStamp settings_stamp;
    PostingPolicy policy = Subscribers;
    SubscriberList subscribers;
    // "Owner", "@" and the domain, as written (not folded); empty when the list
    // names no owner, and then nobody passes as its owner.
    std::string owner;
    // Where the list's files were found, as written; for tools that show the lists.
    std::string settings_path;
    std::string subscribers_path;
};

// Folded list address ("name@domain") to its record.
extern std::unordered_map<std::string, ListRecord> list_table;

// The server's main domain name, folded; empty when "Settings/Main.settings" or its
// "DomainName" is missing. Read on the first call only.
const std::string& main_domain_name();

// Brings list_table up to date with the tree: the main domain's lists under
// "Accounts/LISTS", every other domain's under "Domains/<domain>/LISTS". Files are
// read only when they changed; lists whose ".list" file is gone are dropped.
// `request_number` marks the log records.
void refresh_lists(int32_t request_number);

// Visits the lists of one domain and marks them seen. Called by refresh_lists.
void scan_domain_lists(int32_t request_number, const std::string& domain);

// Policy for a list's "Postings" setting (compared byte for byte).
PostingPolicy policy_for(const std::string& postings);

// Fills `subscribers` from a subscriber file; a file that cannot be opened or read
// to its end leaves it empty.
void read_subscriber_file(const std::string& path, SubscriberList& subscribers);
