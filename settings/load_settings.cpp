// Loading one settings file: the file is read whole into memory and parsed there, so
// a file and a text in memory take one path and give one report. Only regular files
// of bounded size are read, opened without waiting, so nothing at a settings path can
// stall the filter; a read error is logged and loads as Empty like every failure. The
// parse stops at the bound on values, so what one file costs is bounded by the bound
// on values as well as by its size. A reading keeps what it has to tell until its
// caller writes it, so it may run on any thread; every parse has its own state.
#include "load_settings.h"

#include <stdio.h>

#include "file_system.h"
#include "logging.h"
#include "settings_parser.h"
#include "token_decoding.h"

namespace {

// A bound as people write it: "1 MiB", "64 KiB" or "1000 bytes".
std::string size_text(size_t bytes) {
    if (bytes != 0 && bytes % (size_t{1} << 20) == 0) {
        return std::to_string(bytes >> 20) + " MiB";
    }
    if (bytes != 0 && bytes % (size_t{1} << 10) == 0) {
        return std::to_string(bytes >> 10) + " KiB";
    }
    return std::to_string(bytes) + " bytes";
}

std::string too_large_record(const std::string& name, size_t largest) {
    return "Settings file \"" + kel::printable(name) + "\" is larger than " + size_text(largest) +
           "; ignored";
}

SettingsFile unreadable(SettingsFault fault, std::string reason) {
    SettingsFile file;
    file.state = SettingsState::Unreadable;
    file.fault = fault;
    file.reason = std::move(reason);
    return file;
}

// The value of `bytes`: the one top-level value, or Empty when the text holds none or
// does not parse. A text of several top-level values gives the array of them.
SettingsFile parse_bytes(const std::string& bytes, const std::string& name) {
    cgp::ParseOutcome outcome = cgp::run_settings_parser(bytes, name, settings_value_limit);
    if (!outcome.accepted) {
        SettingsFile refused = unreadable(
            SettingsFault::Content,
            outcome.too_many_values
                ? "it makes more than " + std::to_string(settings_value_limit) + " values"
                : "it is not in the settings notation");
        refused.report = std::move(outcome.report);
        return refused;
    }
    SettingsFile result;
    result.state = SettingsState::Loaded;
    const cgp::DataSet& top = outcome.top;
    if (top.kind() == cgp::Array && top.size() == 1) {
        result.value = top.at(0);
    } else if (top.kind() == cgp::Array) {
        result.value = top;
    }
    return result;
}

SettingsReportSink report_sink = nullptr;

// Held only while a report line is handed to its reader, never across a parse.
kel::SimpleMutex& parser_lock() {
    static auto* lock = new kel::SimpleMutex;
    return *lock;
}

SettingsFile settings_file_of(const kel::FileBytes& content, const std::string& path,
                              size_t largest) {
    switch (content.outcome) {
        case kel::FileBytes::Read:
            return parse_bytes(content.bytes, path);
        case kel::FileBytes::Missing:
            break;
        case kel::FileBytes::NotRegular:
            return unreadable(SettingsFault::Access, "it is not a regular file");
        case kel::FileBytes::CannotOpen:
            return unreadable(SettingsFault::Access,
                              "it cannot be opened: " + kel::error_text(content.error));
        case kel::FileBytes::TooLarge: {
            SettingsFile file =
                unreadable(SettingsFault::Content, "it is larger than " + size_text(largest));
            file.records.push_back(too_large_record(path, largest));
            return file;
        }
        case kel::FileBytes::Failed: {
            SettingsFile file = unreadable(SettingsFault::Access,
                                           "reading it failed: " + kel::error_text(content.error));
            file.records.push_back("Cannot read settings file \"" + kel::printable(path) +
                                   "\": " + kel::error_text(content.error));
            return file;
        }
    }
    return SettingsFile();
}

}  // namespace

SettingsFile examine_settings_file(const std::string& path, size_t largest) {
    return examine_settings_file(kel::real_file_system(), path, largest);
}

SettingsFile examine_settings_file(kel::FileSystem& file_system, const std::string& path,
                                   size_t largest) {
    kel::FileBytes content = kel::read_file(file_system, path, largest);
    SettingsFile file = settings_file_of(content, path, largest);
    file.stamp = content.stamp;
    return file;
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

SettingsFile read_settings_file(const std::string& path, size_t largest) {
    SettingsFile file = examine_settings_file(path, largest);
    write_settings_notes(file);
    return file;
}

cgp::DataSet load_settings(const std::string& path) {
    return read_settings_file(path).value;
}

cgp::DataSet parse_settings_text(const std::string& text, const std::string& name) {
    SettingsFile file;
    if (text.size() > settings_size_limit) {
        file.records.push_back(too_large_record(name, settings_size_limit));
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
