// Loading one settings file: the file is read whole into memory and parsed there, so
// a file and a text in memory take one path and give one report. Only regular files
// of bounded size are read, opened without waiting, so nothing at a settings path can
// stall the filter; a read error is logged and loads as Empty like every failure. A
// reading keeps what it has to tell until its caller writes it, so it may run on any
// thread; every parse has its own state.
#include "load_settings.h"

#include <stdio.h>

#include "file_system.h"
#include "logging.h"
#include "settings_parser.h"
#include "token_decoding.h"

namespace {

// The server's settings files are a few kilobytes; this leaves room for any list
// while keeping one hostile file from taking the process's memory.
constexpr size_t largest_settings_text = size_t{64} << 20;

std::string too_large_record(const std::string& name) {
    return "Settings file \"" + kel::printable(name) + "\" is larger than " +
           std::to_string(largest_settings_text) + " bytes; ignored";
}

// The value of `bytes`: the one top-level value, or Empty when the text holds none or
// does not parse. A text of several top-level values gives the array of them.
SettingsFile parse_bytes(const std::string& bytes, const std::string& name) {
    SettingsFile result;
    cgp::ParseOutcome outcome = cgp::run_settings_parser(bytes, name);
    result.report = std::move(outcome.report);
    if (!outcome.accepted) {
        result.state = SettingsState::Unreadable;
        result.reason = "it is not in the settings notation";
        return result;
    }
    result.state = SettingsState::Loaded;
    const cgp::DataSet& top = outcome.top;
    if (top.kind() == cgp::Array && top.size() == 1) {
        result.value = top.at(0);
    } else if (top.kind() == cgp::Array) {
        result.value = top;
    }
    return result;
}

SettingsFile unreadable(std::string reason) {
    SettingsFile file;
    file.state = SettingsState::Unreadable;
    file.reason = std::move(reason);
    return file;
}

SettingsReportSink report_sink = nullptr;

// Held only while a report line is handed to its reader, never across a parse.
kel::SimpleMutex& parser_lock() {
    static auto* lock = new kel::SimpleMutex;
    return *lock;
}

}  // namespace

SettingsFile examine_settings_file(const std::string& path) {
    return examine_settings_file(kel::real_file_system(), path);
}

SettingsFile examine_settings_file(kel::FileSystem& file_system, const std::string& path) {
    kel::FileBytes content = kel::read_file(file_system, path, largest_settings_text);
    switch (content.outcome) {
        case kel::FileBytes::Read:
            return parse_bytes(content.bytes, path);
        case kel::FileBytes::Missing:
            break;
        case kel::FileBytes::NotRegular:
            return unreadable("it is not a regular file");
        case kel::FileBytes::CannotOpen:
            return unreadable("it cannot be opened: " + kel::error_text(content.error));
        case kel::FileBytes::TooLarge: {
            SettingsFile file =
                unreadable("it is larger than " + std::to_string(largest_settings_text) + " bytes");
            file.records.push_back(too_large_record(path));
            return file;
        }
        case kel::FileBytes::Failed: {
            SettingsFile file = unreadable("reading it failed: " + kel::error_text(content.error));
            file.records.push_back("Cannot read settings file \"" + kel::printable(path) +
                                   "\": " + kel::error_text(content.error));
            return file;
        }
    }
    return SettingsFile();
}

void write_settings_notes(const SettingsFile& file) {
    if (!file.report.empty()) {
        ScopedLock hold(parser_lock(), true);
        // Into the buffered standard output, without the output lock and without a
        // flush: it leaves together with the next line the filter writes.
        if (report_sink != nullptr) {
            report_sink(file.report);
        } else {
            std::fputs(file.report.c_str(), stdout);
        }
    }
    for (const std::string& record : file.records) {
        kel::logline() << record;
    }
}

SettingsFile read_settings_file(const std::string& path) {
    SettingsFile file = examine_settings_file(path);
    write_settings_notes(file);
    return file;
}

cgp::DataSet load_settings(const std::string& path) {
    return read_settings_file(path).value;
}

cgp::DataSet parse_settings_text(const std::string& text, const std::string& name) {
    SettingsFile file;
    if (text.size() > largest_settings_text) {
        file.records.push_back(too_large_record(name));
    } else {
        file = parse_bytes(text, name);
    }
    write_settings_notes(file);
    return file.value;
}

void set_settings_report_sink(SettingsReportSink sink) {
    report_sink = sink;
}

SettingsReportSink settings_report_sink() {
    return report_sink;
}
