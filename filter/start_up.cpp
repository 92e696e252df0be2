// The start-up of the process: the options, the banner, the main domain name while
// the process still has one thread (its cache is not locked), then the request loop.
// Warn-only mode is announced right after the banner; an argument the filter does
// not know is ignored, and logged so that a mistyped option does not go unnoticed.
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "allocator_setting.h"
#include "list_record.h"
#include "logging.h"
#include "place_storage.h"
#include "quorvel.h"
#include "quorvel_version.h"

namespace {

const char usage[] =
    "Usage: quorvel [--warn-only]\n"
    "       quorvel --version | --help\n"
    "\n"
    "The CommuniGate Pro external filter that refuses postings a hosted mailing list\n"
    "would refuse, during the SMTP transaction. The server starts it in its base\n"
    "directory and talks to it on standard input and output.\n"
    "\n"
    "  --warn-only  decide and log as usual, but accept every message; where it\n"
    "               would refuse, log \"Would reject message: <text>\" instead\n"
    "  --version    print the version and exit\n"
    "  --help       print this text and exit\n"
    "\n"
    "Any other argument is ignored, with an \"Ignoring argument\" log record.\n";

}  // namespace

int Quorvel::start(int argc, char** argv) {
    // While the process has one thread, before any reading thread allocates.
    kel::settle_allocator();
    std::vector<std::string> ignored;
    for (int i = 1; i < argc; ++i) {
        const std::string_view word = argv[i];
        if (word == "--help") {
            std::cout << usage << std::flush;
            return 0;
        }
        if (word == "--version") {
            std::cout << "quorvel " QUORVEL_VERSION "\n" << std::flush;
            return 0;
        }
        if (word == "--warn-only") {
            set_warn_only(true);
        } else {
            ignored.emplace_back(word);
        }
    }
    kel::logline() << "Kelvorn's Quorvel filter " QUORVEL_VERSION
                      " for Communigate Pro\n"
                      "This filter will verify list posting rights before the message is "
                      "processed\n"
                      "  by the LIST module. CGP sync rules will allow the unauthorized "
                      "messages to\n"
                      "  be rejected during the SMTP transaction, thus reducing the backscatter.\n";
    // Said at once: a filter that refuses nothing must never pass for one that does.
    if (warn_only_mode()) {
        kel::logline() << "Warn-only mode: no message is refused";
    }
    for (const std::string& argument : ignored) {
        kel::logline() << "Ignoring argument: " << kel::printable(argument);
    }
    if (main_domain_name().empty()) {
        kel::logline() << "Be sure the current working directoy is CGPro base directory";
    }
    // Asked now, on the directory the server started the filter in, before any
    // place needs it: it judges the places the mount table does not cover.
    kel::working_directory_storage();
    run();
    return 0;
}
