// What quorvel-check shows of the hosted lists: their policies and owners in words,
// the subscription of an address, the warnings about a list, and for --lists every
// list with its files, parse reports and the settings files that make no list. It
// reads the list table as the filter's own walk filled it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "list_record.h"
#include "list_refresh.h"

// "owner only", "anybody" or "subscribers with posting rights".
const char* policy_words(PostingPolicy policy);
// The From address's standing on the list: "subscribed, may post", "subscribed, may
// not post" or "not subscribed"; empty when the subscriber file cannot be read.
std::string standing_words(const ListRecord& list, const std::string& folded_from);

// What makes the filter's verdicts on the list doubtful: a file it cannot read, and
// the settings warnings the filter writes in the log (list_warnings.h).
std::vector<std::string> list_warnings(const ListRecord& list);

// One hosted list for --lists.
struct ListReport {
    std::string address;  // folded, the table's key
    const ListRecord* list = nullptr;
    bool settings_missing = false;
    // Parse reports of a settings file that cannot be read.
    std::vector<std::string> reports;
    // Lines of the subscriber file that are not subscriber lines.
    uint64_t short_lines = 0;
    std::vector<std::string> warnings;
};

// A settings file in a list directory without the subscriber file that makes the
// list: the server has no such list.
struct SettingsWithoutList {
    std::string address;  // name "@" domain, as written
    std::string path;
    std::vector<std::string> warnings;
};

struct ListsReport {
    std::vector<ListReport> lists;  // in the order of the addresses
    std::vector<SettingsWithoutList> unlisted;
    size_t warning_count() const;
};

// Everything --lists shows, read from the table and, where it keeps too little, once
// more from the files; the settings files without a list from the entries of the
// list `directories` that were read (those that were not are not touched again).
ListsReport report_lists(const ListTable& table, const std::vector<ListDirectory>& directories);

// Parse reports of settings files, as the settings reader hands them over: a log
// line, kept here without its marks. The reading of the lists at start gathers them.
void collect_report(const std::string& line);
std::vector<std::string>& collected_reports();
