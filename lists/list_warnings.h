// Settings that the filter reads without complaint but that make it refuse wrongly
// or check nothing, found in a list's settings as read. The filter writes them in
// the server's log when it reads the settings; quorvel-check shows the same texts.
#pragma once

#include <string>
#include <vector>

#include "list_record.h"

// What is wrong with readable settings, each a text fit for a log record (values
// from the file went through kel::printable), in this order:
//   "Postings" is "<value>", none of the server's values; read as "from subscribers"
//   posting from owner only, and the list has no owner
//   "Owner" is "<value>", which holds "@"; the owner's postings will not be recognised
// None for settings that cannot be read: the list is not judged on them.
std::vector<std::string> settings_warnings(const ListSettings& settings);

// The log records of those warnings for the list at `address` (as written, not
// folded): "List <address>: " and the warning.
std::vector<std::string> settings_warning_records(const std::string& address,
                                                  const ListSettings& settings);

// Whether `postings` is one of the values the server itself writes for "Postings".
bool is_server_postings(const std::string& postings);
