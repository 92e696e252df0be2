// Reading one settings file of the mail server into a value. The files belong to the
// server but may hold anything: a file that is missing, not a regular file, too large,
// unreadable or not in the notation loads as an Empty value, and nothing in it can
// stop or stall the process.
#pragma once

#include <string>

#include "data_set.h"

// The value held in the file at `path`; never null and never thrown. A file that
// does not parse also writes one "* while parsing ..." line into the buffered
// standard output; a file that cannot be read writes one log record naming it.
cgp::DataSet load_settings(const std::string& path);

// The same machine over text held in memory; `name` stands for the path in the
// report line.
cgp::DataSet parse_settings_text(const std::string& text, const std::string& name);

// Where a parse report line goes instead of standard output, for a tool that shows
// reports beside its own text; null restores standard output. REQUIRES: no load runs.
using SettingsReportSink = void (*)(const std::string& line);
void set_settings_report_sink(SettingsReportSink sink);
SettingsReportSink settings_report_sink();
