// The walk of every list directory, and its per-list step applied to a list table:
// the refresh that reads the whole tree, which the watched tree must match and
// whose pieces it uses for what changed. On the serving thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "file_system.h"
#include "list_reading.h"
#include "list_record.h"
#include "listing_memory.h"

// The main domain's lists, then those of the "Domains" entries in the order the
// system lists them, then the sweep, into `table`; every call through `file_system`.
void walk_lists(kel::FileSystem& file_system, ListTable& table, int32_t request_number);

// A list directory of the walk. The main domain's ("Accounts/LISTS") comes first;
// then, after the listing of "Domains", one for each of its entries in the order
// listed: "Domains/<d>/LISTS", but for the main domain's own entry, whose lists the
// walk reads from "Accounts/LISTS" again. The walk, the watched tree, the reading off
// the message's path and the bounded walk all take their places from here: the first
// from main_lists_place, the others from domain_places.
struct WalkPlace {
    std::string path;
    std::string domain;  // as the walk passes it to its lists' addresses
    size_t order = 0;    // the place of its listing in the walk (listing_order)
    bool main = false;   // "Accounts/LISTS"
};
WalkPlace main_lists_place(const std::string& main_domain);
// The place of the entry `entry` of "Domains", listed at `place` (from 1).
WalkPlace entry_place(const std::string& entry, size_t place, const std::string& main_domain);
// The places of the "Domains" entries `entries`, in the order listed.
std::vector<WalkPlace> domain_places(const std::vector<std::string>& entries,
                                     const std::string& main_domain);

// What the walk remembers of the directories it lists (listing_memory.h); its
// records are written at the end of a walk, after those of the lists.
ListingMemory& walk_listings();
// The order of a listing in the walk: the main domain's lists, then "Domains", then
// the lists of its entries in the order listed (`place` from 1).
constexpr size_t main_lists_order = 0;
constexpr size_t domains_order = 1;
inline size_t listing_order(size_t place) {
    return 2 * place;
}
// The "Domains" entries, remembered when "Domains" cannot be listed.
std::vector<std::string> list_domains(kel::FileSystem& file_system, ListingMemory& memory);
// Writes the records of the directories that entered the state that they cannot be
// listed, with the request number.
void write_listing_records(int32_t request_number, ListingMemory& memory);

// The walk's step for one list: the entry `name` + ".list" of `list_directory`, in
// `domain` (as the walk passes it). Creates the record or updates it from the files
// that changed or that cannot be read and are due to be tried again, writes the log
// records of what it reads, and marks it seen: examine_list, then apply_list_visit,
// then write_list_notes.
ListRecord& visit_list(kel::FileSystem& file_system, ListTable& table, int32_t request_number,
                       const std::string& list_directory, const std::string& domain,
                       const std::string& name);

// Drops the records that the walk did not mark seen and clears the mark on the rest;
// a record that `keep` (when given) names by its key stays, unseen or not.
using KeepList = std::function<bool(const std::string& key, ListRecord& record)>;
void sweep_unseen_lists(ListTable& table, const KeepList& keep = nullptr);

// Writes a reading's records, those that are numbered with `request_number`.
void write_list_notes(int32_t request_number, const std::vector<ListNote>& notes);
