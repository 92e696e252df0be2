// The command line of quorvel-check: what it is asked to do, on which base
// directory, and how to write it. The words come from the administrator; a word
// shown back in an error goes through the control-byte escaping.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct CheckOptions {
    enum class Task { Messages, Addresses, Lists, Help, Version };
    Task task = Task::Messages;
    std::string base = ".";
    bool brief = false;
    bool json = false;
    std::vector<std::string> messages;
    // A posting given by its addresses: --from, each --to, and --sender when given.
    std::string from;
    std::vector<std::string> to;
    std::optional<std::string> sender;
};

// The options, or the usage error in `error` (the options are then not to be used).
struct ParsedOptions {
    CheckOptions options;
    std::string error;
};
ParsedOptions parse_check_options(int argc, char** argv);

extern const char check_usage[];

// `path` taken from `directory` unless it is absolute; "" and "." give the directory.
std::string joined_path(const std::string& directory, const std::string& path);
// A relative message path names a file in `start` (the current directory) when
// something is there, else one in `base`: a path copied from the server's log is
// relative to the base directory.
std::string resolved_message(const std::string& path, const std::string& start,
                             const std::string& base);
