// The message-filter layer over the helper engine: it serves the one request word
// that carries a queued message, "file", asks the concrete filter for a verdict on
// the message, logs it and writes it as the reply line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "helper.h"

namespace kel {
class ifstream;
}

namespace cgp {

// What to do with a message, with the reply word each verdict is answered with.
enum FilterVerdict : int32_t {
    Accept = 0,     // OK
    Postpone = 1,   // REJECTED "text"
    Reject = 2,     // ERROR "text"
    Discard = 3,    // DISCARD
    AddHeader = 4,  // ADDHEADER "text"
};

struct FilterResult {
    FilterVerdict verdict;
    // The refusal text or the header lines to add; joined with LF in the reply.
    std::vector<std::string> lines;
};

// The result of a filter that lets a message through without comment.
extern const FilterResult accept_result;

class ExtFilter : public Helper {
  public:
    explicit ExtFilter(bool threaded);
    ~ExtFilter() override;

    void process_request(int32_t number, const std::string& command,
                         const std::string& arguments) override;
    bool accepts_command(const std::string& command) override;

    // Decides on one message file. Called only once the file is known to exist and
    // to open, at most once per request. Reports every failure as a verdict.
    virtual FilterResult filter_file(int32_t request_number, const std::string& path) = 0;
    // The same, on the file as the request layer opened it for its check, at its
    // start: a filter that reads it from there spares a second open of every
    // message. Called instead of filter_file; the default calls filter_file.
    virtual FilterResult filter_opened_file(int32_t request_number, const std::string& path,
                                            kel::ifstream& file);

    // Warn-only: a Reject is logged as "Would reject message: <text>" and answered
    // OK, so a filter can be tried on real mail without refusing any of it. Set
    // before the request loop starts.
    void set_warn_only(bool on) { warn_only = on; }
    bool warn_only_mode() const { return warn_only; }

  private:
    bool warn_only = false;
};

// Why the filter lets a message file through without deciding on it: "File Not
// Found " when nothing is at the path or a directory is, "unable to open file "
// when it cannot be opened as a regular file; null when it opens.
const char* message_file_error(const std::string& path);
// The OK reply that lets such a file through, with the error text and the path.
std::string message_file_error_reply(int32_t number, const char* error, const std::string& path);

// The reply line for a verdict; the log record comes from verdict_log_text.
std::string verdict_reply(int32_t number, const FilterResult& result);
const char* verdict_log_text(FilterVerdict verdict);
// An AddHeader with nothing to add is an Accept.
FilterVerdict effective_verdict(const FilterResult& result);

}  // namespace cgp
