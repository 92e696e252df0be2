// Loading one settings file: the file is read whole into memory and parsed there, so
// a file and a text in memory take one path and give one report. Only regular files
// of bounded size are read, opened without waiting, so nothing at a settings path can
// stall the filter; a read error is logged and loads as Empty like every failure. A
// reading keeps what it has to tell until its caller writes it, so it may run on any
// thread; every parse has its own state.
#include "load_settings.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "files.h"
#include "logging.h"
#include "settings_parser.h"
#include "token_decoding.h"

namespace {

// The server's settings files are a few kilobytes; this leaves room for any list
// while keeping one hostile file from taking the process's memory.
constexpr size_t largest_settings_text = size_t{64} << 20;

enum class ReadStatus { Read, Missing, NotRegular, CannotOpen, TooLarge, Failed };

struct FileContent {
    ReadStatus status = ReadStatus::Missing;
    std::string bytes;
    int error = 0;
};

// Reads a regular file whole. Anything else at the path (a FIFO, a socket, a device,
// a directory) is refused at once: the open does not wait and the type is checked on
// the open descriptor.
FileContent read_regular_file(const std::string& path) {
    FileContent content;
    int descriptor = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (descriptor < 0) {
        content.error = errno;
        // A link to nothing fails like a missing file; a missing directory on the
        // way too.
        content.status = errno == ENOENT || errno == ENOTDIR ? ReadStatus::Missing
                         : errno == EISDIR                   ? ReadStatus::NotRegular
                                                             : ReadStatus::CannotOpen;
        return content;
    }
    struct stat status;
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(descriptor);
        content.status = ReadStatus::NotRegular;
        return content;
    }
    if (status.st_size > 0 && static_cast<uint64_t>(status.st_size) > largest_settings_text) {
        close(descriptor);
        content.status = ReadStatus::TooLarge;
        return content;
    }
    content.status = ReadStatus::Read;
    content.bytes.reserve(static_cast<size_t>(status.st_size));
    char block[16384];
    for (;;) {
        ssize_t count = read(descriptor, block, sizeof block);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            content.status = ReadStatus::Failed;
            content.error = errno;
            break;
        }
        if (count == 0) {
            break;
        }
        // The file may have grown since fstat.
        if (content.bytes.size() + static_cast<size_t>(count) > largest_settings_text) {
            content.status = ReadStatus::TooLarge;
            break;
        }
        content.bytes.append(block, static_cast<size_t>(count));
    }
    close(descriptor);
    if (content.status != ReadStatus::Read) {
        content.bytes.clear();
    }
    return content;
}

// strerror is not safe on two threads at once.
std::string error_text(int error) {
    char buffer[256];
    return strerror_r(error, buffer, sizeof buffer);
}

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
    // A NUL would cut the path short at the system call.
    if (path.find('\0') != std::string::npos) {
        return SettingsFile();
    }
    FileContent content = read_regular_file(path);
    switch (content.status) {
        case ReadStatus::Read:
            return parse_bytes(content.bytes, path);
        case ReadStatus::Missing:
            break;
        case ReadStatus::NotRegular:
            return unreadable("it is not a regular file");
        case ReadStatus::CannotOpen:
            return unreadable("it cannot be opened: " + error_text(content.error));
        case ReadStatus::TooLarge: {
            SettingsFile file =
                unreadable("it is larger than " + std::to_string(largest_settings_text) + " bytes");
            file.records.push_back(too_large_record(path));
            return file;
        }
        case ReadStatus::Failed: {
            SettingsFile file = unreadable("reading it failed: " + error_text(content.error));
            file.records.push_back("Cannot read settings file \"" + kel::printable(path) +
                                   "\": " + error_text(content.error));
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
