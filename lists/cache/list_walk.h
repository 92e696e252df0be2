// The walk of every list directory, and its per-list step applied to list_table:
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

// The main domain's lists, then those of the "Domains" entries in the order the
// system lists them, then the sweep; every call through `file_system`.
void walk_lists(kel::FileSystem& file_system, int32_t request_number);

// Visits the lists of one domain and marks them seen. Called by walk_lists.
void scan_domain_lists(kel::FileSystem& file_system, int32_t request_number,
                       const std::string& domain);

// The walk's step for one list: the entry `name` + ".list" of `list_directory`, in
// `domain` (as the walk passes it). Creates the record or updates it from the files
// that changed or that cannot be read and are due to be tried again, writes the log
// records of what it reads, and marks it seen: examine_list, then apply_list_visit,
// then write_list_notes.
ListRecord& visit_list(kel::FileSystem& file_system, int32_t request_number,
                       const std::string& list_directory, const std::string& domain,
                       const std::string& name);

// Drops the records that the walk did not mark seen and clears the mark on the rest;
// a record that `keep` (when given) names by its key stays, unseen or not.
using KeepList = std::function<bool(const std::string& key, ListRecord& record)>;
void sweep_unseen_lists(const KeepList& keep = nullptr);

// Writes a reading's records, those that are numbered with `request_number`.
void write_list_notes(int32_t request_number, const std::vector<ListNote>& notes);
