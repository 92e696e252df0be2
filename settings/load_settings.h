// Reading one settings file of the mail server into a value. The files belong to the
// server but may hold anything: a file that is missing, not a regular file, too large,
// unreadable or not in the notation loads as an Empty value, and nothing in it can
// stop or stall the process.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "data_set.h"
#include "file_system.h"

// The bound applied when the caller names none: it keeps one hostile file from taking
// the process's memory.
constexpr size_t settings_size_limit = size_t{64} << 20;
// The bound for the server's own settings files, a list's settings and the main
// settings: the server writes them at a few kilobytes, and within this bound and the
// bound on values one parse costs a few tens of megabytes and a fraction of a second.
constexpr size_t server_settings_size_limit = size_t{1} << 20;
// A settings file that makes more values than this (each string, data block, array
// and dictionary counts one) cannot be read, and its parse stops as it passes the
// bound: the values a file makes, not its size, are what take memory and time.
constexpr size_t settings_value_limit = 100000;

// The value held in the file at `path`; never null and never thrown. A file that
// does not parse also writes one "* while parsing ..." line into the buffered
// standard output; a file that cannot be read writes one log record naming it.
cgp::DataSet load_settings(const std::string& path);

// What a settings file gave, for a caller that must tell a file it may ignore from
// one it cannot read.
enum class SettingsState {
    Loaded,      // read and parsed; `value` is Empty when the file holds no value
    Missing,     // nothing at the path, or a link that leads nowhere
    Unreadable,  // there, but not a regular file, unreadable, too large or not parsed
};
// Why an Unreadable file could not be used. Content: what it holds (too large, not in
// the notation, too many values); reading it again helps only once it has changed.
// Access: getting at it (not a regular file, cannot be opened, reading failed), which
// may mend by itself.
enum class SettingsFault { None, Content, Access };
struct SettingsFile {
    SettingsState state = SettingsState::Missing;
    SettingsFault fault = SettingsFault::None;  // None unless Unreadable
    cgp::DataSet value;                         // Empty unless Loaded
    std::string reason;  // why an Unreadable file could not be used, for the log
    // What the reading has to tell: the "* while parsing ..." report line (with its
    // line feed) of a file that does not parse, and the texts of log records about a
    // file that could not be read.
    std::string report;
    std::vector<std::string> records;
    // The stamp of the file as it was opened; none when it could not be opened.
    std::optional<kel::FileStamp> stamp;
};
// load_settings with the reason told: the same reading, report and log records. A
// file larger than `largest` bytes is Unreadable for its content.
SettingsFile read_settings_file(const std::string& path, size_t largest = settings_size_limit);

// The same reading without any output, safe on any thread: the report and the
// records are only returned, for the caller to write with write_settings_notes on
// the thread that writes the log.
SettingsFile examine_settings_file(const std::string& path, size_t largest = settings_size_limit);
// The same through a file-system seam (file_system.h), for the list cache.
SettingsFile examine_settings_file(kel::FileSystem& file_system, const std::string& path,
                                   size_t largest = settings_size_limit);
// Writes what a reading has to tell, as read_settings_file does: the report into the
// buffered standard output (or the report sink), then the records.
void write_settings_notes(const SettingsFile& file);

// The same machine over text held in memory; `name` stands for the path in the
// report line.
cgp::DataSet parse_settings_text(const std::string& text, const std::string& name);

// Where a parse report line goes instead of standard output, for a tool that shows
// reports beside its own text; null restores standard output. REQUIRES: no load runs.
using SettingsReportSink = void (*)(const std::string& line);
void set_settings_report_sink(SettingsReportSink sink);
SettingsReportSink settings_report_sink();
