// Fuzz target: bytes as a settings file, through the parser that loads every settings
// file of the server. Besides the sanitizers it checks what a caller relies on: at
// most one report, one line that reads as a log record, only for a text that gives
// no value; and the same bytes give the same value again (the scanner and grammar
// keep process-wide state between parses).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "load_settings.h"
#include "test_rendering.h"

namespace {

std::string reports;
int report_count = 0;

void collect_report(const std::string& line) {
    reports += line;
    ++report_count;
}

[[noreturn]] void fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "settings_fuzz: %s: %s\n", what, render_bytes(detail).c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    set_settings_report_sink(&collect_report);
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string rendered[2];
    for (std::string& value : rendered) {
        reports.clear();
        report_count = 0;
        cgp::DataSet parsed = parse_settings_text(text, "fuzz.settings");
        value = render(parsed);
        if (report_count > 1) {
            fail("more than one report", reports);
        }
        if (report_count == 1) {
            if (reports.rfind("* while parsing \"fuzz.settings\" file: ", 0) != 0 ||
                reports.find_first_of("\r\n") != reports.size() - 1) {
                fail("report is not one log line", reports);
            }
            if (parsed.kind() != cgp::Empty) {
                fail("a value beside a report", value);
            }
        }
    }
    if (rendered[0] != rendered[1]) {
        fail("a second parse gave another value", rendered[0] + " / " + rendered[1]);
    }
    return 0;
}
