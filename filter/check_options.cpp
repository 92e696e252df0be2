// Reading quorvel-check's command line. Every option may come in any order; what
// does not fit together (a message with --lists, --brief with --json, a message with
// --from) is a usage error, answered before anything is read.
#include "check_options.h"

#include <sys/stat.h>

#include "printable.h"

const char check_usage[] =
    "Usage: quorvel-check [--base DIR] [--brief | --json] MESSAGE...\n"
    "       quorvel-check [--base DIR] [--brief | --json] --from ADDRESS --to ADDRESS\n"
    "                     [--to ADDRESS...] [--sender ADDRESS]\n"
    "       quorvel-check [--base DIR] [--json] --lists\n"
    "       quorvel-check --version | --help\n"
    "\n"
    "Decides queued CommuniGate Pro message files, or a posting given by its\n"
    "addresses, as the quorvel filter would and shows what it compared: the envelope,\n"
    "the From address, each hosted list addressed, the records the filter would log,\n"
    "its reply, and a verdict.\n"
    "\n"
    "  --base DIR      the server's base directory (default: the current directory); a\n"
    "                  relative MESSAGE is taken from the current directory, or from\n"
    "                  DIR when there is no such file in the current directory\n"
    "  --from ADDRESS  decide a posting with this From address (a From field's value\n"
    "                  such as 'Ann <ann@example.net>' will do) instead of a message\n"
    "  --to ADDRESS    a recipient of that posting; may be repeated\n"
    "  --sender ADDR   its envelope sender (default: the From address)\n"
    "  --brief         one line per message: path, verdict, list and reason, separated\n"
    "                  by TABs, then a line with the counts\n"
    "  --json          one JSON document with everything the text shows\n"
    "  --lists         show the hosted mailing lists as the filter reads them\n"
    "  --version       show the version\n"
    "  --help          show this text\n"
    "\n"
    "Exit status: 0 when every message is accepted without warnings, 1 when any is\n"
    "refused, 2 for usage errors or a message that cannot be read, 3 when there are\n"
    "warnings (with --lists: 3 when any list has a warning).\n";

namespace {

// The value of an option given as "--name VALUE" or "--name=VALUE"; false when the
// word is not that option. `error` is set when the value is missing.
bool option_value(const std::string& name, int argc, char** argv, int& i, std::string& value,
                  std::string& error) {
    const std::string word = argv[i];
    if (word.rfind(name + "=", 0) == 0) {
        value = word.substr(name.size() + 1);
        return true;
    }
    if (word != name) {
        return false;
    }
    if (i + 1 >= argc) {
        error = name + " needs a value";
    } else {
        value = argv[++i];
    }
    return true;
}

// Reads one word (and its value); false when it ends the reading.
bool read_word(int argc, char** argv, int& i, ParsedOptions& parsed, bool& lists) {
    CheckOptions& options = parsed.options;
    const std::string word = argv[i];
    std::string value;
    if (word == "--help" || word == "-h" || word == "--version") {
        options.task = word == "--version" ? CheckOptions::Task::Version : CheckOptions::Task::Help;
        return false;
    } else if (word == "--lists") {
        lists = true;
    } else if (word == "--brief" || word == "--json") {
        (word == "--brief" ? options.brief : options.json) = true;
    } else if (option_value("--base", argc, argv, i, value, parsed.error)) {
        options.base = value;
    } else if (option_value("--from", argc, argv, i, value, parsed.error)) {
        options.from = value;
        options.task = CheckOptions::Task::Addresses;
    } else if (option_value("--to", argc, argv, i, value, parsed.error)) {
        options.to.push_back(value);
    } else if (option_value("--sender", argc, argv, i, value, parsed.error)) {
        options.sender = value;
    } else if (word == "--") {
        options.messages.insert(options.messages.end(), argv + i + 1, argv + argc);
        i = argc;
    } else if (word.size() > 1 && word[0] == '-') {
        parsed.error = "unknown option '" + kel::printable(word) + "'";
    } else {
        options.messages.push_back(word);
    }
    return parsed.error.empty();
}

// What the options say together; empty when they fit.
std::string conflict(const CheckOptions& options, bool lists) {
    const bool addresses = options.task == CheckOptions::Task::Addresses;
    if (options.brief && options.json) {
        return "--brief and --json do not go together";
    }
    if (lists) {
        if (!options.messages.empty() || addresses || !options.to.empty() || options.sender) {
            return "--lists takes no message files and no addresses";
        }
        return options.brief ? "--brief is for messages, not --lists" : "";
    }
    if (addresses || !options.to.empty() || options.sender) {
        if (!addresses || options.to.empty()) {
            return "a posting by its addresses needs --from and at least one --to";
        }
        return options.messages.empty() ? "" : "message files do not go with --from";
    }
    return options.messages.empty() ? "no message file given" : "";
}

}  // namespace

ParsedOptions parse_check_options(int argc, char** argv) {
    ParsedOptions parsed;
    bool lists = false;
    for (int i = 1; i < argc; ++i) {
        if (!read_word(argc, argv, i, parsed, lists)) {
            return parsed;
        }
    }
    parsed.error = conflict(parsed.options, lists);
    if (lists) {
        parsed.options.task = CheckOptions::Task::Lists;
    }
    return parsed;
}

std::string joined_path(const std::string& directory, const std::string& path) {
    if (path.empty() || path == ".") {
        return directory;
    }
    if (path[0] == '/') {
        return path;
    }
    return directory + (!directory.empty() && directory.back() == '/' ? "" : "/") + path;
}

std::string resolved_message(const std::string& path, const std::string& start,
                             const std::string& base) {
    const std::string here = joined_path(start, path);
    struct stat status;
    return lstat(here.c_str(), &status) == 0 ? here : joined_path(base, path);
}
